// The program's entry: hands control to the one application object.
// Linked only into the executable (built with -municode).
#include <windows.h>

#include "platform/win_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    CWinApp* app = CWinApp::Instance();
    return app ? RunApplication(*app) : 1;
}
