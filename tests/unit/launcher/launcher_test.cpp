// The start-up sequence: options, platform detection, the gate with its
// optional question, and the main sequence.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "launcher/installer_launcher.h"
#include "launcher_test_support.h"
#include "seam.h"
#include "settings/launcher_settings.h"

using platform::Api;
using platform::WindowsApi;
using testsupport::BaseName;
using testsupport::MutexHolder;
using testsupport::ResourceHider;
using testsupport::RunRecorder;

namespace {

// ---- Platform detection --------------------------------------------------

BOOL wow64Answer = FALSE;
DWORD reportedMajor = 10;
DWORD reportedBuild = 0;

BOOL WINAPI FakeIsWow64Process(HANDLE, PBOOL wow64) {
    *wow64 = wow64Answer;
    return TRUE;
}

BOOL WINAPI FailingIsWow64Process(HANDLE, PBOOL) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI FailingIsWow64ProcessWithoutError(HANDLE, PBOOL) {
    ::SetLastError(0);
    return FALSE;
}

template <BOOL(WINAPI* Function)(HANDLE, PBOOL)>
void ProvideIsWow64Process() {
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        if (module == ::GetModuleHandleW(L"ntdll.dll")) return ::GetProcAddress(module, name);  // the package's calls
        if (std::string(name) != "IsWow64Process") return nullptr;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(Function));
    };
}

void ReportMajorVersion(DWORD major, DWORD build = 0) {
    reportedMajor = major;
    reportedBuild = build;
    Api().GetVersionExW = [](LPOSVERSIONINFOW info) WINAPI -> BOOL {
        if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) return FALSE;
        info->dwMajorVersion = reportedMajor;
        info->dwBuildNumber = reportedBuild;
        return TRUE;
    };
}

TEST(DetectPlatform, FlagsFollowWow64AndMajorVersion) {
    struct Case { bool lookupFinds; BOOL wow64; DWORD major; bool versionFails; bool wantWow64; bool wantWin10; };
    const Case cases[] = {
        {true, TRUE, 10, false, true, true},
        {true, FALSE, 10, false, false, true},
        {true, TRUE, 6, false, true, false},     // Windows 8.1 without the manifest entry
        {true, FALSE, 11, false, false, true},
        {false, TRUE, 10, false, false, true},   // kernel32 without IsWow64Process
        {true, TRUE, 10, true, true, false},     // GetVersionExW fails
    };
    for (const Case& c : cases) {
        // The x64 build is on 64-bit Windows whatever IsWow64Process says.
        const bool wantWow64 = c.wantWow64 || sizeof(void*) == 8;
        seam::SeamScope scope;
        wow64Answer = c.wow64;
        if (c.lookupFinds) {
            ProvideIsWow64Process<FakeIsWow64Process>();
        } else {
            seam::FailWith<&WindowsApi::GetProcAddress>(FARPROC{nullptr}, DWORD{ERROR_PROC_NOT_FOUND});
        }
        ReportMajorVersion(c.major);
        if (c.versionFails) seam::FailWith<&WindowsApi::GetVersionExW>(BOOL{FALSE}, DWORD{ERROR_INVALID_PARAMETER});

        CInstallerLauncher launcher;
        launcher.isWow64 = !wantWow64;
        launcher.isWin10 = !c.wantWin10;
        launcher.DetectPlatform();
        EXPECT_EQ(launcher.isWow64, wantWow64) << "major " << c.major;
        EXPECT_EQ(launcher.isWin10, c.wantWin10) << "major " << c.major;
    }
}

TEST(DetectPlatform, RealWow64QueryIsUsed) {
    CInstallerLauncher launcher;
    launcher.DetectPlatform();
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    EXPECT_EQ(launcher.isWow64, sizeof(void*) == 8 || wow64 != FALSE);
}

TEST(DetectPlatformDeathTest, FailingIsWow64ProcessEndsWithItsErrorCode) {
    if (sizeof(void*) == 8) GTEST_SKIP() << "32-bit build only: the x64 build does not ask IsWow64Process";
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            seam::SeamScope scope;
            ProvideIsWow64Process<FailingIsWow64Process>();
            CInstallerLauncher launcher;
            launcher.DetectPlatform();
        },
        testing::ExitedWithCode(ERROR_ACCESS_DENIED), "");
    // A failure that leaves no error code must not end with 0.
    EXPECT_EXIT(
        {
            seam::SeamScope scope;
            ProvideIsWow64Process<FailingIsWow64ProcessWithoutError>();
            CInstallerLauncher launcher;
            launcher.DetectPlatform();
        },
        testing::ExitedWithCode(ERROR_GEN_FAILURE), "");
}

// A stack buffer overrun ends the process with 0xC0000409 and nothing else
// runs: an exception handler that saw it (as it would if the end were
// dispatched as a fault) would end the process with 79 instead.
extern "C" void __stack_chk_fail();
TEST(StackGuardDeathTest, AnOverrunEndsTheProcessAtOnce) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ::AddVectoredExceptionHandler(1, [](EXCEPTION_POINTERS*) WINAPI -> LONG {
                ::TerminateProcess(::GetCurrentProcess(), 79);
                return EXCEPTION_CONTINUE_SEARCH;
            });
            __stack_chk_fail();
        },
        testing::ExitedWithCode(static_cast<int>(0xC0000409u)), "");
}

// IsWow64Process2 as Windows 10 1511 and later have it: the native machine
// is nativeAnswer. kMachineArm64 and AMD64 are the cases that matter.
constexpr USHORT kMachineArm64 = 0xAA64;
USHORT nativeAnswer = kMachineArm64;

BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* process, USHORT* native) {
    *process = IMAGE_FILE_MACHINE_I386;
    *native = nativeAnswer;
    return TRUE;
}

BOOL WINAPI FailingIsWow64Process2(HANDLE, USHORT* process, USHORT* native) {
    *process = *native = kMachineArm64;  // what a failure leaves behind must not count
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

enum class Second { Missing, Failing, Answers };
Second secondState = Second::Answers;

// Both platform queries, as kernel32 of the chosen Windows offers them.
void ProvidePlatformQueries(Second second) {
    secondState = second;
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        if (module == ::GetModuleHandleW(L"ntdll.dll")) return ::GetProcAddress(module, name);  // the package's calls
        const std::string wanted = name;
        if (wanted == "IsWow64Process") return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeIsWow64Process));
        if (wanted != "IsWow64Process2" || secondState == Second::Missing) return nullptr;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(
            secondState == Second::Failing ? FailingIsWow64Process2 : FakeIsWow64Process2));
    };
}

TEST(DetectPlatform, Arm64OnlyWhenIsWow64Process2NamesIt) {
    struct Case { Second second; USHORT native; BOOL wow64; bool wantArm64; bool wantWow64; };
    const Case cases[] = {
        {Second::Answers, kMachineArm64, TRUE, true, true},   // 32-bit launcher, emulated
        {Second::Answers, kMachineArm64, FALSE, true, true},  // x64 launcher, emulated
        {Second::Answers, IMAGE_FILE_MACHINE_AMD64, TRUE, false, true},
        {Second::Answers, IMAGE_FILE_MACHINE_AMD64, FALSE, false, false},
        {Second::Missing, 0, TRUE, false, true},  // before Windows 10 1511: IsWow64Process decides
        {Second::Failing, 0, TRUE, false, true},
        {Second::Failing, 0, FALSE, false, false},
    };
    for (const Case& c : cases) {
        // The x64 build is on 64-bit Windows whatever IsWow64Process says.
        const bool wantWow64 = c.wantWow64 || sizeof(void*) == 8;
        seam::SeamScope scope;
        wow64Answer = c.wow64;
        nativeAnswer = c.native;
        ProvidePlatformQueries(c.second);
        ReportMajorVersion(10);
        CInstallerLauncher launcher;
        launcher.isArm64 = !c.wantArm64;
        launcher.DetectPlatform();
        EXPECT_EQ(launcher.isArm64, c.wantArm64) << static_cast<int>(c.second) << " " << c.native;
        EXPECT_EQ(launcher.isWow64, wantWow64) << static_cast<int>(c.second) << " " << c.native;
    }
}

// ---- Options --------------------------------------------------------------

TEST(ParseLauncherCommandLine, SetsMsiArgumentsFromTheFrameworkText) {
    CInstallerLauncher launcher;
    launcher.SetCommandLine(L"-msiargs \"/i $MSIPATH /qn\"");
    launcher.ParseLauncherCommandLine();
    EXPECT_EQ(launcher.msiArguments, L"/i $MSIPATH /qn");
    EXPECT_EQ(launcher.CommandLine(), L"-msiargs \"/i $MSIPATH /qn\"");
}

// ---- The gate ---------------------------------------------------------------

struct QuestionRecorder {
    static inline int calls = 0;
    static inline int answer = IDYES;
    static inline std::wstring text, title;
    static inline UINT type = 0;
    static inline HWND owner = reinterpret_cast<HWND>(1);

    static void Install(int reply) {
        calls = 0;
        answer = reply;
        Api().MessageBoxW = [](HWND window, LPCWSTR t, LPCWSTR c, UINT u) WINAPI -> int {
            ++calls;
            owner = window;
            text = t;
            title = c;
            type = u;
            if (answer == 0) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // a box that could not be shown
            return answer;
        };
    }
};

// Which of strings 500 and 501 a LoadStringW stand-in reports, and how.
enum class StringState { Present, Missing, Empty };
StringState questionState = StringState::Present;
StringState titleState = StringState::Present;

void InstallStrings(StringState question, StringState title) {
    questionState = question;
    titleState = title;
    Api().LoadStringW = [](HINSTANCE, UINT id, LPWSTR buffer, int) WINAPI -> int {
        const StringState state = id == 500 ? questionState : titleState;
        static const wchar_t kText[] = L"text";
        *reinterpret_cast<const wchar_t**>(buffer) = state == StringState::Missing ? nullptr : kText;
        return state == StringState::Present ? 4 : 0;
    };
}

std::vector<std::wstring> RunNames() {
    std::vector<std::wstring> names;
    for (const auto& run : RunRecorder::runs) names.push_back(BaseName(run.file));
    return names;
}

class Gate : public testing::Test {
protected:
    void SetUp() override {
        RunRecorder::Install();
        QuestionRecorder::Install(IDYES);
        launcher.isWow64 = true;
    }
    void TearDown() override { launcher.RemoveWorkingFolder(); }

    seam::SeamScope scope;
    CInstallerLauncher launcher;
};

TEST_F(Gate, QuestionFromStrings500And501AnsweredYesRunsRuntimesThenUninstallers) {
    EXPECT_EQ(launcher.PassGate(false), 0);
    EXPECT_EQ(QuestionRecorder::calls, 1);
    EXPECT_EQ(QuestionRecorder::text, L"Remove the older driver first?");
    EXPECT_EQ(QuestionRecorder::title, L"Driver setup");
    EXPECT_EQ(QuestionRecorder::type, static_cast<UINT>(MB_YESNO));
    EXPECT_EQ(QuestionRecorder::owner, nullptr);
    EXPECT_EQ(RunNames(), (std::vector<std::wstring>{L"vcredist_x86.exe", L"vcredist_x64.exe", L"qx_isu.exe",
                                                      L"qx_isu2.exe"}));
}

TEST_F(Gate, AnswerNoOrAFailingBoxStopsBeforeAnything) {
    // No, and any other answer, stop as the user's choice; a box that could
    // not be shown stops with its error.
    for (const auto& [answer, stop] : {std::pair{IDNO, ERROR_INSTALL_USEREXIT}, std::pair{0, ERROR_NOT_ENOUGH_MEMORY},
                                       std::pair{IDCANCEL, ERROR_INSTALL_USEREXIT}}) {
        QuestionRecorder::Install(answer);
        EXPECT_EQ(launcher.PassGate(false), stop) << answer;
        EXPECT_EQ(QuestionRecorder::calls, 1);
        EXPECT_TRUE(RunRecorder::runs.empty());
        EXPECT_TRUE(launcher.workingFolder.IsEmpty());  // no folder was made
    }
}

TEST_F(Gate, NoQuestionWhenAStringIsMissingOrEmpty) {
    const std::pair<StringState, StringState> cases[] = {
        {StringState::Missing, StringState::Missing}, {StringState::Present, StringState::Missing},
        {StringState::Missing, StringState::Present}, {StringState::Empty, StringState::Present},
        {StringState::Present, StringState::Empty},
    };
    for (const auto& [question, title] : cases) {
        RunRecorder::Install();
        QuestionRecorder::Install(IDNO);
        InstallStrings(question, title);
        EXPECT_EQ(launcher.PassGate(false), 0);
        EXPECT_EQ(QuestionRecorder::calls, 0);
        EXPECT_EQ(RunRecorder::runs.size(), 4u);  // as after Yes
    }
}

TEST_F(Gate, WithoutUninstNoQuestionAndNoLegacyRun) {
    ResourceHider::Install({L"UNINST"});
    EXPECT_EQ(launcher.PassGate(false), 0);
    EXPECT_EQ(QuestionRecorder::calls, 0);
    EXPECT_EQ(RunNames(), (std::vector<std::wstring>{L"vcredist_x86.exe", L"vcredist_x64.exe"}));
}

TEST_F(Gate, RuntimeFailureStopsUnlessAllowedToContinue) {
    struct Case { bool uninstCarried; bool continueAfter; int wantStop; std::vector<std::wstring> wantRuns; };
    const Case cases[] = {
        {true, false, 3010, {L"vcredist_x86.exe"}},
        {true, true, 0, {L"vcredist_x86.exe", L"qx_isu.exe", L"qx_isu2.exe"}},
        {false, false, 3010, {L"vcredist_x86.exe"}},
        {false, true, 0, {L"vcredist_x86.exe"}},
    };
    for (const Case& c : cases) {
        RunRecorder::Install();
        ResourceHider::Install(c.uninstCarried ? std::initializer_list<const wchar_t*>{}
                                               : std::initializer_list<const wchar_t*>{L"UNINST"});
        RunRecorder::exitCodes = {3010};  // success with restart needed counts as failure
        EXPECT_EQ(launcher.PassGate(c.continueAfter), c.wantStop);
        EXPECT_EQ(RunNames(), c.wantRuns);
    }
}

TEST_F(Gate, LegacyUninstallerFailureStops) {
    RunRecorder::exitCodes = {0, 0, 0, 1};  // UNINST2 fails
    EXPECT_EQ(launcher.PassGate(true), 1);
    RunRecorder::Install();
    RunRecorder::exitCodes = {0, 0, 1, 0};  // UNINST fails, UNINST2 succeeds: the last result counts
    EXPECT_EQ(launcher.PassGate(false), 0);
}

// ---- The whole start-up ------------------------------------------------------

class StartUp : public Gate {
protected:
    void SetUp() override {
        Gate::SetUp();
        ResourceHider::Install({L"UNINST", L"UNINST2"});  // as in this build
        ProvideIsWow64Process<FakeIsWow64Process>();
        wow64Answer = TRUE;
        ReportMajorVersion(10);
    }
};

TEST_F(StartUp, RunsRuntimesThenPackageAndRemovesTheWorkingFolder) {
    static INITCOMMONCONTROLSEX controls;
    controls = {};
    Api().InitCommonControlsEx = [](const INITCOMMONCONTROLSEX* seen) WINAPI -> BOOL {
        controls = *seen;
        return TRUE;
    };
    launcher.SetCommandLine(L"-quiet");
    EXPECT_FALSE(launcher.InitInstance());
    EXPECT_EQ(controls.dwSize, 8u);
    EXPECT_EQ(controls.dwICC, static_cast<DWORD>(ICC_WIN95_CLASSES));

    ASSERT_EQ(RunRecorder::runs.size(), 3u);
    EXPECT_EQ(RunRecorder::runs[0].parameters, L"/q /norestart");
    const std::wstring runtimeFolder = RunRecorder::runs[0].file.substr(0, RunRecorder::runs[0].file.rfind(L'\\'));
    EXPECT_EQ(RunRecorder::runs[2].file, testsupport::SystemFolder() + L"\\msiexec.exe");
    EXPECT_EQ(RunRecorder::runs[2].parameters,
              L"/i \"" + testsupport::PackageFolder() + L"CorvaneInstaller.msi\" /quiet");
    EXPECT_EQ(testsupport::ReadFileBytes(testsupport::PackageFolder() + L"CorvaneInstaller.msi"),
              "payload MSI_WIN10_64");
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    EXPECT_FALSE(testsupport::Exists(runtimeFolder));
}

TEST_F(StartUp, RuntimeFailureLeavesTheWorkingFolderAndRunsNoPackage) {
    RunRecorder::exitCodes = {1603};
    EXPECT_FALSE(launcher.InitInstance());
    EXPECT_EQ(launcher.ExitInstance(), 0);  // these settings report nothing
    ASSERT_EQ(RunRecorder::runs.size(), 1u);
    EXPECT_TRUE(testsupport::Exists(RunRecorder::runs[0].file));
    EXPECT_FALSE(launcher.workingFolder.IsEmpty());
}

TEST_F(StartUp, MainSequenceGivesThePackageRunsResult) {
    RunRecorder::exitCodes = {0, 0, 3010};
    launcher.DetectPlatform();
    ASSERT_EQ(launcher.PassGate(false), 0);
    EXPECT_EQ(launcher.RunMainSequence(), 3010);
}

TEST_F(StartUp, PackageFailureStillEndsTheSequence) {
    ResourceHider::Install({L"UNINST", L"UNINST2", L"MSI_WIN10_64"});
    testing::internal::CaptureStdout();
    EXPECT_FALSE(launcher.InitInstance());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LocateResource failed (1814)\n");
    EXPECT_EQ(RunRecorder::runs.size(), 2u);
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());  // RemoveWorkingFolder ran
}

TEST_F(StartUp, Arm64InstallsItsOwnPackageOrStopsBeforeAnything) {
    const std::wstring package = testsupport::PackageFolder() + L"CorvaneInstaller.msi";
    // x64 code runs on ARM64 Windows from build 22000 (Windows 11) on: before
    // it the x64 runtime is skipped, and an unknown build counts as older.
    struct Case { bool slotCarried; DWORD build; std::vector<std::wstring> wantRuns; std::string wantOut; int wantGate; };
    const Case cases[] = {
        {true, 22000, {L"vcredist_x86.exe", L"vcredist_x64.exe", L"msiexec.exe"}, "", 0},
        {true, 21999, {L"vcredist_x86.exe", L"msiexec.exe"}, "", 0},
        {true, 0, {L"vcredist_x86.exe", L"msiexec.exe"}, "", 0},
        {false, 22631, {}, "This system is ARM64 Windows; this installer carries no package for it\n",
         ERROR_INSTALL_PLATFORM_UNSUPPORTED},
    };
    for (const Case& c : cases) {
        ::DeleteFileW(package.c_str());
        ReportMajorVersion(10, c.build);
        RunRecorder::Install();
        ResourceHider::Install(c.slotCarried ? std::initializer_list<const wchar_t*>{L"UNINST", L"UNINST2"}
                                             : std::initializer_list<const wchar_t*>{L"UNINST", L"UNINST2",
                                                                                      L"MSI_WIN10_ARM64"});
        ProvidePlatformQueries(Second::Answers);
        nativeAnswer = kMachineArm64;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(launcher.InitInstance());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.wantOut);
        EXPECT_EQ(RunNames(), c.wantRuns) << c.build;
        EXPECT_EQ(testsupport::ReadFileBytes(package), c.slotCarried ? "payload MSI_WIN10_ARM64" : "<missing>");
        EXPECT_TRUE(launcher.workingFolder.IsEmpty());  // none made, or removed at the end
        if (!c.slotCarried) {
            EXPECT_EQ(launcher.PassGate(false), c.wantGate);
        }
    }
}

// Without administrator rights Windows would send the 32-bit launcher's
// writes below HKLM\Software to the user's virtual store, where a settings
// backup counts as made but no package sees it: the run turns that off.
int virtualizationCalls = 0;
DWORD virtualizationValue = 1;

BOOL WINAPI RecordSetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS kind, LPVOID value, DWORD size) {
    ++virtualizationCalls;
    if (kind == TokenVirtualizationEnabled && size == sizeof(DWORD)) virtualizationValue = *static_cast<DWORD*>(value);
    return TRUE;
}

TEST_F(StartUp, VirtualizationIsTurnedOffIn32BitBuild) {
    virtualizationCalls = 0;
    virtualizationValue = 1;
    Api().SetTokenInformation = RecordSetTokenInformation;
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        const std::string wanted = name;
        if (wanted == "IsWow64Process") return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeIsWow64Process));
        return ::GetProcAddress(module, name);
    };
    EXPECT_FALSE(launcher.InitInstance());
    EXPECT_EQ(virtualizationCalls, sizeof(void*) == 4 ? 1 : 0);  // a 64-bit process is never virtualized
    EXPECT_EQ(virtualizationValue, sizeof(void*) == 4 ? 0u : 1u);
    EXPECT_EQ(RunRecorder::runs.size(), 3u);  // and the run goes on as ever
}

// ---- One run at a time -------------------------------------------------------

std::wstring RunLockName(bool global) {
    return std::wstring(global ? L"Global\\" : L"") + L"InstallerLauncher_" + LauncherSettings.settingsGuid;
}

// The access list the global lock is made with, as SDDL.
std::wstring lockSecurity;
HANDLE WINAPI RecordLockSecurity(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) {
    LPWSTR text = nullptr;
    if (lockSecurity.empty() && security && security->lpSecurityDescriptor &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                               DACL_SECURITY_INFORMATION, &text, nullptr)) {
        lockSecurity = text;
        ::LocalFree(text);
    }
    return ::CreateMutexW(security, owned, name);
}

TEST(RunLock, TakenUnlessAnotherRunHoldsIt) {
    enum class Other { None, Holds, Abandoned };
    // refused: how many of the launcher's CreateMutexW calls fail with
    // ERROR_ACCESS_DENIED (1: the global one; 2: both).
    // openRefused: opening the existing global one fails with
    // ERROR_ACCESS_DENIED too (it exists, made with rights this run lacks).
    struct Case {
        const char* name;
        Other other;
        bool otherGlobal;
        int refused;
        int want;
        bool locked;
        bool openRefused = false;
    };
    const Case cases[] = {
        {"no other run", Other::None, true, 0, 0, true},
        {"another run holds it", Other::Holds, true, 0, ERROR_INSTALL_ALREADY_RUNNING, false},
        {"a run that crashed left it", Other::Abandoned, true, 0, 0, true},
        {"global refused, session free", Other::None, false, 1, 0, true},
        {"global refused, held in the session", Other::Holds, false, 1, ERROR_INSTALL_ALREADY_RUNNING, false},
        {"global of other rights, held", Other::Holds, true, 1, ERROR_INSTALL_ALREADY_RUNNING, false},
        {"no lock to be made", Other::None, true, 2, 0, false},
        {"global exists but cannot be opened", Other::None, true, 1, ERROR_INSTALL_ALREADY_RUNNING, false, true},
    };
    for (const Case& c : cases) {
        seam::SeamScope scope;
        std::unique_ptr<MutexHolder> other;
        if (c.other != Other::None) other.reset(new MutexHolder(RunLockName(c.otherGlobal), c.other == Other::Abandoned));
        lockSecurity.clear();
        Api().CreateMutexW = RecordLockSecurity;
        if (c.refused > 0) {
            seam::FailOnCall<&WindowsApi::CreateMutexW>(1, HANDLE{nullptr}, DWORD{ERROR_ACCESS_DENIED}, c.refused == 1);
        }
        if (c.openRefused) seam::FailWith<&WindowsApi::OpenMutexW>(HANDLE{nullptr}, DWORD{ERROR_ACCESS_DENIED});
        CInstallerLauncher launcher;
        testing::internal::CaptureStdout();
        EXPECT_EQ(launcher.AcquireRunLock(LauncherSettings.settingsGuid), c.want) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.want != 0 ? "Another run of this installer is in progress\n" : "")
            << c.name;
        EXPECT_EQ(static_cast<bool>(launcher.runLock), c.locked) << c.name;
        // The global lock lets every user wait on it and let it go, and
        // nobody but SYSTEM and Administrators do more.
        if (c.refused == 0) EXPECT_EQ(lockSecurity, L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;WD)") << c.name;
        launcher.ReleaseRunLock();
    }
}

TEST_F(StartUp, SecondRunStopsBeforeAnything) {
    MutexHolder other(RunLockName(true));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(launcher.InitInstance());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Another run of this installer is in progress\n");
    EXPECT_TRUE(RunRecorder::runs.empty());
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    EXPECT_EQ(launcher.ExitInstance(), 0);  // these settings report nothing
}

}  // namespace
