#include "emulator/emulated_disk_system.h"
#include "platform/error_kind.h"

#include <cerrno>
#include <limits>

namespace emulator {

// A calculator opened as a disk: a position on one attachment of one
// calculator.
class EmulatedDiskSystem::OpenedCalculator : public platform::File {
public:
    OpenedCalculator(EmulatedDiskSystem &system, std::shared_ptr<Calculator> calculator,
                     std::uint64_t attachment)
        : system_(system), calculator_(std::move(calculator)), attachment_(attachment)
    {
        ++system_.openHandles_;
    }
    ~OpenedCalculator() override { --system_.openHandles_; }

    bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        return transfer(length, moved, [&](std::uint32_t *error) {
            return calculator_->read(attachment_, position_, buffer, length, error);
        });
    }

    bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        return transfer(length, moved, [&](std::uint32_t *error) {
            return calculator_->write(attachment_, position_, buffer, length, error);
        });
    }

    // Only moves the position, as on a real handle: it works on a dead handle
    // too, and any position from 0 up is allowed (I/O there is refused
    // instead). Below 0 or past the largest offset it fails with EINVAL.
    std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override
    {
        if (system_.countCall())
            return -1;
        std::int64_t base = 0;
        if (origin == platform::SeekOrigin::Current)
            base = position_;
        else if (origin == platform::SeekOrigin::End)
            base = static_cast<std::int64_t>(calculator_->diskBytes());
        if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) ||
            base + offset < 0) {
            platform::setLastError(platform::systemErrorFor(EINVAL));
            return -1;
        }
        position_ = base + offset;
        return position_;
    }

    bool flush() override
    {
        if (system_.countCall())
            return false;
        std::uint32_t error = 0;
        return calculator_->flush(attachment_, &error) || fail(error);
    }

    std::uint32_t sectorSize() override { return calculator_->faults().sectorSize; }

    std::int64_t size() override
    {
        if (system_.countCall())
            return -1;
        std::uint32_t error = 0;
        const std::int64_t bytes = calculator_->size(attachment_, &error);
        if (bytes < 0)
            fail(error);
        return bytes;
    }

private:
    // A read or write of `length` bytes at the position: counted, then `move`
    // (the calculator's read or write). *moved is `length` when it succeeds,
    // 0 when it fails.
    template <typename Move>
    bool transfer(std::uint32_t length, std::uint32_t *moved, const Move &move)
    {
        *moved = 0;
        if (system_.countCall())
            return false;
        std::uint32_t error = 0;
        if (!move(&error))
            return fail(error);
        position_ += length;
        *moved = length;
        return true;
    }

    static bool fail(std::uint32_t error)
    {
        platform::setLastError(error);
        return false;
    }

    EmulatedDiskSystem &system_;
    const std::shared_ptr<Calculator> calculator_;
    const std::uint64_t attachment_;
    std::int64_t position_ = 0;
};

// A firmware file: the operating system's read-only handle, every call counted.
class EmulatedDiskSystem::FileHandle : public platform::File {
public:
    FileHandle(EmulatedDiskSystem &system, platform::Handle file) : system_(system), file_(file)
    {
        ++system_.openHandles_;
    }
    ~FileHandle() override
    {
        platform::closeHandle(file_);
        --system_.openHandles_;
    }

    bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        *moved = 0;
        return !system_.countCall() && file_->read(buffer, length, moved);
    }
    bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        *moved = 0;
        return !system_.countCall() && file_->write(buffer, length, moved);
    }
    std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override
    {
        return system_.countCall() ? -1 : file_->seek(offset, origin);
    }
    bool flush() override { return !system_.countCall() && file_->flush(); }
    std::int64_t size() override { return system_.countCall() ? -1 : file_->size(); }

private:
    EmulatedDiskSystem &system_;
    const platform::Handle file_;
};

EmulatedDiskSystem::EmulatedDiskSystem() = default;
EmulatedDiskSystem::~EmulatedDiskSystem() = default;

std::shared_ptr<Calculator> EmulatedDiskSystem::attach(const Config &config)
{
    auto calculator = std::make_shared<Calculator>(config);
    std::lock_guard<std::mutex> lock(mutex_);
    disks_.push_back(calculator);
    return calculator;
}

std::vector<std::shared_ptr<Calculator>> EmulatedDiskSystem::disks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disks_;
}

void EmulatedDiskSystem::enumerateDiskInterfaces(const platform::InterfaceVisitor &visit)
{
    if (countCall())
        return;
    // The visitor runs without the lock held: it may call back into the system.
    for (const auto &disk : disks()) {
        if (!disk->isPresent())
            continue;
        const std::u16string path = disk->devicePath();
        if (!visit(path.c_str()))
            break;
    }
}

platform::Handle EmulatedDiskSystem::openDisk(const char16_t *devicePath)
{
    if (countCall())
        return platform::kInvalidHandle;
    if (devicePath) {
        const std::u16string path(devicePath);
        for (const auto &disk : disks()) {
            if (disk->devicePath() != path || !disk->isPresent())
                continue;
            std::uint64_t attachment = 0;
            std::uint32_t error = 0;
            if (!disk->open(&attachment, &error)) {
                platform::setLastError(error);
                return platform::kInvalidHandle;
            }
            return new OpenedCalculator(*this, disk, attachment);
        }
    }
    platform::setLastError(platform::systemErrorFor(ENOENT));
    return platform::kInvalidHandle;
}

platform::Handle EmulatedDiskSystem::openFile(const char16_t *path)
{
    if (countCall())
        return platform::kInvalidHandle;
    const platform::Handle file = platform::osDiskSystem().openFile(path);
    if (file == platform::kInvalidHandle)
        return platform::kInvalidHandle; // lastError() as the system left it
    return new FileHandle(*this, file);
}

namespace {

// Holds one calculator's mounted volume until destroyed.
class CalculatorVolumeHold : public platform::VolumeHold {
public:
    explicit CalculatorVolumeHold(std::shared_ptr<Calculator> calculator) : calculator_(std::move(calculator)) {}
    ~CalculatorVolumeHold() override
    {
        if (calculator_)
            calculator_->releaseVolume();
    }

private:
    const std::shared_ptr<Calculator> calculator_; // null: nothing was held
};

} // namespace

std::shared_ptr<Calculator> EmulatedDiskSystem::presentCalculator(const char16_t *devicePath)
{
    if (countCall())
        return nullptr;
    const std::u16string path(devicePath != nullptr ? devicePath : u"");
    for (const auto &disk : disks())
        if (disk->devicePath() == path && disk->isPresent())
            return disk;
    platform::setLastError(platform::systemErrorFor(ENODEV));
    return nullptr;
}

bool EmulatedDiskSystem::listVolumes(const char16_t *devicePath, std::vector<platform::MountedVolume> *volumes)
{
    volumes->clear();
    const std::shared_ptr<Calculator> calculator = presentCalculator(devicePath);
    if (!calculator)
        return false;
    std::string name, fileSystem;
    if (calculator->mountedVolume(&name, &fileSystem))
        volumes->push_back({platform::fromUtf8(name), platform::fromUtf8(fileSystem)});
    return true;
}

std::unique_ptr<platform::VolumeHold> EmulatedDiskSystem::holdVolumes(const char16_t *devicePath,
                                                                      platform::MountedVolume *refused)
{
    const std::shared_ptr<Calculator> calculator = presentCalculator(devicePath);
    if (!calculator)
        return nullptr;
    std::string name, fileSystem;
    if (!calculator->mountedVolume(&name, &fileSystem) || fileSystem == "RAW")
        return std::make_unique<CalculatorVolumeHold>(nullptr);
    std::uint32_t error = 0;
    if (!calculator->holdVolume(&error)) {
        if (refused != nullptr)
            *refused = {platform::fromUtf8(name), platform::fromUtf8(fileSystem)};
        platform::setLastError(error);
        return nullptr;
    }
    return std::make_unique<CalculatorVolumeHold>(calculator);
}

int EmulatedDiskSystem::openHandleCount() const
{
    return openHandles_.load();
}

void EmulatedDiskSystem::resetCallCounter(std::uint64_t failAt, bool persistent)
{
    failAt_.store(0);
    calls_.store(0);
    persistent_.store(persistent);
    failAt_.store(failAt);
}

std::uint64_t EmulatedDiskSystem::callCount() const
{
    return calls_.load();
}

bool EmulatedDiskSystem::countCall()
{
    const std::uint64_t call = calls_.fetch_add(1) + 1;
    const std::uint64_t failAt = failAt_.load();
    if (failAt == 0 || call < failAt || (call > failAt && !persistent_.load()))
        return false;
    platform::setLastError(platform::systemErrorFor(EIO));
    return true;
}

} // namespace emulator
