// The firmware transfer engine: one firmware file onto up to 16 calculators
// at once, one thread per disk, in 16384-byte chunks at the file's disk
// offset, with progress and message reports; and the end of a session. This
// is what the session calls; the engine's inside (the device table, the
// request, the transfer threads) is in transfer_engine_internal.h, and what
// the calculator's protocol has beyond what the updater's runs use is in
// protocol_extras.h.
//
// Plain procedural code: integer result codes, no exception leaves it. A
// transfer run is an object that owns its device table, its progress and its
// callbacks' context; nothing of a run is process-wide, so several runs may
// go at once on different calculators, from different threads. Two runs must
// never share a calculator: each writes its disk as if it were alone.
#pragma once

#include "transport/device_discovery.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Transfer result codes. 0 is success; the dialog shows any other as a number.
constexpr std::int32_t kTransferOk = 0;
constexpr std::int32_t kNoCalculatorFound = 104;     // discovery found nothing in 6 passes
constexpr std::int32_t kSourceUnopenable = 105;      // the firmware file cannot be opened or sized,
                                                     // or its path does not fit a request
constexpr std::int32_t kBadRequestKind = 106;        // request kind 3 or more; no thread started
constexpr std::int32_t kDiskUnopenable = 107;        // this slot's disk could not be opened
constexpr std::int32_t kSourceReadFailed = 109;      // the firmware file cannot be positioned or read whole
constexpr std::int32_t kNoTransferBuffer = 110;      // no transfer buffer (or no thread) could be had
constexpr std::int32_t kDiskWriteFailed = 112;       // all 7 writes of a chunk failed, or the flush did
constexpr std::int32_t kPacketRefused = 117;         // packet mode: a data packet was refused
constexpr std::int32_t kTransferCheckFailed = 118;   // packet mode: the transfer check failed
constexpr std::int32_t kDiskTooSmall = 119;          // the file runs past the end of this calculator's
                                                     // disk: refused before a byte went to it
constexpr std::int32_t kSectorSizeRefused = 121;    // this calculator's disk does not have 512-byte
                                                     // sectors: refused before a byte went to it
constexpr std::int32_t kVolumeMounted = 122;         // never the engine's: the system has mounted a
                                                     // volume on the calculator's disk and it could not
                                                     // be locked and dismounted; nothing was written
constexpr std::int32_t kReleaseChanged = 120;        // never the engine's: the session's release changed
                                                     // in its folder after it was checked

// The callbacks of the plain calls below (runFirmwareTransfer,
// runFirmwareTransferTo); a run object takes TransferCallbacks, the same
// reports with a context.
//
// Called on the transfer threads, one call at a time. With several
// calculators it gets the percentage of the slowest one still being written:
// within a run the values never go down and start with 0; a calculator whose
// transfer fails leaves the bar (the others may move it on), and 100 comes
// only once every calculator still in the run has the whole file. With one
// calculator it sees every report.
using ProgressCallback = void (*)(std::int32_t percent);
// One calculator's own percentage: `index` is its place in the run's list of
// device paths. Called on its transfer thread, for every report it makes.
using CalculatorProgressCallback = void (*)(int index, std::int32_t percent);
// Called once per disk, first thing in its transfer thread, possibly on
// several threads at the same moment. The text lies in the calling thread's
// own buffer and is valid during the call (and until that thread ends); a
// receiver that keeps it copies it.
using MessageCallback = void (*)(const char16_t *text);

// What one run did on each calculator of its list (or each one found), in
// that order.
constexpr std::int32_t kCalculatorLeftOut = -1; // listed or found, but not in the run (beyond its
                                                // 16 slots, or left out by a filter)

struct CalculatorResult {
    char16_t identity[kDevicePathLength]; // calculatorIdentity() of its device path; the whole
                                          // path upper-cased when it has no instance part
    std::int32_t result;                  // its own result code (its thread's exit code, 110
                                          // when it got no thread, 105 when the file could not
                                          // be sized), or kCalculatorLeftOut
    std::uint32_t systemError = 0;        // the system's error code behind a failure (errno,
                                          // GetLastError): the open's for 107, else the last
                                          // failed call of its thread; 0 when none was given
    std::uint32_t sectorSize = 0;         // the logical sector size its disk told; 0 when it told
                                          // none (or was never asked)
    std::uint32_t unsupportedFlush = 0;   // the system's error of a final flush the disk does not
                                          // support, let pass (every write was write-through); 0: none
    std::u16string path;                  // its device path, as discovery found it
};

struct TransferReport {
    std::int32_t count = 0;                     // calculators listed or found; 0 when the run ended
                                                // before its list was looked at (105) or it was
                                                // empty (104)
    std::vector<CalculatorResult> calculators;  // `count` of them, in the list's order
};

// Where one run's reports go: every callback gets `context` first, and any of
// them may be null. They are called on the run's transfer threads, by the
// rules of the plain callbacks above (ProgressCallback, CalculatorProgressCallback,
// MessageCallback). The context must stay valid until the run has finished.
struct TransferCallbacks {
    void *context = nullptr; // handed to every callback
    // The run's bar: the slowest calculator still being written, never down.
    void (*progress)(void *context, std::int32_t percent) = nullptr;
    // One calculator's own reports; `index` is its place in the run's list of paths.
    void (*calculatorProgress)(void *context, int index, std::int32_t percent) = nullptr;
    // Once per disk, first thing in its thread.
    void (*message)(void *context, const char16_t *text) = nullptr;
    // After every chunk that reached a calculator's disk (`index` as above):
    // it is making progress, between its percentages.
    void (*written)(void *context, int index) = nullptr;
    // Once, on the run's last thread, when finished() has become true (not for
    // a run that could not start): the moment to wake whoever watches it.
    void (*finished)(void *context) = nullptr;
    // Held by the run until that moment: what `context` points into, so that
    // it lives as long as the run's threads may use it (may be null).
    std::shared_ptr<void> keepAlive;
};

// What result() gives while a run is still under way (never a run's result).
constexpr std::int32_t kTransferUnderWay = -2;

// One run: the file sent to a list of calculators, each on a thread of its
// own, while the caller goes on. The run owns its device table (16 slots:
// paths, handles, the open's errors), its progress, its callbacks and its
// threads' results.
//
// Its threads are detached and each holds the run (a shared pointer): the last
// one to end closes the run's disks and marks it finished. A caller may
// therefore drop its pointer at any time, or stop waiting for a run whose
// write never returns: nothing of the run is freed under a running thread,
// and no destructor ever waits for a thread (a joinable thread would make the
// last owner's destructor wait as long as a stuck write does).
class TransferRun {
public:
    // Starts sending the file to the calculators at `devicePaths` (as
    // discovery found them) at `diskOffset` and returns at once. The first 16
    // paths are the run; any others are reported as left out
    // (kCalculatorLeftOut) and sent nothing. No discovery happens: a
    // calculator gone since it was found fails to open (107), and so does a
    // path that does not fit a slot (260 units with its terminator). The disks
    // are opened on the calling thread before any thread starts.
    // `messageText` (null: the source path) is what the message callback
    // gets: the file's name for the person when the source is a copy of it.
    // A run that cannot start is finished at once with its result: 105 for a
    // source path or message text that does not fit a request (nothing in its
    // report) or a file whose size cannot be had (every calculator of the run
    // with 105, no disk opened), 104 for an empty list.
    static std::shared_ptr<TransferRun> start(const std::vector<std::u16string> &devicePaths,
                                              const char16_t *sourcePath, std::int64_t diskOffset,
                                              const TransferCallbacks &callbacks,
                                              const char16_t *messageText = nullptr);
    ~TransferRun();
    TransferRun(const TransferRun &) = delete;
    TransferRun &operator=(const TransferRun &) = delete;

    // Every thread of the run has ended and every disk of it is closed. Safe
    // from any thread.
    bool finished() const;
    // Blocks until finished(); then result().
    std::int32_t wait();
    // Once finished: the first non-zero own result of a calculator in list
    // order, 0 when every one succeeded (or the code of a run that could not
    // start). kTransferUnderWay before.
    std::int32_t result() const;
    // Once finished: one entry per path given, in their order (nothing when
    // the run was refused before its list was looked at). Empty before.
    TransferReport report() const;

private:
    struct State;
    explicit TransferRun(std::unique_ptr<State> state);
    // The threads' side (transfer_engine.cpp): the last holder finishes the run.
    void release();
    void finish();
    friend struct TransferRunAccess;

    std::unique_ptr<State> state_; // everything the run owns; its threads reach it through the run
};

// Sends the file at `sourcePath` to every calculator found (the first 16
// when there are more), at `diskOffset`, and returns when every one is done.
// A path that does not fit the request (260 units with its terminator) is
// refused with 105 before anything else happens.
std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message);

// A run (TransferRun::start) waited for: its result, `report` (may be null)
// filled with its report. `calculatorProgress` (may be null) gets each
// calculator's own reports.
std::int32_t runFirmwareTransferTo(const std::vector<std::u16string> &devicePaths, const char16_t *sourcePath,
                                   std::int64_t diskOffset, ProgressCallback progress, MessageCallback message,
                                   CalculatorProgressCallback calculatorProgress, TransferReport *report,
                                   const char16_t *messageText = nullptr);

// Sends the end-of-session command to the calculators at `devicePaths`, in
// groups of 16 however many there are; a calculator that does not open is
// passed over. 0, or 104 for an empty list.
std::int32_t endUpdateSessionOn(const std::vector<std::u16string> &devicePaths);

// Finds the calculators and sends each one the end-of-session command, as
// endUpdateSessionOn: 0, or 104 when none was found.
std::int32_t endUpdateSession(const char16_t *vendor, const char16_t *product);
