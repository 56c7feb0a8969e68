// The firmware transfer engine: one firmware file onto every attached
// calculator (or those a filter lets through) at once, one thread per disk, in
// 16384-byte chunks at the file's disk offset, with progress and message
// callbacks; and the end of a session. This is what the session calls; the
// engine's inside (the device table, the request, the transfer threads) is in
// transfer_engine_internal.h, and what the calculator's protocol has beyond
// what the updater's runs use is in protocol_extras.h.
//
// Plain procedural code: a process-wide device table, integer result codes,
// no exception leaves it. The device table is not locked: a discovery, a run
// and an end of session must never overlap (the update worker makes every one
// of them on its own thread, one after another).
#pragma once

#include "transport/device_discovery.h"

#include <cstdint>
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
constexpr std::int32_t kReleaseChanged = 120;        // never the engine's: the session's release changed
                                                     // in its folder after it was checked

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

// What one run did on each calculator it found, in discovery order.
constexpr std::int32_t kCalculatorLeftOut = -1; // found, but the filter left it out of the run

struct CalculatorResult {
    char16_t identity[kDevicePathLength]; // calculatorIdentity() of its device path; the whole
                                          // path upper-cased when it has no instance part
    std::int32_t result;                  // its own result code (its thread's exit code, 110
                                          // when it got no thread, 105 when the file could not
                                          // be sized), or kCalculatorLeftOut
    std::uint32_t systemError = 0;        // the system's error code behind a failure (errno,
                                          // GetLastError): the open's for 107, else the last
                                          // failed call of its thread; 0 when none was given
    std::u16string path;                  // its device path, as discovery found it
};

struct TransferReport {
    std::int32_t count = 0;                     // calculators found; 0 when the run ended before
                                                // discovery (105) or found none (104)
    std::vector<CalculatorResult> calculators;  // `count` of them, in discovery order
};

// Sends the file at `sourcePath` to every calculator found, at `diskOffset`.
// A path that does not fit the request (260 units with its terminator) is
// refused with 105 before anything else happens.
std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message);

// Sends the file to the calculators at `devicePaths` (as discovery found
// them), at most 16 at once (the device table's slots): the first 16 are the
// run, any others are reported as left out and sent nothing. No discovery
// happens: a calculator gone since it was found fails to open (107). The
// result is the first non-zero own result in list order, 0 when every one
// succeeded, 104 for an empty list. `calculatorProgress` (may be null) gets
// each calculator's own reports; `report` (may be null) one entry per path.
// `messageText` (null: the source path) is what the message callback gets:
// the file's name for the person when the source is a copy of it.
std::int32_t runFirmwareTransferTo(const std::vector<std::u16string> &devicePaths, const char16_t *sourcePath,
                                   std::int64_t diskOffset, ProgressCallback progress, MessageCallback message,
                                   CalculatorProgressCallback calculatorProgress, TransferReport *report,
                                   const char16_t *messageText = nullptr);

// Finds the calculators and sends each one the end-of-session command (in
// groups of 16, however many there are): 0, or 104 when none was found.
std::int32_t endUpdateSession(const char16_t *vendor, const char16_t *product);
