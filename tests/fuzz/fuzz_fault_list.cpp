// TAVIX_SIM_FAULTS text from anywhere: the parser must not crash, must say why
// on one line when it refuses, and must leave the faults untouched then.
#include "emulator/simulation_settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool same(const emulator::Faults &a, const emulator::Faults &b)
{
    return a.refuseProgress == b.refuseProgress && a.refusePacket == b.refusePacket &&
           a.refuseCheck == b.refuseCheck && a.failWrites == b.failWrites &&
           a.unopenable == b.unopenable && a.unplugAfterBytes == b.unplugAfterBytes &&
           a.replugAfterMs == b.replugAfterMs && a.attachAtMs == b.attachAtMs &&
           a.bytesPerSecond == b.bytesPerSecond && a.stallAfterBytes == b.stallAfterBytes &&
           a.stallMs == b.stallMs && a.openError == b.openError && a.writeError == b.writeError &&
           a.flushError == b.flushError && a.lockError == b.lockError && a.sectorSize == b.sectorSize &&
           a.mountedVolume == b.mountedVolume && a.mountedFileSystem == b.mountedFileSystem;
}

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t count = data[0] % 17;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    emulator::Faults base;
    base.attachAtMs = 1234; // the list never sets these
    base.bytesPerSecond = 99;
    std::vector<emulator::Faults> faults(count, base);
    std::string error;
    const bool ok = emulator::parseFaultList(text, faults, &error);
    check(faults.size() == count, "the number of calculators is kept");
    for (const emulator::Faults &f : faults) {
        check(f.attachAtMs == 1234 && f.bytesPerSecond == 99, "only fault-list fields change");
        if (!ok)
            check(same(f, base), "a refused list changes nothing");
        check(f.failWrites >= -1 && f.unplugAfterBytes >= -1 && f.replugAfterMs >= -1,
              "counts stay in range");
        check(f.sectorSize >= 1 && f.sectorSize <= 65536, "a sector size stays in range");
        check(f.mountedVolume.empty() == f.mountedFileSystem.empty(), "a volume has a file system");
    }
    if (ok) {
        check(error.empty(), "no reason for a good list");
        // The same text gives the same faults.
        std::vector<emulator::Faults> again(count, base);
        check(emulator::parseFaultList(text, again, nullptr), "parsing is repeatable");
        for (std::size_t i = 0; i < count; ++i)
            check(same(faults[i], again[i]), "parsing is deterministic");
    } else {
        check(!error.empty() && error.find('\n') == std::string::npos &&
                  error.find('\r') == std::string::npos,
              "a refusal says why on one line");
    }
    return 0;
}
