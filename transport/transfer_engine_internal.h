// The transfer engine's inside: the device table of a run, the request a
// run is made of, one job per disk and the thread that carries it out, and
// the entry points below runFirmwareTransfer that the transport suites, the
// benchmark and tavix-transfer drive. The session only needs
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

// The calculators of one run or one end of session, at most 16: what the
// disk system knows them by and, while they are open, their handles. Owned by
// whoever serves them (a run, an end of session); never shared.
struct DeviceTable {
    int count = 0;                                      // slots in use, at most kMaxDevices
    char16_t paths[kMaxDevices][kDevicePathLength] = {}; // each slot's device path; empty when the
                                                        // path given does not fit a slot
    platform::Handle handles[kMaxDevices] = {};         // kInvalidHandle when not open
    std::uint32_t openErrors[kMaxDevices] = {};         // the system's error when the open failed

    DeviceTable() = default;
    DeviceTable(const DeviceTable &) = delete;
    DeviceTable &operator=(const DeviceTable &) = delete;
    // Closes what is still open.
    ~DeviceTable() { close(); }

    // Takes up to 16 of `count` paths (a negative count is none); a path that
    // does not fit a slot is left empty there, so that its disk fails to open
    // (it never comes from discovery, which passes such paths over).
    void fill(const std::u16string *paths, int count);
    // Opens the disk of every slot (kInvalidHandle on failure, its error
    // kept); how many opened.
    int open();
    // Closes every open handle and marks its slot invalid.
    void close();
};

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

// What the threads of one run share to report a single progress, with the
// run's callbacks (defined in transfer_engine.cpp).
struct RunProgress;

struct TransferJob {
    platform::Handle disk;       // the slot's handle, possibly kInvalidHandle
    std::int64_t diskOffset;     // from the request
    std::int64_t sourceOffset;   // from the request
    std::int64_t length;         // from the request
    const char16_t *sourcePath;  // the request's path
    const char16_t *messageText; // the request's text
    std::int32_t mode;           // from the request
    RunProgress *run;            // the run's progress, which every report goes through
    int slot;                    // this job's slot in the run
};

// The file's size, 0 when it cannot be opened or sized.
std::int64_t sourceFileSize(const char16_t *path);

// Starts one transfer thread running `body`: either a thread is started and
// returned (the engine detaches it), or it throws as std::thread's own
// constructor can (std::system_error, std::bad_alloc) and nothing runs.
// startTransferThread is that constructor; a test hands a run a stand-in
// that fails.
using ThreadStarter = std::thread (*)(std::function<void()> body);
std::thread startTransferThread(std::function<void()> body);

// As TransferRun::start for a request of any kind and mode, with its threads
// started through `starter` (null: startTransferThread). The request's paths
// are taken up to their terminator or their buffer's end. A request of kind 3
// or more is finished at once with 106 for every calculator of the run, no
// disk opened; an empty list gives 104. A calculator whose thread could not
// be started counts as 110.
std::shared_ptr<TransferRun> startTransferRun(const std::vector<std::u16string> &devicePaths,
                                              const TransferRequest &request, const TransferCallbacks &callbacks,
                                              ThreadStarter starter = startTransferThread);

// startTransferRun waited for: the run's result; `report` (may be null) gets
// its report.
std::int32_t runTransferRequest(const TransferRequest &request, const std::vector<std::u16string> &devicePaths,
                                const TransferCallbacks &callbacks = {}, TransferReport *report = nullptr,
                                ThreadStarter starter = startTransferThread);

// What one disk's transfer tells beyond its result code, for the log.
struct TransferNotes {
    std::uint32_t sectorSize = 0;       // the logical sector size the disk told; 0: none
    std::uint32_t unsupportedFlush = 0; // a final flush the disk does not support, let pass: the
                                        // system's error; 0: none
};

// One disk's transfer; its result code. It never closes the disk. `notes`
// (may be null) receives what it found out on the way.
std::int32_t transferThread(const TransferJob *job, TransferNotes *notes = nullptr);
