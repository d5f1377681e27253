// Starts one program with an exact command line and waits for it, for
// end-to-end runs: the command line given to `wine` on the Unix side is
// re-quoted by Wine, so the text under test travels in the environment.
//   E2E_LAUNCH      the whole command line, program first
//   E2E_LAUNCH_DIR  the child's current folder (optional)
// Exits with the child's exit code; 255 when it could not be started (the
// reason is printed on standard error). Since the Unix side sees only the
// low 8 bits of an exit code, the whole code is also printed on standard
// error: "launch: exit code <n>".
#include <windows.h>

#include <cstdio>
#include <string>

#include "wine_start.h"

namespace {

std::wstring GetEnv(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return {};
    std::wstring value(needed, L'\0');
    DWORD got = GetEnvironmentVariableW(name, &value[0], needed);
    value.resize(got < needed ? got : 0);
    return value;
}

}  // namespace

int wmain() {
    std::wstring commandLine = GetEnv(L"E2E_LAUNCH");
    const std::wstring folder = GetEnv(L"E2E_LAUNCH_DIR");
    if (commandLine.empty()) {
        std::fwprintf(stderr, L"launch: E2E_LAUNCH is not set\n");
        return 255;
    }
    // The variables are the launcher's business only, not its children's.
    SetEnvironmentVariableW(L"E2E_LAUNCH", nullptr);
    SetEnvironmentVariableW(L"E2E_LAUNCH_DIR", nullptr);

    // The child writes its diagnostics into our standard handles, so that
    // the test sees them even when the child is a GUI program.
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessRetried(nullptr, &commandLine[0], TRUE, folder.empty() ? nullptr : folder.c_str(),
                              &startup, &info)) {
        std::fwprintf(stderr, L"launch: CreateProcess failed (%lu)\n", GetLastError());
        return 255;
    }
    CloseHandle(info.hThread);
    DWORD code = 255;
    if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(info.hProcess, &code)) {
        std::fwprintf(stderr, L"launch: wait failed (%lu)\n", GetLastError());
        code = 255;
    }
    CloseHandle(info.hProcess);
    std::fwprintf(stderr, L"launch: exit code %lu\n", code);
    return static_cast<int>(code);
}
