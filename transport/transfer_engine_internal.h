// The transfer engine's inside: the device table, the request a run is made
// of, one job per disk and the thread that carries it out. For the engine
// itself, the transport suites, the benchmark and tavix-transfer, which drive
// the engine below runFirmwareTransfer; the session only needs
// transfer_engine.h.
#pragma once

#include "transport/command_channel.h"
#include "transport/device_discovery.h"
#include "transport/transfer_engine.h"

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

// The mode of every transfer the updater runs: the file's bytes are written at
// the disk offset. Any other mode is packet mode (protocol_extras.h).
constexpr std::int32_t kRawMode = 0;

// Whether the calculator with this identity is sent the file of a run.
using CalculatorFilter = bool (*)(const char16_t *identity, void *context);

// As runFirmwareTransfer in transfer_engine.h, for the calculators that `filter` lets through (all of them when
// it is null), the first 16 of them when more are let through (the others
// are reported as left out). The filter is asked once per calculator found, on the calling
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

// The device table (devicePaths, from device_discovery.h, belongs to it too).
extern platform::Handle deviceHandles[kMaxDevices];
extern std::int32_t deviceCount;
extern ProgressCallback progressCallback;
extern MessageCallback messageCallback;

struct TransferRequest {
    std::uint32_t kind;                      // the protocol's request kind: 0, 1 and 2 run the same
                                             // transfer (the updater sends 0); 3 and above are refused (106)
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
    platform::Handle disk;             // the slot's handle, possibly kInvalidHandle
    std::int64_t diskOffset;     // from the request
    std::int64_t sourceOffset;   // from the request
    std::int64_t length;         // from the request
    const char16_t *sourcePath;  // the request's path
    const char16_t *messageText; // the request's text
    std::int32_t mode;           // from the request
    RunProgress *run;            // the run's progress, which every report goes through
    int slot;                    // this job's slot in the run
};

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
