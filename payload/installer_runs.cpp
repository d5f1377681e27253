#include "payload/installer_runs.h"

#include <windows.h>

#include "platform/diagnostics.h"
#include "platform/handles.h"
#include "platform/windows_api.h"

int RunAndWait(const CString& file, const CString& parameters) {
    // An empty file name would make the shell open the current folder.
    if (file.IsEmpty()) return ERROR_FILE_NOT_FOUND;

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWDEFAULT;
    if (!platform::Api().ShellExecuteExW(&info)) return platform::ErrorOr(GetLastError(), ERROR_GEN_FAILURE);

    // The shell may start the file through a process it does not hand back
    // (or through none, e.g. a document opened in a running program); there
    // is nothing to wait for then.
    platform::UniqueHandle process(info.hProcess);
    if (!process) return -1;
    if (platform::Api().WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return -1;

    DWORD exitCode = 0;
    if (!platform::Api().GetExitCodeProcess(process.get(), &exitCode)) return -1;
    return static_cast<int>(exitCode);
}

CString MsiexecPath() {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = platform::Api().GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return CString();
    return CString(folder, static_cast<int>(length)) + L"\\msiexec.exe";
}
