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
