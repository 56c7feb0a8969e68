// Whatever a device answers at the command area must never crash the channel
// or make it accept what was not accepted: every reply comes from the fuzzer.
#include "transport/command_channel.h"
#include "transport/protocol_extras.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A disk whose reads return the fuzzer's bytes in turn, and whose writes and
// reads succeed or fail as the fuzzer's bytes say.
class ScriptedDisk : public platform::File {
public:
    ScriptedDisk(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        *moved = 0;
        if (!nextFlag())
            return false;
        auto *out = static_cast<std::uint8_t *>(buffer);
        for (std::uint32_t i = 0; i < length; ++i)
            out[i] = at_ < size_ ? data_[at_++] : 0;
        *moved = length;
        position_ += length;
        return true;
    }
    bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        const auto *in = static_cast<const std::uint8_t *>(buffer);
        lastWrite_.assign(in, in + length);
        *moved = nextFlag() ? length : 0;
        position_ += *moved;
        return *moved == length;
    }
    std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override
    {
        const std::int64_t target = origin == platform::SeekOrigin::Current ? position_ + offset : offset;
        if (target < 0)
            return -1;
        position_ = target;
        return position_;
    }
    bool flush() override { return true; }
    std::int64_t size() override { return 1 << 30; }
    std::int64_t position() const { return position_; }

private:
    bool nextFlag() { return at_ < size_ ? (data_[at_++] & 7) != 0 : true; }

    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::int64_t position_ = 0;
    std::vector<std::uint8_t> lastWrite_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t which = data[0];
    ScriptedDisk disk(data + 1, size - 1);
    const std::int64_t start = 4096 * (which >> 3);
    disk.seek(start, platform::SeekOrigin::Begin);
    alignas(4096) static std::uint8_t payload[1024];
    for (std::size_t i = 0; i < sizeof payload; ++i)
        payload[i] = std::uint8_t(i);
    switch (which & 7) {
    case 0:
        sendProgress(&disk, which);
        break;
    case 1:
        checkTransfer(&disk, start);
        break;
    case 2:
        sendDataPackets(&disk, payload, which * 4u, start);
        break;
    case 3: {
        std::uint32_t code = 0, value = 0;
        if (queryCommand(&disk, kCmdProgress, 1, &code, &value) && code == (kReplyFlag | kCmdProgress))
            (void)value;
        break;
    }
    case 4:
        readCommandArea(&disk, which & 8);
        return 0; // the position is left after the read
    default:
        sendEndSession(&disk);
        break;
    }
    // Every exchange puts the position back where it was.
    if (disk.position() != start)
        std::abort();
    return 0;
}
