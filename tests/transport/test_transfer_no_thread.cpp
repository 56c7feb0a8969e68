// When not one transfer thread can be started, nothing was sent: the engine
// must not report a success. The thread starts are made to fail for real, in
// a child process whose address space has no room for another thread stack.
#include "emulator/emulated_disk_system.h"
#include "transport/transfer_engine_internal.h"

#include <QtTest>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

class TestTransferNoThread : public QObject {
    Q_OBJECT

private slots:
    void noThreadCanStart()
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("the sanitizers' shadow memory does not fit a capped address space");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
        QSKIP("the sanitizers' shadow memory does not fit a capped address space");
#endif
#endif
        QTemporaryDir folder;
        QFile file(folder.filePath("firmware.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(40000, 'f')) == 40000);
        file.close();
        const std::u16string path = file.fileName().toStdU16String();

        emulator::EmulatedDiskSystem disks;
        auto first = disks.attach(emulator::Config{});
        emulator::Config second;
        second.identity.serial = "TAVIX0000002";
        disks.attach(second);
        platform::installDiskSystem(&disks);
        const std::vector<std::u16string> paths = findEveryCalculatorDisk(u"XQ", u"Tavix update");
        QCOMPARE(paths.size(), std::size_t(2));
        TransferRequest request{};
        request.length = 40000;
        std::copy(path.begin(), path.end(), request.sourcePath);
        std::copy(path.begin(), path.end(), request.messageText);

        const pid_t child = ::fork();
        if (child == 0) {
            // Stacks larger than any the C library keeps from ended threads,
            // and an address space capped just above what is in use.
            pthread_attr_t attributes;
            long pages = 0;
            FILE *statm = std::fopen("/proc/self/statm", "r");
            const bool measured = statm != nullptr && std::fscanf(statm, "%ld", &pages) == 1;
            if (statm != nullptr)
                std::fclose(statm);
            const rlim_t cap = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (4 << 20);
            const struct rlimit limit {cap, cap};
            if (!measured || pthread_attr_init(&attributes) != 0 ||
                pthread_attr_setstacksize(&attributes, 256u << 20) != 0 ||
                pthread_setattr_default_np(&attributes) != 0 || ::setrlimit(RLIMIT_AS, &limit) != 0)
                ::_exit(255);
            ::_exit(runTransferRequest(request, paths));
        }
        int status = 0;
        QVERIFY(child > 0 && ::waitpid(child, &status, 0) == child);
        platform::installDiskSystem(nullptr);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), int(kNoTransferBuffer));
        QVERIFY(first->trace().empty()); // nothing reached a calculator
    }
};

QTEST_GUILESS_MAIN(TestTransferNoThread)
#include "test_transfer_no_thread.moc"
