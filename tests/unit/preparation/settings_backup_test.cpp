// The settings backup against the real registry of the test prefix. Each test
// works below a Drivers key of its own, so tests do not see each other's keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preparation/preparation_steps.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

const std::wstring kGuid = L"{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}";

std::wstring DriversPath() {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return L"Software\\PreparationTest\\" + std::wstring(test.begin(), test.end());
}
std::wstring SettingsPath() { return DriversPath() + L"\\" + kGuid; }
std::wstring BackupPath() { return DriversPath() + L"\\SettingsBackup_" + kGuid; }

bool Exists(const std::wstring& path, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void Put(const std::wstring& path, const wchar_t* name, const std::wstring& text, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                              &key, nullptr), ERROR_SUCCESS);
    if (name) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

// The value's text, or "<none>".
std::wstring Get(const std::wstring& path, const wchar_t* name, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return L"<none>";
    }
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? buffer : L"<none>";
}

// On 64-bit Windows: the x64 build always, a 32-bit process under WOW64.
bool OnWow64() {
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

}  // namespace

TEST(SettingsBackup, NothingBeforeLeavesEmptySettingsAndNoBackup) {
    ASSERT_FALSE(Exists(DriversPath()));
    EXPECT_TRUE(preparation::BackupSettingsKey(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_TRUE(Exists(SettingsPath()));
    EXPECT_TRUE(Exists(BackupPath()));
    EXPECT_TRUE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_TRUE(Exists(SettingsPath()));
    EXPECT_FALSE(Exists(BackupPath()));
    // With no backup left, the delete succeeds again and creates nothing.
    EXPECT_TRUE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_FALSE(Exists(BackupPath()));
}

TEST(SettingsBackup, CopiesTreeOverLeftoverBackupThenDeletesIt) {
    Put(SettingsPath(), L"Volume", L"current");
    Put(SettingsPath() + L"\\Device\\Mixer", L"Gain", L"7");
    Put(BackupPath(), L"Volume", L"older");
    Put(BackupPath(), L"Leftover", L"kept");
    Put(BackupPath() + L"\\Stale", nullptr, L"");

    EXPECT_TRUE(preparation::BackupSettingsKey(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_EQ(Get(BackupPath(), L"Volume"), L"current");
    EXPECT_EQ(Get(BackupPath(), L"Leftover"), L"kept");
    EXPECT_EQ(Get(BackupPath() + L"\\Device\\Mixer", L"Gain"), L"7");
    EXPECT_TRUE(Exists(BackupPath() + L"\\Stale"));

    EXPECT_TRUE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_FALSE(Exists(BackupPath()));
    EXPECT_EQ(Get(SettingsPath() + L"\\Device\\Mixer", L"Gain"), L"7");
}

TEST(SettingsBackup, WithoutWriteAccessBothFailAndChangeNothing) {
    Put(SettingsPath(), L"Volume", L"current");
    Put(BackupPath(), L"Volume", L"older");
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::RegCreateKeyExW>(LONG{ERROR_ACCESS_DENIED}, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_FALSE(preparation::BackupSettingsKey(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_FALSE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_EQ(Get(BackupPath(), L"Volume"), L"older");
    EXPECT_EQ(Get(SettingsPath(), L"Volume"), L"current");
}

TEST(SettingsBackup, CopyFailingPartWayIsReportedAndStillDeleted) {
    Put(SettingsPath(), L"First", L"1");
    Put(SettingsPath(), L"Second", L"2");
    {
        seam::SeamScope scope;
        seam::FailOnCall<&WindowsApi::RegSetValueExW>(1, LONG{ERROR_ACCESS_DENIED}, DWORD{ERROR_ACCESS_DENIED}, true);
        EXPECT_FALSE(preparation::BackupSettingsKey(DriversPath().c_str(), kGuid.c_str()));
    }
    // One of the two values made it; the partial backup is there.
    EXPECT_NE(Get(BackupPath(), L"First") == L"1", Get(BackupPath(), L"Second") == L"2");
    EXPECT_TRUE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_FALSE(Exists(BackupPath()));
}

// A key that cannot be deleted stays, with its ancestors up to the backup
// key; its siblings go, and the delete reports failure.
TEST(SettingsBackup, DeleteFailingPartWayKeepsTheBlockedBranch) {
    Put(BackupPath() + L"\\Held\\Locked", nullptr, L"");
    Put(BackupPath() + L"\\Free\\Leaf", nullptr, L"");
    seam::SeamScope scope;
    // Keys are deleted through RegDeleteKeyW in a 32-bit prefix and through
    // the looked-up RegDeleteKeyExW on 64-bit Windows; both refuse "Locked".
    static decltype(&::RegDeleteKeyExW) realDeleteEx;
    realDeleteEx = reinterpret_cast<decltype(&::RegDeleteKeyExW)>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"advapi32"), "RegDeleteKeyExW")));
    Api().RegDeleteKeyW = [](HKEY key, LPCWSTR sub) WINAPI -> LONG {
        return wcscmp(sub, L"Locked") == 0 ? ERROR_ACCESS_DENIED : ::RegDeleteKeyW(key, sub);
    };
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        using DeleteEx = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
        DeleteEx refusing = [](HKEY key, LPCWSTR sub, REGSAM sam, DWORD reserved) WINAPI -> LONG {
            return wcscmp(sub, L"Locked") == 0 ? ERROR_ACCESS_DENIED : realDeleteEx(key, sub, sam, reserved);
        };
        if (HIWORD(name) && strcmp(name, "RegDeleteKeyExW") == 0) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(refusing));
        }
        return ::GetProcAddress(module, name);
    };

    EXPECT_FALSE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_TRUE(Exists(BackupPath() + L"\\Held\\Locked"));
    EXPECT_FALSE(Exists(BackupPath() + L"\\Free"));
}

// On 64-bit Windows the settings live in the 32-bit view only: a key of the
// same name in the 64-bit view is neither copied nor changed.
TEST(SettingsBackup, SixtyFourBitViewIsNotTouched) {
    if (!OnWow64()) GTEST_SKIP() << "needs 64-bit Windows";
    Put(SettingsPath(), L"Volume", L"native", KEY_WOW64_64KEY);
    EXPECT_TRUE(preparation::BackupSettingsKey(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_EQ(Get(BackupPath(), L"Volume"), L"<none>");
    EXPECT_FALSE(Exists(BackupPath(), KEY_WOW64_64KEY));
    EXPECT_TRUE(preparation::DeleteSettingsKeyBackup(DriversPath().c_str(), kGuid.c_str()));
    EXPECT_EQ(Get(SettingsPath(), L"Volume", KEY_WOW64_64KEY), L"native");
    EXPECT_FALSE(Exists(BackupPath()));
}
