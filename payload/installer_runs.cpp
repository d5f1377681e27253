#include "payload/installer_runs.h"

#include <windows.h>

#include "platform/diagnostics.h"
#include "platform/handles.h"
#include "platform/run_log.h"
#include "platform/windows_api.h"

namespace {

// ERROR_ELEVATION_REQUIRED, which the headers at hand do not define.
constexpr DWORD kElevationRequired = 740;

// Starts `file` through the shell's "open", which asks for elevation where
// the program needs it. Returns 0 with `process` set (null when the shell
// started the file through a process it did not hand back), or why nothing
// started.
int StartThroughShell(const CString& file, const CString& parameters, const CString& folder,
                      platform::UniqueHandle& process) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = folder;
    info.nShow = SW_SHOWDEFAULT;
    if (!platform::Api().ShellExecuteExW(&info)) return platform::ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
    process.reset(info.hProcess);
    return 0;
}

// The Windows Installer holds this mutex while it runs an installation.
constexpr wchar_t kEngineMutex[] = L"Global\\_MSIExecute";

// Left of the wait for the engine, for the whole run.
unsigned long engineWaitLeft = kEngineWaitLimitMs;

// Waits while another installation holds the engine's mutex, within what is
// left of the run's wait. Taking the mutex is how the wait ends; it is let
// go again at once, so that the msiexec started next can take it.
void WaitForEngine() {
    auto& api = platform::Api();
    // Missing: no installation runs. Not to be opened: no safe wait (a
    // mutex taken without the right to let go would block msiexec itself).
    platform::UniqueHandle engine(api.OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kEngineMutex));
    if (!engine) return;
    DWORD waited = api.WaitForSingleObject(engine.get(), 0);
    if (waited == WAIT_TIMEOUT) {
        wchar_t number[16];
        if (engineWaitLeft == 0) {
            platform::LogLine(L"Windows Installer busy: no wait left, msiexec starts anyway");
            return;
        }
        platform::LogLine(L"Windows Installer busy: waiting up to ",
                          platform::DecimalText(static_cast<long>(engineWaitLeft / 1000), number),
                          L" s for it");
        const DWORD start = api.GetTickCount();
        waited = api.WaitForSingleObject(engine.get(), engineWaitLeft);
        const DWORD spent = api.GetTickCount() - start;
        const bool taken = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        engineWaitLeft = taken && spent < engineWaitLeft ? engineWaitLeft - spent : 0;
        platform::LogLine(taken                     ? L"Windows Installer free after "
                          : waited == WAIT_TIMEOUT ? L"Windows Installer still busy after "
                                                   : L"Windows Installer wait failed after ",
                          platform::DecimalText(static_cast<long>(spent), number),
                          taken ? L" ms" : L" ms: msiexec starts anyway");
    }
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) api.ReleaseMutex(engine.get());
}

// Logs how the child of `file` ended and returns `result`.
int Ended(const CString& file, const wchar_t* how, int result) {
    wchar_t number[16];
    platform::LogLine(L"child \"", file, how, platform::DecimalText(result, number));
    return result;
}

}  // namespace

int RunAndWait(const CString& file, const CString& parameters, const CString& folder) {
    platform::LogLine(L"child \"", file, L"\" starts with parameters: ", parameters);
    // An empty file name would start whatever the command line names first,
    // and an empty folder would leave the child in the launcher's own.
    if (file.IsEmpty()) return Ended(file, L"\" not started: ", ERROR_FILE_NOT_FOUND);
    if (folder.IsEmpty()) return Ended(file, L"\" not started: ", ERROR_PATH_NOT_FOUND);

    // The program is named by its full path, so no search and no file
    // association decides what runs.
    CString commandLine = L"\"" + file + L"\"";
    if (!parameters.IsEmpty()) commandLine += L" " + parameters;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWDEFAULT;
    PROCESS_INFORMATION started{};
    platform::UniqueHandle process;
    const DWORD start = platform::Api().GetTickCount();
    if (platform::Api().CreateProcessW(file, commandLine.GetBuffer(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                                       &startup, &started)) {
        platform::UniqueHandle thread(started.hThread);
        process.reset(started.hProcess);
    } else {
        const DWORD error = GetLastError();
        if (error != kElevationRequired) {
            return Ended(file, L"\" not started: ", platform::ErrorOr(error, ERROR_GEN_FAILURE));
        }
        platform::LogLine(L"child \"", file, L"\" asks for elevation: started through the shell");
        if (const int failed = StartThroughShell(file, parameters, folder, process)) {
            return Ended(file, L"\" not started: ", failed);
        }
        if (!process) return Ended(file, L"\" gave no process to wait for: ", -1);
    }

    if (platform::Api().WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        return Ended(file, L"\" could not be waited for: ", -1);
    }
    wchar_t number[16];
    platform::LogLine(L"child \"", file, L"\" ran for ",
                      CString(platform::DecimalText(static_cast<long>(platform::Api().GetTickCount() - start), number)) +
                          L" ms");
    DWORD exitCode = 0;
    if (!platform::Api().GetExitCodeProcess(process.get(), &exitCode)) {
        return Ended(file, L"\" ended, exit code unknown: ", -1);
    }
    return Ended(file, L"\" ended with exit code ", static_cast<int>(exitCode));
}

CString SystemFolder() {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = platform::Api().GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return CString();
    return CString(folder, static_cast<int>(length));
}

CString MsiexecPath() {
    const CString folder = SystemFolder();
    return folder.IsEmpty() ? folder : folder + L"\\msiexec.exe";
}

void SetEngineWaitLeft(unsigned long milliseconds) { engineWaitLeft = milliseconds; }

unsigned long EngineWaitLeft() { return engineWaitLeft; }

int RunMsiexec(const CString& parameters) {
    const CString msiexec = MsiexecPath();
    const CString systemFolder = SystemFolder();
    for (int retry = 1;; ++retry) {
        WaitForEngine();
        const int result = RunAndWait(msiexec, parameters, systemFolder);
        if (result != ERROR_INSTALL_ALREADY_RUNNING || retry > kEngineRetries) return result;
        // Another installation started between the wait and msiexec's own
        // look, or holds the engine without its mutex: try again shortly.
        wchar_t number[16];
        wchar_t of[16];
        platform::LogLine(L"msiexec found another installation in progress: retry ",
                          platform::DecimalText(retry, number), L" of ", platform::DecimalText(kEngineRetries, of));
        platform::Api().Sleep(kEngineRetryPauseMs);
    }
}
