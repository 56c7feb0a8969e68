#include "app/single_instance.h"

#include "platform/user_identity.h"

QString CSingleInstance::key()
{
    return QStringLiteral("MOVRAN") + QString::fromStdString(platform::userInstanceSuffix());
}

CSingleInstance::CSingleInstance(const QString &key)
{
    memory.setKey(key);
}

bool CSingleInstance::acquire()
{
    if (memory.create(1, QSharedMemory::ReadWrite))
        return true;
    // A System V segment outlives a copy that crashed. Attaching and detaching
    // again removes it when no live process is attached (Qt deletes the
    // segment on the last detach); a live copy's segment stays.
    if (memory.attach(QSharedMemory::ReadOnly))
        memory.detach();
    return memory.create(1, QSharedMemory::ReadWrite);
}
