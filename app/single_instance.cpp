#include "app/single_instance.h"

#include "platform/user_identity.h"

namespace {

// How often the running copy looks for a request: a quarter of a second is
// at once to a person and costs nothing.
constexpr int kPollMs = 250;

} // namespace

QString CSingleInstance::key()
{
    return QStringLiteral("MOVRAN") + QString::fromStdString(platform::userInstanceSuffix());
}

CSingleInstance::CSingleInstance(const QString &key)
{
    memory.setKey(key);
    poll.setInterval(kPollMs);
    connect(&poll, &QTimer::timeout, this, &CSingleInstance::onPollTimeout);
}

bool CSingleInstance::acquire()
{
    bool taken = memory.create(1, QSharedMemory::ReadWrite);
    if (!taken) {
        // A System V segment outlives a copy that crashed. Attaching and
        // detaching again removes it when no live process is attached (Qt
        // deletes the segment on the last detach); a live copy's segment stays.
        if (memory.attach(QSharedMemory::ReadOnly))
            memory.detach();
        taken = memory.create(1, QSharedMemory::ReadWrite);
    }
    if (taken) {
        // A fresh segment is zeroed on every system Qt supports; set it anyway.
        memory.lock();
        *static_cast<unsigned char *>(memory.data()) = seenRequests;
        memory.unlock();
        poll.start();
    }
    return taken;
}

bool CSingleInstance::askRunningCopyToFront()
{
    // The running copy stays attached, so detaching here never removes it.
    if (memory.isAttached() || !memory.attach(QSharedMemory::ReadWrite))
        return false;
    const bool locked = memory.lock();
    if (locked) {
        ++*static_cast<unsigned char *>(memory.data());
        memory.unlock();
    }
    memory.detach();
    return locked;
}

void CSingleInstance::onPollTimeout()
{
    if (!memory.lock())
        return;
    const unsigned char requests = *static_cast<const unsigned char *>(memory.constData());
    memory.unlock();
    if (requests != seenRequests) {
        seenRequests = requests;
        emit frontRequested();
    }
}
