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
        // Control characters cannot forge a line of their own.
        platform::LogLine(L"forged: a\r\nexit code: 0\t\x01\x1F\x7F");
        platform::PrintFailure("Test", -5);
        platform::LogExitCode(run);
        platform::CloseRunLog();
    }
    EXPECT_EQ(testsupport::ReadFileBytes(first),
              "run one: \xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBD\r\n"
              "forged: a\\x0D\\x0Aexit code: 0\\x09\\x01\\x1F\x7F\r\n"
              "Test failed (-5)\r\nexit code: 0\r\n");
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

// The temporary path and the module path served through the seam, of any
// length up to what each call can report.
std::wstring servedTemp;
std::wstring servedModule;

// Long inputs, the user's download name and TEMP, make a name that does not
// fit: no log is attempted and nothing runs past a buffer (the production
// code is built with the stack protector, which ends the test on an overrun).
TEST(RunLog, NamesTooLongForAPathGiveNoLogAndNoOverrun) {
    seam::SeamScope scope;
    Api().GetTempPathW = [](DWORD size, LPWSTR path) WINAPI -> DWORD {
        const auto length = static_cast<DWORD>(servedTemp.size());
        if (length >= size) return length + 1;  // the size it needs
        wcscpy(path, servedTemp.c_str());
        return length;
    };
    Api().GetModuleFileNameW = [](HMODULE, LPWSTR path, DWORD size) WINAPI -> DWORD {
        const auto length = static_cast<DWORD>(servedModule.size());
        const DWORD copied = length < size ? length : size - 1;  // truncated, as Windows does
        wmemcpy(path, servedModule.c_str(), copied);
        path[copied] = L'\0';
        return length < size ? length : size;
    };
    // Temporary path "C:\TTT...\" and module "C:\MMM....exe" of the given
    // lengths; the log's name is their sum less the extension and folder,
    // plus "_YYYYMMDD_HHMMSS.log", and must stay below MAX_PATH.
    const struct {
        size_t temp;
        size_t module;
        bool attempted;
    } rows[] = {
        {250, 250, false},  // both long, as reported
        {259, 10, false},   // the longest temporary path
        {10, 259, false},   // the longest module path
        {300, 10, false},   // a temporary path the buffer cannot take
        {10, 300, false},   // a module path Windows truncates
        {123, 124, false},  // one code unit too long
        {123, 123, true},   // just fits
    };
    for (const auto& row : rows) {
        servedTemp = L"C:\\" + std::wstring(row.temp - 4, L'T') + L"\\";
        servedModule = L"C:\\" + std::wstring(row.module - 7, L'M') + L".exe";
        seam::FailWith<&WindowsApi::CreateFileW>(INVALID_HANDLE_VALUE, DWORD{ERROR_ACCESS_DENIED});
        platform::OpenRunLog();
        EXPECT_EQ(seam::CallCount<&WindowsApi::CreateFileW>(), row.attempted ? 1 : 0)
            << "temporary path " << row.temp << ", module path " << row.module;
        platform::CloseRunLog();
    }
}

}  // namespace
