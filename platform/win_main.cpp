// The program's entry: hands control to the one application object.
// Linked only into the executable (built with -municode).
#include <windows.h>

#include "platform/win_app.h"
#include "platform/windows_api.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // First of all, before any DLL beyond KERNEL32 and the C runtime is
    // loaded: only the system folder is searched from here on.
    const int loaded = platform::LoadSystemLibraries();
    if (loaded != 0) return loaded;
    CWinApp* app = CWinApp::Instance();
    return app ? RunApplication(*app) : 1;
}
