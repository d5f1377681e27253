// The program's entry: hands control to the one application object.
// Linked only into the executable (built with -municode).
#include <windows.h>

#include <cstdlib>

#include "platform/run_log.h"
#include "platform/stack_guard.h"
#include "platform/win_app.h"
#include "platform/windows_api.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // The log needs KERNEL32 only; it is made first so that it records the
    // whole run.
    platform::OpenRunLog();
    // Then, before any DLL beyond KERNEL32 and the C runtime is loaded: only
    // the system folder is searched from here on.
    int exitCode = platform::LoadSystemLibraries();
    if (exitCode == 0) {
        CWinApp* app = CWinApp::Instance();
        exitCode = app ? RunApplication(*app) : 1;
    }
    platform::LogExitCode(exitCode);
    platform::CloseRunLog();
    return exitCode;
}

// The executable's entry point. It is linked without the C runtime's
// start-up objects, which would be a seventh of its size: msvcrt.dll sets
// itself up when it is loaded, and all the program needs besides is its
// static objects, constructed before wWinMain and destroyed by exit().

extern "C" void __main();  // the compiler runtime's: runs the static constructors once

// Not protected itself: the guard changes while it runs.
extern "C" [[noreturn]] __attribute__((no_stack_protector)) void WINAPI LauncherEntry() {
    platform::SeedStackGuard();
    __main();
    std::exit(wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT));
}

// Where the static constructors register their destructors: msvcrt's own
// list, which exit() runs.
extern "C" int __cdecl atexit(void(__cdecl* function)()) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) ? 0 : -1;
}
