// The run log: its name, a second run in the same second, UTF-8 text, and no
// effect at all when it cannot be made.
#include <gtest/gtest.h>

#include <string>

#include "launcher_test_support.h"
#include "platform/diagnostics.h"
#include "platform/run_log.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    return std::wstring(temp, ::GetTempPathW(MAX_PATH, temp));
}

TEST(RunLog, NewFileNamedAfterTheExecutableAndTheTimeInUtf8) {
    seam::SeamScope scope;
    Api().GetLocalTime = [](LPSYSTEMTIME now) WINAPI {
        *now = {};
        now->wYear = 2026, now->wMonth = 12, now->wDay = 9, now->wHour = 10, now->wMinute = 15, now->wSecond = 0;
    };
    Api().GetModuleFileNameW = [](HMODULE, LPWSTR path, DWORD size) WINAPI -> DWORD {
        const wchar_t name[] = L"C:\\some.folder\\Setup.Launcher.exe";
        wcsncpy(path, name, size);
        return static_cast<DWORD>(wcslen(name));
    };
    const std::wstring first = TempFolder() + L"Setup.Launcher_20261209_101500.log";
    const std::wstring second = TempFolder() + L"Setup.Launcher_20261209_101500_2.log";
    ::DeleteFileW(first.c_str());
    ::DeleteFileW(second.c_str());

    for (int run = 0; run < 2; ++run) {
        platform::OpenRunLog();
        const wchar_t text[] = {L'\u00e9', L' ', 0xD83D, 0xDE00, L' ', 0xDC00, L'\0'};  // e-acute, U+1F600, lone half
        platform::LogLine(L"run ", run == 0 ? L"one: " : L"two: ", text);
        platform::PrintFailure("Test", -5);
        platform::LogExitCode(run);
        platform::CloseRunLog();
    }
    EXPECT_EQ(testsupport::ReadFileBytes(first),
              "run one: \xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD\r\nTest failed (-5)\r\nexit code: 0\r\n");
    // The second run in the same second leaves the first one's log alone.
    EXPECT_EQ(testsupport::ReadFileBytes(second).substr(0, 9), "run two: ");

    // A log that cannot be made: the lines go nowhere, and nothing else
    // changes.
    seam::FailWith<&WindowsApi::CreateFileW>(INVALID_HANDLE_VALUE, DWORD{ERROR_ACCESS_DENIED});
    platform::OpenRunLog();
    testing::internal::CaptureStdout();
    platform::LogLine(L"lost");
    platform::PrintFailure("Still", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Still failed (1)\n");
    EXPECT_EQ(seam::CallCount<&WindowsApi::CreateFileW>(), 1);
}

}  // namespace
