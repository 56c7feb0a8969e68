#include "transport/command_channel.h"

#include "common/little_endian.h"

#include <cstring>

namespace {

// A command or reply block in memory a raw disk handle accepts: sector aligned.
struct alignas(platform::kBufferAlignment) Block {
    std::uint8_t bytes[kCommandBlockSize];
};

// Magic, tag, length and code; the rest of the block is zero.
void fillHeader(Block &block, std::uint32_t code)
{
    std::memset(block.bytes, 0, sizeof block.bytes);
    le::write32(block.bytes + kBlockMagicAt, kCommandMagic);
    std::memcpy(block.bytes + kBlockTagAt, kCommandTag, sizeof kCommandTag);
    le::write32(block.bytes + kBlockLengthAt, kCommandBlockSize);
    le::write32(block.bytes + kBlockCodeAt, code);
}

// A block counts as sent, and a reply as received, only when every byte moved:
// a read that succeeds with nothing moved (at the end of a device) brings no
// answer from the calculator.
bool writeAll(platform::Handle disk, const void *data, std::uint32_t length)
{
    std::uint32_t moved = 0;
    return disk->write(data, length, &moved) && moved == length;
}

bool readAll(platform::Handle disk, void *data, std::uint32_t length)
{
    std::uint32_t moved = 0;
    return disk->read(data, length, &moved) && moved == length;
}

// The position of the handle, to be put back after a command; -1 when it
// cannot be had. A command is not sent then: it would leave the handle at the
// command area with no way back to where the caller's data stream stands.
std::int64_t rememberPosition(platform::Handle disk)
{
    return seekDisk(disk, 0, platform::SeekOrigin::Current);
}

// Puts the position back; false when it could not be.
bool restorePosition(platform::Handle disk, std::int64_t saved)
{
    return seekDisk(disk, saved, platform::SeekOrigin::Begin) == saved;
}

} // namespace

std::int64_t seekDisk(platform::Handle disk, std::int64_t offset, platform::SeekOrigin origin)
{
    if (disk == platform::kInvalidHandle)
        return -1;
    return disk->seek(offset, origin);
}

bool exchangeBlock(platform::Handle disk, const std::uint8_t *block, std::uint32_t blockLength,
                   std::uint8_t *reply, std::uint32_t replyLength)
{
    // Whatever the reply buffer held before is never taken for an answer.
    std::memset(reply, 0, replyLength);
    const std::int64_t saved = rememberPosition(disk);
    if (saved < 0)
        return false;
    // A block or a read goes out only when the handle really is at the command
    // area: after a failed seek it would land on firmware data, or the "reply"
    // would be whatever data lies where the handle happens to be.
    const bool wrote = seekDisk(disk, kCommandOffset, platform::SeekOrigin::Begin) == kCommandOffset &&
                       writeAll(disk, block, blockLength);
    // The reply is read even after a failed write, as the calculator may still
    // have taken the block.
    const bool read = seekDisk(disk, kCommandOffset, platform::SeekOrigin::Begin) == kCommandOffset &&
                      readAll(disk, reply, replyLength);
    const bool restored = restorePosition(disk, saved);
    return wrote && read && restored;
}

bool sendBlock(platform::Handle disk, const std::uint8_t *block, std::uint32_t length)
{
    const std::int64_t saved = rememberPosition(disk);
    if (saved < 0)
        return false;
    const bool wrote = seekDisk(disk, kCommandOffset, platform::SeekOrigin::Begin) == kCommandOffset &&
                       writeAll(disk, block, length);
    const bool restored = restorePosition(disk, saved);
    return wrote && restored;
}

bool sendCommand(platform::Handle disk, std::uint32_t code, std::uint32_t argument)
{
    Block block;
    fillHeader(block, code);
    le::write32(block.bytes + kBlockArgumentAt, argument);
    return sendBlock(disk, block.bytes, kCommandBlockSize);
}

bool queryCommand(platform::Handle disk, std::uint32_t code, std::uint32_t argument,
                  std::uint32_t *replyCode, std::uint32_t *replyValue)
{
    Block block;
    Block reply;
    fillHeader(block, code);
    le::write32(block.bytes + kBlockArgumentAt, argument);
    const bool exchanged =
        exchangeBlock(disk, block.bytes, kCommandBlockSize, reply.bytes, kCommandBlockSize);
    *replyCode = le::read32(reply.bytes + kReplyCodeAt);
    *replyValue = le::read32(reply.bytes + kReplyValueAt);
    return exchanged;
}

bool sendEndSession(platform::Handle disk)
{
    return sendCommand(disk, kCmdEndSession, 0);
}

bool sendProgress(platform::Handle disk, std::uint32_t percent)
{
    for (int attempt = 0; attempt < kProgressAttempts; ++attempt) {
        std::uint32_t code = 0, value = 0;
        if (queryCommand(disk, kCmdProgress, percent, &code, &value) &&
            code == (kReplyFlag | kCmdProgress))
            return true;
    }
    return false;
}

bool checkTransfer(platform::Handle disk, std::int64_t totalLength)
{
    const auto expected = static_cast<std::uint32_t>(totalLength);
    std::uint32_t code = 0, value = 0;
    return queryCommand(disk, kCmdCheckTransfer, expected, &code, &value) &&
           code == (kReplyFlag | kCmdCheckTransfer) && value == expected;
}

bool sendDataPackets(platform::Handle disk, const std::uint8_t *data, std::uint32_t length,
                     std::int64_t startOffset)
{
    Block block;
    Block reply;
    fillHeader(block, kCmdDataPacket);
    auto offset = static_cast<std::uint32_t>(startOffset);
    for (std::uint32_t sent = 0; sent < length;) {
        const std::uint32_t packet = length - sent < kPacketPayload ? length - sent : kPacketPayload;
        // Only the low 16 bits of the offset fit the argument; the calculator
        // sees it wrap every 64 KiB.
        le::write32(block.bytes + kBlockArgumentAt, (offset << 16) | packet);
        std::memcpy(block.bytes + kBlockPayloadAt, data + sent, packet);
        if (!exchangeBlock(disk, block.bytes, kCommandBlockSize, reply.bytes, kCommandBlockSize) ||
            le::read32(reply.bytes + kReplyCodeAt) != (kReplyFlag | kCmdDataPacket))
            return false;
        sent += packet;
        offset += packet;
    }
    return true;
}

namespace {

// `length` bytes read at the command offset into a scratch buffer and
// dropped. Nothing comes of a failure: no buffer, no seek or no read.
void readAndDrop(platform::Handle disk, std::uint32_t length)
{
    void *scratch = platform::allocAligned(kScratchSize);
    if (scratch == nullptr)
        return;
    if (seekDisk(disk, kCommandOffset, platform::SeekOrigin::Begin) == kCommandOffset)
        readAll(disk, scratch, length);
    platform::freeAligned(scratch);
}

} // namespace

void openingRead(platform::Handle disk)
{
    readAndDrop(disk, kOpeningReadLength);
}

void closingRead(platform::Handle disk)
{
    readAndDrop(disk, kClosingReadLength);
}
