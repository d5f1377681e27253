#include "platform/win_app.h"

#include "platform/command_line.h"
#include "platform/windows_api.h"

namespace {
CWinApp* theInstance = nullptr;
}

CWinApp::CWinApp(const wchar_t* appName) : appName_(appName) {
    if (!theInstance) theInstance = this;
}

CWinApp::~CWinApp() {
    if (theInstance == this) theInstance = nullptr;
}

CWinApp* CWinApp::Instance() { return theInstance; }

bool CWinApp::InitInstance() { return true; }

int CWinApp::Run() {
    MSG message{};
    // GetMessageW returns 0 for WM_QUIT and -1 on an error; both end the loop.
    while (platform::Api().GetMessageW(&message, nullptr, 0, 0) > 0) {
        platform::Api().TranslateMessage(&message);
        platform::Api().DispatchMessageW(&message);
    }
    if (message.message == WM_QUIT) quitCode_ = static_cast<int>(message.wParam);
    return ExitInstance();
}

int CWinApp::ExitInstance() { return quitCode_; }

int RunApplication(CWinApp& app) {
    app.SetCommandLine(CommandLineArguments(platform::Api().GetCommandLineW()));
    if (!app.InitInstance()) return app.ExitInstance();
    return app.Run();
}
