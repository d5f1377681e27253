// The seam itself: a stand-in fails with the chosen error, lets earlier calls
// through, and the scope puts the real function back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "platform/elevation.h"
#include "platform/handles.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

TEST(Seam, FailWithSetsResultAndLastError) {
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED});
    wchar_t buffer[MAX_PATH];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(Api().GetTempPathW(MAX_PATH, buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Seam, FailOnCallLetsEarlierCallsThroughAndScopeRestores) {
    wchar_t buffer[MAX_PATH];
    const auto original = Api().GetTempPathW;
    {
        seam::SeamScope scope;
        seam::FailOnCall<&WindowsApi::GetTempPathW>(2, DWORD{0}, DWORD{ERROR_BUFFER_OVERFLOW}, true);
        EXPECT_GT(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_EQ(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_GT(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_EQ(seam::CallCount<&WindowsApi::GetTempPathW>(), 3);
    }
    EXPECT_EQ(Api().GetTempPathW, original);
}

TEST(Handles, OwnerClosesOnceThroughTheSeam) {
    seam::SeamScope scope;
    static int closes;
    closes = 0;
    Api().CloseHandle = [](HANDLE h) WINAPI -> BOOL { ++closes; return ::CloseHandle(h); };
    {
        platform::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(event);
        platform::UniqueHandle moved(std::move(event));
        EXPECT_FALSE(event);
        EXPECT_TRUE(moved);
    }
    EXPECT_EQ(closes, 1);
}

TEST(Handles, ResetPutReleaseAndCloseEachCloseAtMostOnce) {
    seam::SeamScope scope;
    static std::vector<HANDLE> closed;
    static BOOL closeResult;
    closed.clear();
    closeResult = TRUE;
    Api().CloseHandle = [](HANDLE h) WINAPI -> BOOL {
        closed.push_back(h);
        if (!closeResult) ::SetLastError(ERROR_INVALID_HANDLE);
        return closeResult;
    };
    const auto a = reinterpret_cast<HANDLE>(0x100);
    const auto b = reinterpret_cast<HANDLE>(0x200);
    {
        platform::UniqueFile file(a);
        *file.put() = b;  // put() closes the old handle first
        EXPECT_EQ(closed, std::vector<HANDLE>{a});
        EXPECT_EQ(file.release(), b);  // release() hands it over unclosed
        EXPECT_FALSE(file);
        EXPECT_TRUE(file.Close());  // closing nothing succeeds
        EXPECT_EQ(closed.size(), 1u);

        file.reset(a);
        closeResult = FALSE;
        EXPECT_FALSE(file.Close());  // a failing close is reported...
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(file);  // ...and the handle is not closed again
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{a, a}));

    // Each kind knows its own invalid value and does not close it.
    closed.clear();
    { platform::UniqueFile none(INVALID_HANDLE_VALUE); }
    { platform::UniqueHandle none(nullptr); }
    EXPECT_TRUE(closed.empty());
}

// ---- Loading the system DLLs ------------------------------------------------------

// What LoadSystemLibraries asked for, in order.
std::vector<std::wstring> loads;

BOOL WINAPI RecordRestriction(DWORD flags) {
    loads.push_back(L"SetDefaultDllDirectories " + std::to_wstring(flags));
    return TRUE;
}

TEST(LoadSystemLibraries, RestrictsTheSearchBeforeLoadingAnythingFromTheSystemFolder) {
    struct Case {
        const char* name;
        bool restrictionExists;
        std::wstring first;
        std::wstring load;  // the form of every load, %s for the name
    };
    wchar_t system[MAX_PATH];
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    const Case cases[] = {
        {"SetDefaultDllDirectories", true, L"SetDefaultDllDirectories 2048", L"LoadLibraryExW %s 2048"},
        {"Windows 7 without its update", false, L"SetDllDirectoryW \"\"", L"LoadLibraryW " + systemFolder + L"\\%s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope scope;
        static bool restrictionExists;
        restrictionExists = c.restrictionExists;
        loads.clear();
        Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
            if (std::string(name) == "SetDefaultDllDirectories") {
                if (!restrictionExists) return nullptr;
                return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordRestriction));
            }
            return ::GetProcAddress(module, name);
        };
        Api().SetDllDirectoryW = [](LPCWSTR path) WINAPI -> BOOL {
            loads.push_back(L"SetDllDirectoryW \"" + std::wstring(path) + L"\"");
            return TRUE;
        };
        Api().LoadLibraryExW = [](LPCWSTR name, HANDLE file, DWORD flags) WINAPI -> HMODULE {
            loads.push_back(L"LoadLibraryExW " + std::wstring(name) + L" " + std::to_wstring(flags));
            return ::LoadLibraryExW(name, file, flags);
        };
        Api().LoadLibraryW = [](LPCWSTR name) WINAPI -> HMODULE {
            loads.push_back(L"LoadLibraryW " + std::wstring(name));
            return ::LoadLibraryW(name);
        };
        ASSERT_EQ(platform::LoadSystemLibraries(), 0);
        std::vector<std::wstring> want{c.first};
        for (const wchar_t* dll : {L"user32.dll", L"shell32.dll", L"comctl32.dll", L"rpcrt4.dll", L"advapi32.dll"}) {
            std::wstring load = c.load;
            load.replace(load.find(L"%s"), 2, dll);
            want.push_back(load);
        }
        EXPECT_EQ(loads, want);
        EXPECT_NE(Api().RegOpenKeyExW, nullptr);
        EXPECT_NE(Api().MessageBoxW, nullptr);
    }
}

TEST(LoadSystemLibraries, AMissingFunctionIsReportedWithItsCode) {
    seam::SeamScope scope;
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        if (std::string(name) == "GetSecurityInfo") {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return ::GetProcAddress(module, name);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(platform::LoadSystemLibraries(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetProcAddress failed (127)\n");
}

// ---- Start-up refusals and protections ---------------------------------------------

// A ".local" named after the executable, beside it, in any case and of
// either kind, stops the run before anything is loaded; the line names it.
TEST(RefuseDllRedirection, AnyDotLocalBesideTheExecutableStopsTheRun) {
    const std::wstring folder = L"C:\\dotlocal";
    const std::string refused =
        "Refused to run: Setup.exe.local beside the launcher would redirect the DLLs it loads\n";
    const struct {
        const char* name;
        const wchar_t* item;  // made beside C:\dotlocal\Setup.exe
        bool isFolder;
        int want;
        std::string printed;
    } cases[] = {
        {"a folder", L"Setup.exe.local", true, platform::kDllRedirectionRefused, refused},
        {"a file", L"Setup.exe.local", false, platform::kDllRedirectionRefused, refused},
        {"another case", L"SETUP.EXE.LOCAL", true, platform::kDllRedirectionRefused, refused},
        {"none", nullptr, false, 0, ""},
        {"another name", L"Setup.local", true, 0, ""},
    };
    ::CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope scope;
        Api().GetModuleFileNameW = [](HMODULE module, LPWSTR out, DWORD size) WINAPI -> DWORD {
            EXPECT_EQ(module, nullptr);
            const wchar_t path[] = L"C:\\dotlocal\\Setup.exe";
            wcsncpy(out, path, size);
            return static_cast<DWORD>(wcslen(path));
        };
        const std::wstring item = c.item ? folder + L"\\" + c.item : L"";
        if (c.item && c.isFolder) ::CreateDirectoryW(item.c_str(), nullptr);
        if (c.item && !c.isFolder) {
            ::CloseHandle(::CreateFileW(item.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(platform::RefuseDllRedirection(), c.want);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        if (c.item) c.isFolder ? ::RemoveDirectoryW(item.c_str()) : ::DeleteFileW(item.c_str());
    }
    // Without its own path the check cannot be made: that refuses too.
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::GetModuleFileNameW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED});
    testing::internal::CaptureStdout();
    EXPECT_EQ(platform::RefuseDllRedirection(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetModuleFileName failed (5)\n");
}

// Elevated and wanted, the process follows no junction a non-administrator
// made: the policy is set where Windows has it, and the log says which.
struct PolicyCall {
    int policy;
    DWORD flags;
    SIZE_T size;
};
std::vector<PolicyCall> policyCalls;
BOOL policyResult;
BOOL WINAPI RecordPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T size) {
    policyCalls.push_back({policy, *static_cast<const DWORD*>(buffer), size});
    if (!policyResult) ::SetLastError(ERROR_INVALID_PARAMETER);
    return policyResult;
}

TEST(EnforceRedirectionTrust, SetWhereWantedElevatedAndKnown) {
    enum Lookup { Missing, Refuses, Sets };
    const struct {
        const char* name;
        bool wanted;
        bool elevated;
        Lookup lookup;
        std::string line;
    } cases[] = {
        {"set", true, true, Sets, "redirection trust: enforced"},
        {"refused", true, true, Refuses, "redirection trust: not available (87)"},
        {"missing", true, true, Missing, "redirection trust: not available (no SetProcessMitigationPolicy)"},
        {"not elevated", true, false, Sets, "redirection trust: off (not elevated)"},
        {"built without it", false, true, Sets, "redirection trust: off (built without it)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope scope;
        static Lookup lookup;
        lookup = c.lookup;
        policyCalls.clear();
        policyResult = c.lookup == Sets;
        Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
            if (std::string(name) != "SetProcessMitigationPolicy") return ::GetProcAddress(module, name);
            EXPECT_EQ(module, ::GetModuleHandleW(L"kernel32.dll"));
            if (lookup == Missing) return nullptr;
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordPolicy));
        };
        if (!c.elevated) {
            Api().GetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID information, DWORD,
                                           PDWORD length) WINAPI -> BOOL {
                *static_cast<TOKEN_ELEVATION_TYPE*>(information) = TokenElevationTypeLimited;
                *length = sizeof(TOKEN_ELEVATION_TYPE);
                return TRUE;
            };
        }
        const auto lines = testsupport::LogLinesOf([&] { platform::EnforceRedirectionTrust(c.wanted); });
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
        const bool asked = c.wanted && c.elevated && c.lookup != Missing;
        ASSERT_EQ(policyCalls.size(), asked ? 1u : 0u);
        if (asked) {
            // EnforceRedirectionTrust is the policy's first flag.
            EXPECT_EQ(policyCalls[0].policy, ProcessRedirectionTrustPolicy);
            EXPECT_EQ(policyCalls[0].flags, 1u);
            EXPECT_EQ(policyCalls[0].size, sizeof(PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY));
        }
    }
}

// The 32-bit launcher turns UAC virtualization off; where it cannot, the log
// says so (a write below HKEY_LOCAL_MACHINE may then land in the user's
// virtual store). A 64-bit process is never virtualized and asks nothing.
TEST(TurnOffVirtualization, AFailureIsLogged) {
    const std::string failed5 =
        "virtualization: not turned off (5), a write below HKEY_LOCAL_MACHINE may go to the user's virtual store";
    const struct {
        const char* name;
        void (*install)();
        std::vector<std::string> lines;
    } cases[] = {
        {"turned off", [] {}, {}},
        {"token refused", [] { seam::FailWith<&WindowsApi::OpenProcessToken>(BOOL{FALSE}, DWORD{5}); }, {failed5}},
        {"setting refused", [] { seam::FailWith<&WindowsApi::SetTokenInformation>(BOOL{FALSE}, DWORD{5}); },
         {failed5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope scope;
        static bool asked;
        asked = false;
        Api().SetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS kind, LPVOID value, DWORD size) WINAPI -> BOOL {
            asked = true;
            EXPECT_EQ(kind, TokenVirtualizationEnabled);
            EXPECT_EQ(size, sizeof(DWORD));
            EXPECT_EQ(*static_cast<const DWORD*>(value), 0u);
            return TRUE;
        };
        c.install();
        const auto lines = testsupport::LogLinesOf([] { platform::TurnOffVirtualization(); });
        if (sizeof(void*) == 8) {
            EXPECT_TRUE(lines.empty());
            EXPECT_FALSE(asked);
        } else {
            EXPECT_EQ(lines, c.lines);
        }
    }
}
