// The firmware transfer engine: one firmware file onto every attached
// calculator (or those a filter lets through) at once, one thread per disk, in
// 16384-byte chunks at the file's disk offset, with progress and message
// callbacks; and the end of a session. What the calculator's protocol has
// beyond what the updater's runs use is in protocol_extras.h.
//
// Plain procedural code: a process-wide device table, integer result codes,
// no exception leaves it. The device table is not locked: a discovery, a run
// and an end of session must never overlap (the update worker keeps them apart
// with its transport lock).
#pragma once

#include "transport/command_channel.h"
#include "transport/device_discovery.h"

#include <cstdint>
#include <functional>
#include <thread>

constexpr std::uint32_t kChunkSize = 16384;      // bytes read from the file and sent per step
constexpr int kRawWriteAttempts = 7;             // one try and six retries per chunk
constexpr std::uint32_t kSettlePauseMs = 100;    // before the opening read, after progress 0, after
                                                 // the last flush, and before every exit once the
                                                 // disk was used
constexpr std::uint32_t kHighestRunningPercent = 99; // 100 only once the transfer is complete
constexpr int kSourcePathLength = 261;           // request path buffers, terminator included
constexpr int kMessageTextLength = 360;          // a transfer thread's own copy of the message

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

// The mode of every transfer the updater runs: the file's bytes are written at
// the disk offset. Any other mode is packet mode (protocol_extras.h).
constexpr std::int32_t kRawMode = 0;

// Called on the transfer threads, one call at a time. With several
// calculators it gets the slowest one's percentage: within a run the values
// never go down, start with 0, and reach 100 only once every calculator of
// the run has the whole file. With one calculator it sees every report.
using ProgressCallback = void (*)(std::int32_t percent);
// Called once per disk, first thing in its transfer thread, possibly on
// several threads at the same moment. The text lies in the calling thread's
// own buffer and is valid during the call (and until that thread ends); a
// receiver that keeps it copies it.
using MessageCallback = void (*)(const char16_t *text);

// The device table (devicePaths, from device_discovery.h, belongs to it too).
extern DiskHandle deviceHandles[kMaxDevices];
extern std::int32_t deviceCount;
extern ProgressCallback progressCallback;
extern MessageCallback messageCallback;

struct TransferRequest {
    std::uint32_t kind;                      // 0, 1 or 2; 3 and above are refused (106)
    std::int64_t diskOffset;                 // where the file's first byte goes on the disk
    std::int64_t sourceOffset;               // where reading starts in the file
    std::int64_t length;                     // bytes to send
    char16_t sourcePath[kSourcePathLength];  // the firmware file, NUL-terminated
    char16_t messageText[kSourcePathLength]; // handed to the message callback
    std::int32_t mode;                       // kRawMode, or packet mode (kPacketMode)
};

// What the threads of one run share to report a single progress (defined in
// transfer_engine.cpp).
struct RunProgress;

struct TransferJob {
    DiskHandle disk;             // the slot's handle, possibly kInvalidHandle
    std::int64_t diskOffset;     // from the request
    std::int64_t sourceOffset;   // from the request
    std::int64_t length;         // from the request
    const char16_t *sourcePath;  // the request's path
    const char16_t *messageText; // the request's text
    std::int32_t mode;           // from the request
    RunProgress *run;            // the run's progress; nullptr: every report goes to the callback
    int slot;                    // this job's slot in the run
};

// What one run did on each calculator it found, in discovery order.
constexpr std::int32_t kCalculatorLeftOut = -1; // found, but the filter left it out of the run

struct CalculatorResult {
    char16_t identity[kDevicePathLength]; // calculatorIdentity() of its device path; the whole
                                          // path upper-cased when it has no instance part
    std::int32_t result;                  // its own result code (its thread's exit code, 110
                                          // when it got no thread, 105 when the file could not
                                          // be sized), or kCalculatorLeftOut
};

struct TransferReport {
    std::int32_t count;                        // calculators found; 0 when the run ended before
                                               // discovery (105) or found none (104)
    CalculatorResult calculators[kMaxDevices]; // the first `count` are meaningful, in slot order
};

// Whether the calculator with this identity is sent the file of a run.
using CalculatorFilter = bool (*)(const char16_t *identity, void *context);

// As below, for the calculators that `filter` lets through (all of them when
// it is null). The filter is asked once per calculator found, on the calling
// thread, before any disk is opened. A calculator left out is neither opened
// nor sent anything, gets no thread and no message, and takes no part in the
// run's result or progress; a run that leaves every calculator out sends
// nothing, calls no callback and gives 0. `report` (may be null) receives
// every calculator found, with its identity and its own result, whatever the
// outcome.
std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message, CalculatorFilter filter,
                                 void *filterContext, TransferReport *report);

// Sends the file at `sourcePath` to every calculator found, at `diskOffset`.
// A path that does not fit the request (260 units with its terminator) is
// refused with 105 before anything else happens.
std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message);

// Finds the calculators and sends each one the end-of-session command: 0, or
// 104 when none was found.
std::int32_t endUpdateSession(const char16_t *vendor, const char16_t *product);

// Opens every disk of the table (invalid handle on failure); how many opened.
int openCalculatorDisks();
// Closes every valid handle of the table and marks its slot invalid.
void closeCalculatorDisks();
// The file's size, 0 when it cannot be opened or sized.
std::int64_t sourceFileSize(const char16_t *path);
// Starts one transfer thread running `body`. The engine starts its threads
// through transferThreadStarter, which is startTransferThread (std::thread's
// own constructor) unless a test puts a stand-in there that fails the way that
// constructor can: by throwing std::system_error or std::bad_alloc.
using ThreadStarter = std::thread (*)(std::function<void()> body);
std::thread startTransferThread(std::function<void()> body);
extern ThreadStarter transferThreadStarter;
// One thread per slot, all joined; the first non-zero exit code in slot order,
// where a slot whose thread could not be started counts as 110. 106 at once for
// a request of kind 3 or more, 104 when the table is empty.
std::int32_t runTransferRequest(const TransferRequest *request);
// One disk's transfer; its result code. It never closes the disk.
std::int32_t transferThread(const TransferJob *job);
