// Removing older products: which codes count as registered (and in which
// registry view), how each removal is started, and how failures are counted.
// Registrations are real keys in the test prefix; msiexec is not started:
// the shell call is replaced and its process handle stands for a child that
// has already ended with the exit code chosen per product code.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "payload/installer_runs.h"
#include "preparation/preparation_steps.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

const std::wstring kUninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring kA = L"{A0000000-0000-0000-0000-00000000000A}";
const std::wstring kB = L"{B0000000-0000-0000-0000-00000000000B}";
const std::wstring kC = L"{C0000000-0000-0000-0000-00000000000C}";
const std::wstring kUnregistered = L"{D0000000-0000-0000-0000-00000000000D}";

// On 64-bit Windows: the x64 build always, a 32-bit process under WOW64.
bool OnWow64() {
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

// One registration key, removed again at the end of the test.
class Registration {
public:
    Registration(const std::wstring& code, REGSAM view) : path_(kUninstall + code), view_(view) {
        HKEY key;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                                  nullptr, &key, nullptr), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~Registration() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0); }

private:
    std::wstring path_;
    REGSAM view_;
};

struct Launch {
    std::wstring file, parameters;
};
std::vector<Launch> launches;
std::map<std::wstring, DWORD> exitCodes;   // by parameters
std::map<std::wstring, DWORD> launchErrors;  // by parameters
std::map<HANDLE, DWORD> children;

class RemoveProducts : public ::testing::Test {
protected:
    void SetUp() override {
        launches.clear();
        exitCodes.clear();
        launchErrors.clear();
        Api().CreateProcessW = [](LPCWSTR file, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                  BOOL inherit, DWORD, LPVOID, LPCWSTR directory, LPSTARTUPINFOW,
                                  LPPROCESS_INFORMATION info) WINAPI -> BOOL {
            EXPECT_FALSE(inherit);
            // The child starts in the system folder, never in ours.
            wchar_t system[MAX_PATH];
            const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
            EXPECT_EQ(std::wstring(directory ? directory : L"<none>"), std::wstring(system, length));
            const std::wstring quoted = L"\"" + std::wstring(file) + L"\" ";
            const std::wstring line = commandLine;
            EXPECT_EQ(line.rfind(quoted, 0), 0u) << "the command line begins with the quoted program";
            const std::wstring parameters = line.substr(quoted.size());
            launches.push_back({file, parameters});
            auto error = launchErrors.find(parameters);
            if (error != launchErrors.end()) {
                SetLastError(error->second);
                return FALSE;
            }
            info->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // an ended child
            info->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            children[info->hProcess] = exitCodes[parameters];
            return TRUE;
        };
        Api().GetExitCodeProcess = [](HANDLE h, DWORD* code) WINAPI -> BOOL {
            *code = children.at(h);
            return TRUE;
        };
    }

    seam::SeamScope scope;
};

std::wstring RemovalOf(const std::wstring& code) { return L"/passive /X " + code; }

// The step with a list held as standard strings.
int Remove(const std::vector<std::wstring>& list, bool isWow64) {
    std::vector<const wchar_t*> codes;
    for (const auto& code : list) codes.push_back(code.c_str());
    return preparation::RemoveRegisteredProducts(codes.data(), static_cast<int>(codes.size()), isWow64);
}

}  // namespace

TEST_F(RemoveProducts, RemovesRegisteredCodesInOrderAndCountsFailures) {
    const REGSAM view = OnWow64() ? KEY_WOW64_64KEY : 0;
    Registration a(kA, view), b(kB, view), c(kC, view);
    exitCodes[RemovalOf(kA)] = 1603;
    launchErrors[RemovalOf(kB)] = ERROR_FILE_NOT_FOUND;
    exitCodes[RemovalOf(kC)] = 0;

    EXPECT_EQ(Remove({kA, kUnregistered, kB, kC}, OnWow64()), 2);

    ASSERT_EQ(launches.size(), 3u);
    const std::wstring msiexec = static_cast<const wchar_t*>(MsiexecPath());
    EXPECT_EQ(launches[0].parameters, RemovalOf(kA));
    EXPECT_EQ(launches[1].parameters, RemovalOf(kB));
    EXPECT_EQ(launches[2].parameters, RemovalOf(kC));
    for (const Launch& launch : launches) {
        // The engine from the system folder, never a bare name that the
        // current folder could answer.
        EXPECT_EQ(launch.file, msiexec);
        EXPECT_NE(launch.file.find(L":\\"), std::wstring::npos);
    }
}

TEST_F(RemoveProducts, RestartRequiredCountsAsFailure) {
    Registration a(kA, OnWow64() ? KEY_WOW64_64KEY : 0);
    exitCodes[RemovalOf(kA)] = ERROR_SUCCESS_REBOOT_REQUIRED;
    EXPECT_EQ(Remove({kA}, OnWow64()), 1);
}

TEST_F(RemoveProducts, EmptyListTouchesNeitherRegistryNorEngine) {
    seam::FailWith<&WindowsApi::RegOpenKeyExW>(LONG{ERROR_ACCESS_DENIED}, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(Remove({}, true), 0);
    EXPECT_EQ(seam::CallCount<&WindowsApi::RegOpenKeyExW>(), 0);
    EXPECT_TRUE(launches.empty());
}

// On 64-bit Windows only the 64-bit view counts: a registration in the 32-bit
// view alone is left alone.
TEST_F(RemoveProducts, SixtyFourBitWindowsLooksOnlyAtThe64BitView) {
    if (!OnWow64()) GTEST_SKIP() << "needs 64-bit Windows";
    Registration only32(kA, KEY_WOW64_32KEY), only64(kB, KEY_WOW64_64KEY);
    EXPECT_EQ(Remove({kA, kB}, true), 0);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].parameters, RemovalOf(kB));

    // Told 32-bit Windows, the step looks in the process's own view (the one
    // view there is there); only the 32-bit build is ever told so.
    launches.clear();
    EXPECT_EQ(Remove({kA, kB}, false), 0);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].parameters, RemovalOf(sizeof(void*) == 8 ? kB : kA));
}
