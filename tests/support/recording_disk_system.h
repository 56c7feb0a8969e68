// A disk system that passes every call to another one and records what went
// through each disk handle: the position, the length and the bytes of every
// read and write, and every seek. Tests use it to see the exact blocks the
// updater put on the wire, beside what the simulated calculator made of them.
// It can also make chosen reads come back empty, as a read at the end of a
// device does: successful, with nothing moved.
#pragma once

#include "platform/disk_system.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace testsupport {

struct DiskOp {
    enum Kind { Read, Write, Seek, Flush } kind;
    std::int64_t position;           // handle position before the call (Seek: the result)
    std::uint32_t length;            // bytes asked for (Seek: 0)
    bool ok;                         // what the call returned
    std::vector<std::uint8_t> bytes; // Write: the bytes handed in; Read: the bytes received
};

class RecordingDiskSystem : public platform::DiskSystem {
public:
    explicit RecordingDiskSystem(platform::DiskSystem &inner) : inner_(inner) {}

    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override
    {
        inner_.enumerateDiskInterfaces([&](const char16_t *path) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++visits_;
            return visit(path);
        });
    }
    platform::Handle openDisk(const char16_t *path) override { return wrap(inner_.openDisk(path)); }
    platform::Handle openFile(const char16_t *path) override { return inner_.openFile(path); }

    std::vector<DiskOp> ops() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ops_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ops_.clear();
        visits_ = 0;
    }
    // From the nth read (1-based) of `length` bytes at `position` on, reads
    // there succeed without moving a byte and never reach the inner disk;
    // nth = 0 turns that off.
    void emptyReadsFrom(std::int64_t position, std::uint32_t length, int nth)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        emptyAt_ = position;
        emptyLength_ = length;
        emptyFrom_ = nth;
        emptySeen_ = 0;
    }
    int interfacesVisited() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return visits_;
    }
    // Reads and writes at `position` with `length` (any length when 0).
    std::vector<DiskOp> transfers(DiskOp::Kind kind, std::int64_t position, std::uint32_t length = 0) const
    {
        std::vector<DiskOp> out;
        for (const DiskOp &op : ops())
            if (op.kind == kind && op.position == position && (length == 0 || op.length == length))
                out.push_back(op);
        return out;
    }

private:
    class Handle : public platform::File {
    public:
        Handle(RecordingDiskSystem &owner, platform::Handle inner) : owner_(owner), inner_(inner)
        {
            position_ = inner_->seek(0, platform::SeekOrigin::Current);
        }
        ~Handle() override { platform::closeHandle(inner_); }
        bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
        {
            if (owner_.readComesBackEmpty(position_, length)) {
                *moved = 0;
                owner_.record({DiskOp::Read, position_, length, true, {}});
                return true;
            }
            const bool ok = inner_->read(buffer, length, moved);
            const auto *b = static_cast<const std::uint8_t *>(buffer);
            owner_.record({DiskOp::Read, position_, length, ok, std::vector<std::uint8_t>(b, b + *moved)});
            position_ += *moved;
            return ok;
        }
        bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
        {
            const bool ok = inner_->write(buffer, length, moved);
            const auto *b = static_cast<const std::uint8_t *>(buffer);
            owner_.record({DiskOp::Write, position_, length, ok, std::vector<std::uint8_t>(b, b + length)});
            position_ += *moved;
            return ok;
        }
        std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override
        {
            const std::int64_t result = inner_->seek(offset, origin);
            if (result >= 0)
                position_ = result;
            owner_.record({DiskOp::Seek, result, 0, result >= 0, {}});
            return result;
        }
        bool flush() override
        {
            const bool ok = inner_->flush();
            owner_.record({DiskOp::Flush, position_, 0, ok, {}});
            return ok;
        }
        std::int64_t size() override { return inner_->size(); }
        std::uint32_t sectorSize() override { return inner_->sectorSize(); }

    private:
        RecordingDiskSystem &owner_;
        platform::Handle inner_;
        std::int64_t position_ = 0;
    };

    platform::Handle wrap(platform::Handle inner)
    {
        return inner == platform::kInvalidHandle ? inner : new Handle(*this, inner);
    }
    bool readComesBackEmpty(std::int64_t position, std::uint32_t length)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (emptyFrom_ == 0 || position != emptyAt_ || length != emptyLength_)
            return false;
        return ++emptySeen_ >= emptyFrom_;
    }
    void record(DiskOp op)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ops_.push_back(std::move(op));
    }

    platform::DiskSystem &inner_;
    mutable std::mutex mutex_;
    std::vector<DiskOp> ops_;
    int visits_ = 0;
    std::int64_t emptyAt_ = 0;     // reads at this position...
    std::uint32_t emptyLength_ = 0; // ...of this length...
    int emptyFrom_ = 0;            // ...come back empty from this one on (0: never)
    int emptySeen_ = 0;            // such reads so far
};

} // namespace testsupport
