// The application framework: one application object, started once.
//
// A program defines exactly one object of a class derived from CWinApp at
// namespace scope. The entry routine (win_main.cpp, linked only into the
// executable) hands it the command-line text and calls RunApplication, which
// calls InitInstance once. A false result ends the program without a message
// loop; the exit code is then that of ExitInstance.
#pragma once

#include <windows.h>

#include "platform/cstring.h"

class CWinApp {
public:
    // `appName` is kept for the program's own use; null means none.
    explicit CWinApp(const wchar_t* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up. The base step has nothing to prepare and returns true; a
    // derived class calls it from its own InitInstance. Returning false ends
    // the program without a message loop.
    virtual bool InitInstance();

    // The message loop, entered only after InitInstance returned true: runs
    // until WM_QUIT, then returns ExitInstance().
    virtual int Run();

    // The last step; its result is the process exit code. Returns the code
    // carried by the WM_QUIT message, or 0 when no message was retrieved.
    virtual int ExitInstance();

    // The command-line text without the program name.
    const CString& CommandLine() const { return commandLine_; }
    void SetCommandLine(const CString& text) { commandLine_ = text; }

    const CString& AppName() const { return appName_; }

    // The one application object of the program, or null when none exists.
    // The first object constructed registers itself; it stays the one until
    // it is destroyed.
    static CWinApp* Instance();

private:
    CString appName_;
    CString commandLine_;
    int quitCode_ = 0;
};

// The framework's start: gives `app` the arguments part of GetCommandLineW,
// calls InitInstance once, and returns the process exit code (ExitInstance
// after a false result, Run after a true one).
int RunApplication(CWinApp& app);
