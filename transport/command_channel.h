// The command channel: 512-byte command blocks written to a fixed place of the
// calculator disk, and the calculator's 512-byte replies read back from there.
//
// Every operation runs on the caller's thread, on a disk handle opened raw,
// unbuffered and write-through (so the read really comes from the calculator and
// not from a cache). The channel keeps no state; one thread drives one handle.
#pragma once

#include "platform/disk_system.h"

#include <cstdint>

constexpr std::int64_t kCommandOffset = 87040;        // sector 170 of 512-byte sectors
constexpr std::uint32_t kCommandBlockSize = 512;      // every block and every reply
constexpr std::uint32_t kCommandMagic = 0xAA5555AAu;  // first field of a block
constexpr char kCommandTag[4] = {'K', 'Q', 'V', 'D'}; // after the magic, no terminator
constexpr std::uint32_t kReplyFlag = 0x80000000u;     // reply code = kReplyFlag | command
constexpr std::uint32_t kPacketPayload = 256;         // largest payload of one data packet
constexpr std::uint32_t kOpeningReadLength = 15360;   // 30 sectors from the command area
constexpr std::uint32_t kClosingReadLength = 15872;   // 31 sectors from the command area
constexpr std::uint32_t kScratchSize = 16384;         // receives an opening/closing read

constexpr std::uint32_t kCmdEndSession = 0xBEC1;     // argument 0, no reply read
constexpr std::uint32_t kCmdDataPacket = 0xBEC6;     // (offset << 16) | payload length
constexpr std::uint32_t kCmdCheckTransfer = 0xBEC7;  // total bytes; reply value must match
constexpr std::uint32_t kCmdProgress = 0xBEDC;       // percent done, 0 to 100

// Field offsets inside a command block and a reply block.
constexpr std::uint32_t kBlockMagicAt = 0;
constexpr std::uint32_t kBlockTagAt = 4;
constexpr std::uint32_t kBlockLengthAt = 8;
constexpr std::uint32_t kBlockCodeAt = 12;
constexpr std::uint32_t kBlockArgumentAt = 16;
constexpr std::uint32_t kBlockPayloadAt = 20;
constexpr std::uint32_t kReplyCodeAt = 12;
constexpr std::uint32_t kReplyValueAt = 16;

constexpr int kProgressAttempts = 6;

// Moves the handle's position; the new absolute position, or -1 on an error.
std::int64_t seekDisk(platform::Handle disk, std::int64_t offset, platform::SeekOrigin origin);

// Writes `block` at the command offset, reads `replyLength` bytes back from
// there into `reply`, and puts the position back where it was. True only if
// the whole block went out, the whole reply came in and the position is back.
// The reply is read even after a failed write, but never at another place
// than the command area; `reply` is zeroed first, so it holds nothing that
// did not come from the calculator. When the position cannot be had, nothing
// is sent and the result is false.
bool exchangeBlock(platform::Handle disk, const std::uint8_t *block, std::uint32_t blockLength,
                   std::uint8_t *reply, std::uint32_t replyLength);

// Writes `block` at the command offset and restores the position; no reply.
// True only if the whole block went out and the position is back; nothing is
// sent when the position cannot be had.
bool sendBlock(platform::Handle disk, const std::uint8_t *block, std::uint32_t length);

// A command block (magic, tag, 512, code, argument) sent without reading a reply.
bool sendCommand(platform::Handle disk, std::uint32_t code, std::uint32_t argument);

// A command block exchanged for a reply; replyCode and replyValue (the reply's
// fields at 12 and 16) mean something only when the result is true.
bool queryCommand(platform::Handle disk, std::uint32_t code, std::uint32_t argument,
                  std::uint32_t *replyCode, std::uint32_t *replyValue);

// The end-of-session command: one block, nothing read.
bool sendEndSession(platform::Handle disk);

// Reports `percent` done; up to 6 attempts back to back. True at the first
// reply carrying the progress reply code.
bool sendProgress(platform::Handle disk, std::uint32_t percent);

// The transfer check and the data packets: the updater sends them only in
// packet mode, which its own runs never use (protocol_extras.h).

// Asks the calculator to confirm `totalLength` bytes (low 32 bits); no retry.
bool checkTransfer(platform::Handle disk, std::int64_t totalLength);

// Sends `length` bytes as data packets of up to 256 bytes; `startOffset` is the
// position of data[0] within the firmware file. Stops at the first refusal.
// An empty piece of data sends nothing and succeeds: nothing was refused.
bool sendDataPackets(platform::Handle disk, const std::uint8_t *data, std::uint32_t length,
                     std::int64_t startOffset);

// The opening read (15360 bytes) and the closing read (15872 bytes) at the
// command offset: the calculator sees one before the first command of a
// transfer and before the end of a session, the other after the last progress
// report of a successful transfer. What is read is dropped, a failure has no
// consequence, and the position is not put back. (readCommandArea, in
// protocol_extras.h, is either read with a result that is always true.)
void openingRead(platform::Handle disk);
void closingRead(platform::Handle disk);
