// The parts of the calculator's update protocol that the updater's own runs
// never use. They are kept so that this side of the protocol is complete, and
// they are fenced off here so that the live path reads without them:
//
//  - packet mode (kPacketMode): the firmware travels as data packets of the
//    command channel, followed by a transfer check. runFirmwareTransfer always
//    sends raw (kRawMode); only test_transfer_engine runs packet mode, through
//    runTransferRequest. tavix-transfer's conversation sends the same data
//    packets and transfer check straight over the command channel.
//  - the chunk transform (chainXorChunk): the updater's runs send every chunk
//    as read, so the engine never calls it; test_transfer_engine checks it.
//  - reportLastError: the system's text for the last error is fetched and
//    dropped: the engine has no log or window of its own. Its only caller is
//    a raw chunk that could not be written; the error code itself reaches the
//    session's log and window through CalculatorResult::systemError.
//  - readCommandArea: the opening or closing read with a result that is always
//    true. The updater calls openingRead and closingRead (command_channel.h)
//    and has no result to ignore; test_command_channel and test_channel_loop
//    check the result, fuzz_command_replies reads through it.
//
// transferThread reaches them at named points only: reportLastError after a
// failed raw write, and packetModeSendChunk and packetModeCheckTransfer when
// the job's mode is not kRawMode.
#pragma once

#include "transport/command_channel.h"

#include <cstdint>

// Any mode other than kRawMode (transfer_engine_internal.h) is packet mode.
constexpr std::int32_t kPacketMode = 1;

// Packet mode, one chunk: its `length` bytes as data packets, `fileOffset`
// being its place in the firmware file. kTransferOk, or kPacketRefused at the
// first packet refused or not exchanged.
std::int32_t packetModeSendChunk(platform::Handle disk, const std::uint8_t *chunk, std::uint32_t length,
                                 std::int64_t fileOffset);

// Packet mode, after the last chunk: the calculator confirms `length` bytes.
// kTransferOk, or kTransferCheckFailed.
std::int32_t packetModeCheckTransfer(platform::Handle disk, std::int64_t length);

// The chunk transform of the calculator's protocol: a running XOR over one
// chunk that starts from the seed's low byte, each byte XOR the byte before
// it as it was read; afresh for every chunk. Nothing when the seed is 0.
void chainXorChunk(std::uint8_t *buffer, std::uint32_t length, std::uint32_t seed);

// The diagnostic hook: fetches the system's text for the last error and drops
// it. `label` says what failed.
void reportLastError(const char16_t *label);

// The opening (closing = false) or closing (true) read of the command channel;
// always true.
bool readCommandArea(platform::Handle disk, bool closing);
