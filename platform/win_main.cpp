// The program's entry: hands control to the one application object.
// Linked only into the executable (built with -municode).
#include <windows.h>

#include "platform/run_log.h"
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
