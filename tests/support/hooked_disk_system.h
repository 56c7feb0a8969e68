// A disk system that passes every call to another one, with two hooks on the
// enumeration of disks (the first step of every presence check, transfer and
// end of session): it can be held, so that a test acts while the updater sits
// inside a transport call, and it can throw once, as a failing allocation
// would. It also counts how many enumerations ever ran at the same moment.
#pragma once

#include "platform/disk_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>

namespace testsupport {

class HookedDiskSystem : public platform::DiskSystem {
public:
    explicit HookedDiskSystem(platform::DiskSystem &inner) : inner_(inner) {}

    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override
    {
        struct Inside {
            HookedDiskSystem &self;
            explicit Inside(HookedDiskSystem &s) : self(s)
            {
                std::lock_guard<std::mutex> lock(self.mutex_);
                self.maxInside_ = std::max(self.maxInside_, ++self.inside_);
                ++self.entered_;
                self.changed_.notify_all();
            }
            ~Inside()
            {
                std::lock_guard<std::mutex> lock(self.mutex_);
                --self.inside_;
            }
        } inside(*this);
        if (throwNext.exchange(false))
            throw std::bad_alloc();
        {
            // Held at most holdLimit of real time, so that a fault shows as a
            // failed check rather than a hung suite.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, holdLimit, [this] { return !held_; });
            if (held_)
                heldTooLong_ = true;
        }
        inner_.enumerateDiskInterfaces(visit);
    }
    platform::Handle openDisk(const char16_t *path) override { return inner_.openDisk(path); }
    platform::Handle openFile(const char16_t *path) override
    {
        platform::Handle file = inner_.openFile(path);
        const std::u16string opened(path);
        const std::u16string failing = failReadsOf; // set before the test starts the updater
        if (file == platform::kInvalidHandle || failing.empty() || opened.size() < failing.size() ||
            opened.compare(opened.size() - failing.size(), failing.size(), failing) != 0)
            return file;
        return new FailingReads(file, readError);
    }

    // Every read of a file whose path ends with this fails with readError.
    std::u16string failReadsOf;
    std::uint32_t readError = 5; // EIO

    // The next enumeration throws std::bad_alloc (once).
    std::atomic<bool> throwNext{false};
    std::chrono::milliseconds holdLimit{10000};

    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Waits until an enumeration is inside (held or not); false after `limit`.
    bool waitUntilInside(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return inside_ > 0; });
    }
    int enumerations() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }
    int mostAtOnce() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxInside_;
    }
    // A hold ran out before release(): whoever should have released it never got to.
    bool heldTooLong() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return heldTooLong_;
    }

private:
    class FailingReads : public platform::File {
    public:
        FailingReads(platform::Handle inner, std::uint32_t error) : inner_(inner), error_(error) {}
        ~FailingReads() override { platform::closeHandle(inner_); }
        bool read(void *, std::uint32_t, std::uint32_t *moved) override
        {
            *moved = 0;
            platform::setLastError(error_);
            return false;
        }
        bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
        {
            return inner_->write(buffer, length, moved);
        }
        std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override { return inner_->seek(offset, origin); }
        bool flush() override { return inner_->flush(); }
        std::int64_t size() override { return inner_->size(); }

    private:
        platform::Handle inner_;
        std::uint32_t error_;
    };

    platform::DiskSystem &inner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool heldTooLong_ = false;
    int inside_ = 0;
    int maxInside_ = 0;
    int entered_ = 0;
};

} // namespace testsupport
