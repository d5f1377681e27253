// Installer runs: RunAndWait's three kinds of result and its handle, the
// runtime parameters, the legacy uninstallers and the driver package.
#include <gtest/gtest.h>

#include <string>

#include "launcher/installer_launcher.h"
#include "launcher_test_support.h"
#include "payload/install_steps.h"
#include "payload/installer_runs.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;
using testsupport::BaseName;
using testsupport::ResourceHider;
using testsupport::RunRecorder;

namespace {

std::wstring Text(const CString& s) { return s.GetString(); }

// ---- RunAndWait -----------------------------------------------------------------

TEST(RunAndWait, StartsThroughTheShellWithOpenAndWaitsForTheExitCode) {
    seam::SeamScope scope;
    RunRecorder::Install();
    RunRecorder::exitCodes = {3010};
    EXPECT_EQ(RunAndWait(L"C:\\x\\setup.exe", L"/passive /norestart"), 3010);
    ASSERT_EQ(RunRecorder::runs.size(), 1u);
    const SHELLEXECUTEINFOW& info = RunRecorder::runs[0].info;
    EXPECT_EQ(info.cbSize, 60u);
    EXPECT_EQ(info.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_STREQ(info.lpVerb, L"open");
    EXPECT_EQ(RunRecorder::runs[0].file, L"C:\\x\\setup.exe");
    EXPECT_EQ(RunRecorder::runs[0].parameters, L"/passive /norestart");
    EXPECT_EQ(info.nShow, SW_SHOWDEFAULT);
    EXPECT_EQ(info.hwnd, nullptr);
    EXPECT_EQ(info.lpDirectory, nullptr);
    EXPECT_EQ(RunRecorder::processCloses, 1);  // the process handle is not leaked
}

TEST(RunAndWait, FailuresOfStartWaitAndExitCode) {
    struct Case {
        const char* name;
        void (*install)();
        int want;
    };
    const Case cases[] = {
        {"shell fails", [] { seam::FailWith<&WindowsApi::ShellExecuteExW>(BOOL{FALSE}, DWORD{ERROR_FILE_NOT_FOUND}); },
         ERROR_FILE_NOT_FOUND},
        {"shell fails without code", [] { seam::FailWith<&WindowsApi::ShellExecuteExW>(BOOL{FALSE}, DWORD{0}); },
         ERROR_GEN_FAILURE},
        {"no process handle",
         [] { Api().ShellExecuteExW = [](SHELLEXECUTEINFOW* info) WINAPI -> BOOL { info->hProcess = nullptr; return TRUE; }; },
         -1},
        {"wait fails", [] { seam::FailWith<&WindowsApi::WaitForSingleObject>(DWORD{WAIT_FAILED}, DWORD{6}); }, -1},
        {"wait abandoned", [] { seam::FailWith<&WindowsApi::WaitForSingleObject>(DWORD{WAIT_ABANDONED}, DWORD{0}); }, -1},
        {"exit code unreadable", [] { seam::FailWith<&WindowsApi::GetExitCodeProcess>(BOOL{FALSE}, DWORD{6}); }, -1},
    };
    for (const Case& c : cases) {
        seam::SeamScope scope;
        RunRecorder::Install();
        c.install();
        EXPECT_EQ(RunAndWait(L"C:\\x\\setup.exe", L""), c.want) << c.name;
        EXPECT_EQ(RunRecorder::processCloses, static_cast<int>(RunRecorder::processes.size())) << c.name;
    }
}

TEST(RunAndWait, EmptyFileStartsNothing) {
    seam::SeamScope scope;
    RunRecorder::Install();
    EXPECT_EQ(RunAndWait(CString(), L"/x"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RunRecorder::runs.empty());
}

TEST(MsiexecPath, IsInTheSystemFolderAndEmptyWhenThatIsUnknown) {
    EXPECT_EQ(Text(MsiexecPath()), testsupport::SystemFolder() + L"\\msiexec.exe");
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::GetSystemDirectoryW>(UINT{0}, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(MsiexecPath().IsEmpty());
}

// ---- Runtime parameters ---------------------------------------------------------

TEST(ChooseRuntimeParameters, QuietModeAndLegacyStrings) {
    const std::wstring legacy86 = L"/q:a /c:\"vcredist_x86.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \"";
    const std::wstring legacy64 = L"/q:a /c:\"vcredist_x64.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \"";
    ASSERT_EQ(legacy86.size(), 67u);
    struct Case { const wchar_t* msiArguments; bool legacy; std::wstring x86; std::wstring x64; };
    const Case cases[] = {
        {L"", false, L"/passive /norestart", L"/passive /norestart"},
        {L"/i $MSIPATH /quiet", false, L"/q /norestart", L"/q /norestart"},
        {L"/i $MSIPATH /QUIET", false, L"/passive /norestart", L"/passive /norestart"},  // case-sensitive
        {L"/quietly", false, L"/q /norestart", L"/q /norestart"},
        {L"/i $MSIPATH /qn", false, L"/passive /norestart", L"/passive /norestart"},
        {L"", true, legacy86, legacy64},
        {L"/quiet", true, legacy86, legacy64},
    };
    for (const Case& c : cases) {
        const payload::RuntimeParameters got = payload::ChooseRuntimeParameters(c.msiArguments, c.legacy);
        EXPECT_EQ(Text(got.x86), c.x86) << c.msiArguments << " legacy " << c.legacy;
        EXPECT_EQ(Text(got.x64), c.x64) << c.msiArguments << " legacy " << c.legacy;
    }
}

// ---- Install steps --------------------------------------------------------------

class InstallSteps : public testing::Test {
protected:
    void SetUp() override { RunRecorder::Install(); }
    void TearDown() override { launcher.RemoveWorkingFolder(); }

    std::vector<std::wstring> RunNames() const {
        std::vector<std::wstring> names;
        for (const auto& run : RunRecorder::runs) names.push_back(BaseName(run.file));
        return names;
    }

    seam::SeamScope scope;
    CInstallerLauncher launcher;
};

TEST_F(InstallSteps, PrerequisitesFollowPlatformAndCarriedResources) {
    using Names = std::vector<std::wstring>;
    struct Case { bool wow64; std::initializer_list<const wchar_t*> hidden; DWORD x86Exit; int want; Names runs; };
    const Case cases[] = {
        {true, {}, 0, 0, {L"vcredist_x86.exe", L"vcredist_x64.exe"}},
        {false, {}, 0, 0, {L"vcredist_x86.exe"}},                      // never x64 on 32-bit Windows
        {true, {L"VC2005_REDIST_32"}, 0, 0, {L"vcredist_x64.exe"}},
        {true, {L"VC2005_REDIST_32", L"VC2005_REDIST_64"}, 0, 0, {}},
        {true, {}, 3010, 3010, {L"vcredist_x86.exe"}},                 // x86 failure skips x64
    };
    for (const Case& c : cases) {
        seam::SeamScope caseScope;
        RunRecorder::Install();
        ResourceHider::Install(c.hidden);
        RunRecorder::exitCodes = {c.x86Exit};
        launcher.isWow64 = c.wow64;
        launcher.msiArguments = L"/i $MSIPATH /quiet";
        EXPECT_EQ(launcher.InstallPrerequisites(), c.want);
        EXPECT_EQ(RunNames(), c.runs);
        for (const auto& run : RunRecorder::runs) {
            EXPECT_EQ(run.parameters, L"/q /norestart");
            EXPECT_EQ(run.file.rfind(Text(launcher.workingFolder), 0), 0u);  // in the working folder
            EXPECT_TRUE(testsupport::Exists(run.file));
        }
    }
}

TEST_F(InstallSteps, PrerequisiteExtractionFailureRunsNothing) {
    seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED});
    testing::internal::CaptureStdout();
    EXPECT_EQ(launcher.InstallPrerequisites(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetTempPath failed (5)\n");
    EXPECT_TRUE(RunRecorder::runs.empty());
}

TEST_F(InstallSteps, LegacyUninstallersLastResultCounts) {
    struct Case { std::initializer_list<const wchar_t*> hidden; std::deque<DWORD> exits; int want; size_t runs; };
    const Case cases[] = {
        {{}, {5, 0}, 0, 2},                  // UNINST fails, UNINST2 succeeds
        {{}, {0, 5}, 5, 2},
        {{L"UNINST"}, {7}, 7, 1},
        {{L"UNINST2"}, {7}, 7, 1},
        {{L"UNINST", L"UNINST2"}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        seam::SeamScope caseScope;
        RunRecorder::Install();
        ResourceHider::Install(c.hidden);
        RunRecorder::exitCodes = c.exits;
        EXPECT_EQ(launcher.RunLegacyUninstallers(), c.want);
        ASSERT_EQ(RunRecorder::runs.size(), c.runs);
        for (const auto& run : RunRecorder::runs) EXPECT_EQ(run.parameters, L"");
    }
}

TEST_F(InstallSteps, DriverPackageVariantFollowsBothFlags) {
    struct Case { bool wow64; bool win10; std::string bytes; };
    const Case cases[] = {
        {true, true, "payload MSI_WIN10_64"},
        {true, false, "payload MSI64"},
        {false, true, "payload MSI_WIN10_32"},
        {false, false, "payload MSI32"},
    };
    const std::wstring package = testsupport::PackageFolder() + L"CorvaneInstaller.msi";
    for (const Case& c : cases) {
        RunRecorder::Install();
        launcher.isWow64 = c.wow64;
        launcher.isWin10 = c.win10;
        EXPECT_EQ(launcher.InstallDriverPackage(), 0);
        EXPECT_EQ(testsupport::ReadFileBytes(package), c.bytes);
        ASSERT_EQ(RunRecorder::runs.size(), 1u);
        EXPECT_EQ(RunRecorder::runs[0].file, package);  // opened by the shell
        EXPECT_EQ(RunRecorder::runs[0].parameters, L"");
    }
}

TEST_F(InstallSteps, PackagePathIsSubstitutedIntoTheTemplate) {
    const std::wstring quoted = L"\"" + testsupport::PackageFolder() + L"CorvaneInstaller.msi\"";
    struct Case { const wchar_t* msiArguments; std::wstring want; };
    const Case cases[] = {
        {L"/i $MSIPATH /quiet", L"/i " + quoted + L" /quiet"},
        {L"/i $MSIPATH TARGET=$MSIPATH", L"/i " + quoted + L" TARGET=" + quoted},
        {L"/fa $msipath", L"/fa $msipath"},
        {L"/x {6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}", L"/x {6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}"},
    };
    for (const Case& c : cases) {
        RunRecorder::Install();
        launcher.msiArguments = c.msiArguments;
        EXPECT_EQ(launcher.InstallDriverPackage(), 0);
        ASSERT_EQ(RunRecorder::runs.size(), 1u);
        EXPECT_EQ(RunRecorder::runs[0].file, testsupport::SystemFolder() + L"\\msiexec.exe");
        EXPECT_EQ(RunRecorder::runs[0].parameters, c.want);
        EXPECT_EQ(Text(launcher.msiArguments), c.want);  // changed in place
    }
}

TEST_F(InstallSteps, MissingPackageResourceRunsNothing) {
    ResourceHider::Install({L"MSI32"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(launcher.InstallDriverPackage(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LocateResource failed (1814)\n");
    EXPECT_TRUE(RunRecorder::runs.empty());
}

}  // namespace
