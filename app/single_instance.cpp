#include "app/single_instance.h"

#include "platform/instance_lock.h"

#include <chrono>
#include <thread>

namespace {

// How often the running copy looks for a request: a quarter of a second is
// at once to a person and costs nothing.
constexpr int kPollMs = 250;
// How often a start looks again at a copy that is finishing.
constexpr int kFinishingPollMs = 100;
// A holder that seems to go and come back (another start looking at the lock
// at the same moment) is looked at again this often, this long apart.
constexpr int kVanishedTries = 20;
constexpr int kVanishedPauseMs = 10;

} // namespace

CSingleInstance::CSingleInstance(const QString &name) : name(name.toStdString())
{
    poll.setInterval(kPollMs);
    connect(&poll, &QTimer::timeout, this, &CSingleInstance::onPollTimeout);
}

CSingleInstance::~CSingleInstance()
{
    platform::releaseInstanceLock(lock);
}

CSingleInstance::Outcome CSingleInstance::acquire(int finishingWaitMs)
{
    if (lock)
        return Taken;
    // The wait is for another process, whose time is the real one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(finishingWaitMs);
    int vanished = 0;
    for (;;) {
        std::string why;
        switch (platform::takeInstanceLock(name, &lock, &why)) {
        case platform::InstanceLockStatus::Taken:
            poll.start();
            return Taken;
        case platform::InstanceLockStatus::Unavailable:
            reason = QString::fromStdString(why);
            return Unguarded;
        case platform::InstanceLockStatus::Held:
            break;
        }
        platform::InstanceState state = platform::InstanceState::Running;
        if (!platform::instanceHolderState(name, &state)) {
            // Gone between the two looks, or another start looked at it at
            // that moment: look again, a few times.
            if (++vanished > kVanishedTries)
                return AnotherCopy;
            std::this_thread::sleep_for(std::chrono::milliseconds(kVanishedPauseMs));
            continue;
        }
        if (state != platform::InstanceState::Finishing || std::chrono::steady_clock::now() >= deadline)
            return AnotherCopy;
        std::this_thread::sleep_for(std::chrono::milliseconds(kFinishingPollMs));
    }
}

bool CSingleInstance::askRunningCopyToFront()
{
    return !lock && platform::askInstanceToFront(name);
}

void CSingleInstance::setFinishing(bool finishing)
{
    platform::setInstanceState(lock, finishing ? platform::InstanceState::Finishing : platform::InstanceState::Running);
}

void CSingleInstance::release()
{
    poll.stop();
    platform::releaseInstanceLock(lock);
    lock = nullptr;
}

void CSingleInstance::onPollTimeout()
{
    if (platform::takeFrontRequests(lock))
        emit frontRequested();
}
