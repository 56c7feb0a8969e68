// See protocol_extras.h: what the calculator's protocol has and the updater's
// own runs never use.
#include "transport/protocol_extras.h"

#include "transport/transfer_engine.h"

#include <string>

std::int32_t packetModeSendChunk(platform::Handle disk, const std::uint8_t *chunk, std::uint32_t length,
                                 std::int64_t fileOffset)
{
    return sendDataPackets(disk, chunk, length, fileOffset) ? kTransferOk : kPacketRefused;
}

std::int32_t packetModeCheckTransfer(platform::Handle disk, std::int64_t length)
{
    return checkTransfer(disk, length) ? kTransferOk : kTransferCheckFailed;
}

void chainXorChunk(std::uint8_t *buffer, std::uint32_t length, std::uint32_t seed)
{
    if (seed == 0)
        return;
    auto running = static_cast<std::uint8_t>(seed);
    for (std::uint32_t i = 0; i < length; ++i) {
        const std::uint8_t original = buffer[i];
        buffer[i] = static_cast<std::uint8_t>(original ^ running);
        running = original;
    }
}

void reportLastError(const char16_t *label)
{
    (void)label;
    const std::u16string text = platform::errorText(platform::lastError());
    (void)text;
}

bool readCommandArea(platform::Handle disk, bool closing)
{
    if (closing)
        closingRead(disk);
    else
        openingRead(disk);
    return true;
}
