// The generated settings table and string table hold exactly the text of the
// settings file: quotes, backslashes, semicolons, control characters and
// characters beyond ASCII and beyond the BMP survive both the C++ and the
// resource-script escaping.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "settings/launcher_settings.h"

namespace {

std::wstring LoadString(UINT id) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id,
                                   reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, length) : std::wstring();
}

TEST(GeneratedSettings, StringsKeepTheirCharacters) {
    const struct {
        const wchar_t* actual;
        const wchar_t* expected;
    } cases[] = {
        {LauncherSettings.driversKeyPath, L"Soft\x0022ware\x005c" L"Cor;vane\x0009[1]"},
        {LauncherSettings.settingsGuid, L"{6e2a04b7-91c3-4f5d-a8e0-3d7b52c914af}"},
        {LauncherSettings.monitorServiceName, L"Dev\x00e9Mon\xd83d\xde00"},
        {LauncherSettings.installersFolderName, L"A\x005c" L"B\x005c"},
        {LauncherSettings.productFolderName, L""},
        {LauncherSettings.packageFileName, L"\x00fc.msi"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(c.expected), std::wstring(c.actual));
    }
}

TEST(GeneratedSettings, ListsCountsAndFlags) {
    ASSERT_EQ(2, LauncherSettings.oldProductCodeCount);
    EXPECT_STREQ(L"{8d0c2f6a-3b51-4e7a-9c21-5a1e0b6d3f01}", LauncherSettings.oldProductCodes32[0]);
    EXPECT_STREQ(L"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F02}", LauncherSettings.oldProductCodes32[1]);
    EXPECT_STREQ(L"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F03}", LauncherSettings.oldProductCodes64[0]);
    EXPECT_STREQ(L"{8D0C2F6A-3B51-4E7A-9C21-5A1E0B6D3F04}", LauncherSettings.oldProductCodes64[1]);
    ASSERT_EQ(1, LauncherSettings.processNameCount);
    EXPECT_STREQ(L"x.exe", LauncherSettings.processNames[0]);
    EXPECT_TRUE(LauncherSettings.useLegacyRuntimeArguments);
    EXPECT_FALSE(LauncherSettings.continueAfterRuntimeFailure);
    EXPECT_TRUE(LauncherSettings.reportFailureInExitCode);
}

TEST(GeneratedSettings, QuestionStringsInTheStringTable) {
    EXPECT_EQ(std::wstring(L"Remove \x0022old\x0022 C:\x005cx caf\x00e9\x263a?\r\nYes"),
              LoadString(500));
    EXPECT_EQ(std::wstring(L"T\xd83d\xde00"), LoadString(501));
}

}  // namespace
