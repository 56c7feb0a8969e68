// Arbitrary I/O against a simulated calculator: command blocks (well formed
// with any code and argument, or raw bytes), replies, opening and closing
// reads, data reads and writes at any offset, length and buffer address,
// faults switched on and off, the clock moving, handles opened and closed.
// Besides not crashing, the calculator must keep its word: refused requests
// change nothing, accepted writes are on the disk, replies are replies.
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

constexpr std::int64_t kCommandArea = 87040;
constexpr std::uint64_t kDiskBytes = 256 * 1024;
constexpr std::uint32_t kBufferBytes = 64 * 1024 + 4096;
constexpr std::uint32_t kCodes[] = {0xBEDC, 0xBEC6, 0xBEC7, 0xBEC1, 0x8000BEDC, 0};

// The input, read front to back; past its end every read gives zeros.
struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
    bool done() const { return at >= size; }
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::uint16_t u16() { return std::uint16_t(byte() | byte() << 8); }
    std::uint32_t u32() { return std::uint32_t(u16()) | std::uint32_t(u16()) << 16; }
    void fill(std::uint8_t *out, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
            out[i] = byte();
    }
};

void putLe32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}

std::uint32_t getLe32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

struct Session {
    emulator::EmulatedDiskSystem system;
    std::shared_ptr<emulator::Calculator> calculator;
    std::vector<platform::Handle> handles;
    std::uint8_t *buffer = static_cast<std::uint8_t *>(platform::allocAligned(kBufferBytes));

    Session()
    {
        emulator::Config config;
        config.diskBytes = kDiskBytes;
        calculator = system.attach(config);
        openHandle();
    }
    ~Session()
    {
        for (platform::Handle h : handles)
            platform::closeHandle(h);
        CHECK(system.openHandleCount() == 0);
        platform::freeAligned(buffer);
    }
    void openHandle()
    {
        const platform::Handle h = system.openDisk(calculator->devicePath().c_str());
        if (h)
            handles.push_back(h);
    }
    platform::Handle pick(Input &in)
    {
        return handles.empty() ? platform::kInvalidHandle : handles[in.byte() % handles.size()];
    }
};

// A command block and, as the transport does, the reply read right after it.
void exchange(Session &s, Input &in, bool wellFormed)
{
    const platform::Handle h = s.pick(in);
    if (!h)
        return;
    std::uint8_t *block = s.buffer;
    in.fill(block, 512);
    std::uint32_t code = 0;
    std::uint32_t argument = 0;
    if (wellFormed) {
        std::memcpy(block, "\xAA\x55\x55\xAA" "KQVD\x00\x02\x00\x00", 12);
        const std::uint8_t pick = in.byte();
        code = pick < 200 ? kCodes[pick % (sizeof kCodes / sizeof kCodes[0] - 1)] : in.u32();
        argument = in.u32();
        putLe32(block + 12, code);
        putLe32(block + 16, argument);
    }
    const std::size_t packetsBefore = s.calculator->packetData().size();
    std::uint32_t moved = 0;
    if (h->seek(kCommandArea, platform::SeekOrigin::Begin) != kCommandArea || !h->write(block, 512, &moved))
        return;
    std::uint8_t *reply = s.buffer + 4096;
    const bool read = h->seek(kCommandArea, platform::SeekOrigin::Begin) == kCommandArea &&
                      h->read(reply, 512, &moved);
    if (!read) {
        // A raw block is a data write, and one that reaches the unplug limit
        // takes the calculator away; a command block cannot.
        CHECK(!wellFormed && platform::lastError() == ENODEV);
        return;
    }
    const std::size_t packetsAfter = s.calculator->packetData().size();
    if (!wellFormed || code == 0xBEC1) {
        CHECK(packetsAfter == packetsBefore);
        return;
    }
    CHECK(std::memcmp(reply, "\xAA\x55\x55\xAA" "KQVD\x00\x02\x00\x00", 12) == 0);
    const std::uint32_t replyCode = getLe32(reply + 12);
    const std::uint32_t value = getLe32(reply + 16);
    const bool accepted = replyCode == (0x80000000u | code);
    CHECK(accepted || replyCode == (code & 0x7FFFFFFFu));
    for (int i = 20; i < 512; ++i)
        CHECK(reply[i] == 0);
    if (code == 0xBEC6) {
        const std::uint32_t length = argument & 0xFFFF;
        CHECK(packetsAfter == packetsBefore + (accepted ? length : 0));
        CHECK(!accepted || (length >= 1 && length <= 256));
        CHECK(!accepted || std::memcmp(s.calculator->packetData().data() + packetsBefore, block + 20, length) == 0);
    } else {
        CHECK(packetsAfter == packetsBefore);
    }
    if (code == 0xBEC7 && accepted)
        CHECK(value <= packetsAfter);
    if (code == 0xBEDC && accepted)
        CHECK(value == argument);
    if (code == 0x8000BEDC)
        CHECK(!accepted);
}

// A read or a write anywhere: whole sectors or not, aligned buffer or not.
void transfer(Session &s, Input &in, bool write)
{
    const platform::Handle h = s.pick(in);
    if (!h)
        return;
    const std::uint8_t shape = in.byte();
    std::int64_t offset = in.u32() % (kDiskBytes + 128 * 1024);
    std::uint32_t length = in.u16();
    std::uint32_t shift = 0;
    if (shape & 1)
        offset &= ~std::int64_t(511);
    if (shape & 2)
        length = (length % 129) * 512;
    if (shape & 4)
        shift = in.byte() % 64;
    if (shape & 8)
        offset = kCommandArea;
    const bool whole = offset % 512 == 0 && length % 512 == 0 && shift == 0;
    std::uint8_t *data = s.buffer + shift;
    if (write)
        in.fill(data, length);
    CHECK(h->seek(offset, platform::SeekOrigin::Begin) == offset);
    std::uint32_t moved = 0;
    platform::setLastError(0);
    const std::vector<std::uint8_t> before = s.calculator->contents(std::uint64_t(offset), length);
    const bool ok = write ? h->write(data, length, &moved) : h->read(data, length, &moved);
    if (!whole)
        CHECK(!ok && platform::lastError() == EINVAL && moved == 0);
    if (!ok) {
        CHECK(h->seek(0, platform::SeekOrigin::Current) == offset);
        // Only a write cut short by an unplug stores part of itself.
        if (platform::lastError() != ENODEV)
            CHECK(s.calculator->contents(std::uint64_t(offset), length) == before);
        return;
    }
    CHECK(moved == length && (length == 0 || std::uint64_t(offset) + length <= kDiskBytes));
    CHECK(h->seek(0, platform::SeekOrigin::Current) == offset + length);
    const bool commandSized = offset == kCommandArea && length == 512;
    if (!commandSized && length > 0) {
        const std::vector<std::uint8_t> now = s.calculator->contents(std::uint64_t(offset), length);
        CHECK(std::memcmp(now.data(), data, length) == 0);
    }
}

void setFaults(Session &s, Input &in)
{
    const std::uint8_t flags = in.byte();
    emulator::Faults f;
    f.refuseProgress = flags & 1;
    f.refuseCheck = flags & 2;
    f.unopenable = flags & 4;
    f.refusePacket = (flags & 8) ? in.byte() : 0;
    f.failWrites = (flags & 16) ? std::int64_t(in.byte() % 5) - 1 : 0;
    f.unplugAfterBytes = (flags & 32) ? std::int64_t(s.calculator->dataBytesWritten() + in.u16()) : -1;
    f.replugAfterMs = (flags & 64) ? std::int64_t(in.byte()) : -1;
    f.attachAtMs = (flags & 128) ? platform::nowMs() + in.byte() : 0;
    s.calculator->setFaults(f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    platform::useSimulatedClock(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Session s;
    Input in{data, size};
    std::size_t packets = 0;
    while (!in.done()) {
        switch (in.byte() % 12) {
        case 0: case 1: case 2: exchange(s, in, true); break;
        case 3: exchange(s, in, false); break;
        case 4: transfer(s, in, false); break;
        case 5: case 6: transfer(s, in, true); break;
        case 7: setFaults(s, in); break;
        case 8: platform::advanceSimulatedClock(in.byte()); break;
        case 9:
            if (s.handles.size() < 4)
                s.openHandle();
            break;
        case 10:
            if (!s.handles.empty()) {
                const std::size_t i = in.byte() % s.handles.size();
                platform::closeHandle(s.handles[i]);
                s.handles.erase(s.handles.begin() + std::ptrdiff_t(i));
            }
            break;
        case 11: {
            int seen = 0;
            s.system.enumerateDiskInterfaces([&](const char16_t *) { return ++seen, true; });
            CHECK(seen == (s.calculator->isPresent() ? 1 : 0));
            break;
        }
        }
        CHECK(s.system.openHandleCount() == int(s.handles.size()));
        CHECK(s.calculator->residentBytes() <= kDiskBytes);
        const std::size_t now = s.calculator->packetData().size();
        CHECK(now >= packets);
        packets = now;
    }
    return 0;
}
