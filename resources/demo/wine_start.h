// Starting a program from the test tools under Wine.
#pragma once

#include <windows.h>

#include <cstdio>

// CreateProcessW with no security attributes, no creation flags and the
// caller's environment. Now and then, on a loaded machine, Wine's new process
// dies while it starts (ERROR_INTERNAL_ERROR), before any of its code ran; it
// is then started again, twice at most, and each retry is printed on standard
// error. On failure the last error is the last attempt's.
inline BOOL CreateProcessRetried(LPCWSTR application, LPWSTR commandLine, BOOL inheritHandles,
                                 LPCWSTR folder, STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
    for (int attempt = 0;; ++attempt) {
        if (CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, 0, nullptr,
                           folder, startup, info))
            return TRUE;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 2) return FALSE;
        std::fprintf(stderr, "Wine's new process died while it started (%lu); starting it again\n",
                     error);
        Sleep(500);
    }
}
