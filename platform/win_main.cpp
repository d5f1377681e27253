// The program's entry: hands control to the one application object.
// Linked only into the executable (built with -municode).
#include <windows.h>

#include <cstdlib>

#include "platform/run_log.h"
#include "platform/stack_guard.h"
#include "platform/win_app.h"
#include "platform/windows_api.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // Before any DLL beyond KERNEL32 and the C runtime is loaded: nothing
    // more is loaded where a ".local" beside the launcher would redirect it,
    // and only the system folder is searched from here on. Their lines are
    // kept for the log, which is made next, once the token can be asked
    // where it goes (without ADVAPI32 it counts as elevated).
    platform::KeepLinesUntilLogOpens();
    int exitCode = platform::RefuseDllRedirection();
    if (exitCode == 0) exitCode = platform::LoadSystemLibraries();
    platform::OpenRunLog();
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

// The linker's table of static constructors: -1, the constructors, then a
// null entry. They run last to first, as the compiler runtime's __main runs
// them (which is not linked: its unwind tables alone would cost the x64
// build a kilobyte).
extern "C" void (*__CTOR_LIST__[])();

namespace {

void RunStaticConstructors() {
    int count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (int i = count; i >= 1; --i) __CTOR_LIST__[i]();
}

}  // namespace

// Not protected itself: the guard changes while it runs.
extern "C" [[noreturn]] __attribute__((no_stack_protector)) void WINAPI LauncherEntry() {
    platform::SeedStackGuard();
    RunStaticConstructors();
    std::exit(wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT));
}

// Where the static constructors register their destructors: msvcrt's own
// list, which exit() runs.
extern "C" int __cdecl atexit(void(__cdecl* function)()) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) ? 0 : -1;
}
