// The framework's start: command-line hand-over, one InitInstance call, no
// message loop after a false result, and string resources by number.
#include <gtest/gtest.h>

#include "platform/string_resource.h"
#include "platform/win_app.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

struct RecordingApp : CWinApp {
    bool result = false;
    int initCalls = 0;
    CString seenCommandLine;
    bool InitInstance() override {
        ++initCalls;
        seenCommandLine = CommandLine();
        if (result) ::PostQuitMessage(7);
        return result;
    }
};

int getMessageCalls = 0;

void InstallCommandLine() {
    Api().GetCommandLineW = []() WINAPI -> LPWSTR {
        static wchar_t line[] = L"\"C:\\some folder\\launcher.exe\"  -quiet x";
        return line;
    };
}

TEST(RunApplication, FalseResultEndsWithoutMessageLoopAndExitCodeZero) {
    seam::SeamScope scope;
    InstallCommandLine();
    getMessageCalls = 0;
    Api().GetMessageW = [](LPMSG, HWND, UINT, UINT) WINAPI -> BOOL { ++getMessageCalls; return 0; };

    RecordingApp app;
    EXPECT_EQ(RunApplication(app), 0);
    EXPECT_EQ(app.initCalls, 1);
    EXPECT_EQ(getMessageCalls, 0);
    EXPECT_EQ(app.seenCommandLine, L"-quiet x");
}

TEST(RunApplication, TrueResultRunsTheLoopUntilQuitAndReturnsItsCode) {
    seam::SeamScope scope;
    InstallCommandLine();
    RecordingApp app;
    app.result = true;
    EXPECT_EQ(RunApplication(app), 7);
    EXPECT_EQ(app.initCalls, 1);
}

TEST(CWinApp, FirstObjectIsTheInstanceUntilDestroyed) {
    ASSERT_EQ(CWinApp::Instance(), nullptr);  // the test program defines none
    {
        RecordingApp first;
        RecordingApp second;
        EXPECT_EQ(CWinApp::Instance(), &first);
    }
    EXPECT_EQ(CWinApp::Instance(), nullptr);
}

TEST(LoadStringResource, LoadsByNumberAndRejectsMissingOrEmpty) {
    CString text(L"stale");
    EXPECT_TRUE(LoadStringResource(500, text));
    EXPECT_EQ(text, L"Remove the older driver first?");
    EXPECT_TRUE(LoadStringResource(501, text));
    EXPECT_EQ(text, L"Driver setup");

    EXPECT_FALSE(LoadStringResource(502, text));
    EXPECT_TRUE(text.IsEmpty());

    seam::SeamScope scope;
    Api().LoadStringW = [](HINSTANCE, UINT, LPWSTR buffer, int) WINAPI -> int {
        *reinterpret_cast<const wchar_t**>(buffer) = L"";
        return 0;  // an empty string in the table
    };
    text = L"stale";
    EXPECT_FALSE(LoadStringResource(500, text));
    EXPECT_TRUE(text.IsEmpty());
}

}  // namespace

// Running out of memory ends the process in order with exit code 8 and the
// usual diagnostic line, whichever form of new asked.
TEST(AllocatorDeathTest, ExhaustedMemoryEndsWithCode8) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    // Read at run time, so that the compiler does not reject the size.
    static volatile size_t impossibleSize = static_cast<size_t>(-1) - 64;
    const size_t impossible = impossibleSize;
    EXPECT_EXIT(static_cast<void>(::operator new(impossible)),
                testing::ExitedWithCode(ERROR_NOT_ENOUGH_MEMORY), "");
    EXPECT_EXIT(static_cast<void>(::operator new[](impossible)),
                testing::ExitedWithCode(ERROR_NOT_ENOUGH_MEMORY), "");
}
