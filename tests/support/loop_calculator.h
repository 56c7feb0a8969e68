// A real block device standing in for a calculator: a loop device over a
// temporary image, shown in a fake sysfs tree as a USB mass-storage disk with
// the calculator's identity, its "dev" numbers those of the real /dev node.
// A PosixDiskSystem on (sysfsRoot(), "/dev") then discovers it and opens it
// through the real O_DIRECT path. Needs root and a working losetup; when
// either is missing the fixture is not ready and says why (for QSKIP).
//
//   LoopCalculator calculator;
//   if (!calculator.isReady())
//       QSKIP(qPrintable(calculator.skipReason()));
//   platform::PosixDiskSystem disks(calculator.sysfsRoot(), calculator.devRoot());
#pragma once

#include "support/fake_sysfs.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace testsupport {

// What the calculator shows in sysfs.
struct CalculatorIdentity {
    QByteArray vendor = "XQ";             // SCSI vendor
    QByteArray model = "Tavix update";    // SCSI product
    QByteArray revision = "1.00";         // SCSI revision
    QByteArray serial = "TX0001";         // USB serial number
};

class LoopCalculator {
public:
    // `sectorSize`: the loop device's logical sector size (losetup
    // --sector-size); 0: losetup's own (512).
    explicit LoopCalculator(const CalculatorIdentity &identity = CalculatorIdentity(),
                            qint64 imageBytes = 1024 * 1024, int sectorSize = 0);
    // Detaches the loop device (even when a test failed half way).
    ~LoopCalculator();
    LoopCalculator(const LoopCalculator &) = delete;
    LoopCalculator &operator=(const LoopCalculator &) = delete;

    bool isReady() const;
    QString skipReason() const;

    std::string sysfsRoot() const;       // the fake tree
    std::string devRoot() const;         // "/dev": the real node is opened
    QString loopDevice() const;          // e.g. "/dev/loop3"
    QString blockName() const;           // e.g. "loop3"
    QString imagePath() const;           // the image behind the loop device
    DevNumbers devNumbers() const;       // of the /dev node, as written to sysfs
    // The path discovery is expected to produce for this calculator.
    std::u16string expectedDevicePath() const;
    // The image's bytes, through ordinary reads of the file.
    QByteArray imageBytes() const;
    // The tree, to add further disks beside the calculator (only when ready).
    FakeSysfs &sysfs();

private:
    CalculatorIdentity identity_;            // as shown in sysfs
    QTemporaryDir work_;                     // holds the image
    std::unique_ptr<FakeSysfs> sysfs_;       // the fake tree, once attached
    QString loopDevice_;                     // empty until attached
    DevNumbers dev_;                         // of loopDevice_
    QString skipReason_;                     // why the fixture is not ready
};

} // namespace testsupport
