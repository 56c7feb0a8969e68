#include "platform/elevation.h"

#include "platform/disk_system.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

namespace {

const wchar_t *wide(const std::u16string &text)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

class Win32ElevatedProcess : public ElevatedProcess {
public:
    explicit Win32ElevatedProcess(HANDLE process) : process_(process) {}
    ~Win32ElevatedProcess() override
    {
        if (process_ != nullptr)
            CloseHandle(process_);
    }

    bool waitForExit(std::uint32_t *exitCode) override
    {
        if (process_ == nullptr) { // the system gave no handle to it
            setLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        // The waiting thread owns windows: it answers their messages while
        // it waits, so that nobody who sends them one hangs on it.
        for (;;) {
            const DWORD woke = MsgWaitForMultipleObjects(1, &process_, FALSE, INFINITE, QS_ALLINPUT);
            if (woke == WAIT_OBJECT_0)
                break;
            if (woke != WAIT_OBJECT_0 + 1) {
                setLastError(GetLastError());
                return false;
            }
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        DWORD code = 0;
        if (!GetExitCodeProcess(process_, &code)) {
            setLastError(GetLastError());
            return false;
        }
        *exitCode = code;
        return true;
    }

private:
    HANDLE process_; // from ShellExecuteEx (SEE_MASK_NOCLOSEPROCESS); may be null
};

class Win32Elevation : public Elevation {
public:
    std::unique_ptr<ElevatedProcess> start(const std::u16string &program, const std::vector<std::u16string> &arguments,
                                           const std::u16string &workingFolder, std::uintptr_t window) override
    {
        const std::u16string parameters = windowsCommandLine(arguments);
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        // The process handle is kept, to wait for it; the call returns once
        // the process has started (or the person said no).
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
        info.hwnd = reinterpret_cast<HWND>(window);
        info.lpVerb = L"runas";
        info.lpFile = wide(program);
        info.lpParameters = wide(parameters);
        info.lpDirectory = workingFolder.empty() ? nullptr : wide(workingFolder);
        info.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExW(&info)) {
            setLastError(GetLastError()); // ERROR_CANCELLED: the person said no
            return nullptr;
        }
        return std::make_unique<Win32ElevatedProcess>(info.hProcess);
    }
};

} // namespace

Elevation &osElevation()
{
    static Win32Elevation system;
    return system;
}

} // namespace platform
