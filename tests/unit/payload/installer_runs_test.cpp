// Installer runs: RunAndWait's three kinds of result and its handle, the
// runtime parameters, the legacy uninstallers and the driver package.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "launcher/installer_launcher.h"
#include "launcher_test_support.h"
#include "payload/install_steps.h"
#include "payload/installer_runs.h"
#include "platform/run_log.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;
using testsupport::BaseName;
using testsupport::ResourceHider;
using testsupport::RunRecorder;

namespace {

std::wstring Text(const CString& s) { return s.GetString(); }

// ---- RunAndWait -----------------------------------------------------------------

TEST(RunAndWait, StartsTheFullPathWithTheQuotedCommandLineAndWaitsForTheExitCode) {
    seam::SeamScope scope;
    RunRecorder::Install();
    RunRecorder::exitCodes = {3010, 0};
    EXPECT_EQ(RunAndWait(L"C:\\x y\\setup.exe", L"/passive /norestart", L"C:\\x y"), 3010);
    EXPECT_EQ(RunAndWait(L"C:\\x y\\setup.exe", L"", L"C:\\x y"), 0);
    ASSERT_EQ(RunRecorder::runs.size(), 2u);
    const RunRecorder::Run& run = RunRecorder::runs[0];
    EXPECT_EQ(run.file, L"C:\\x y\\setup.exe");
    EXPECT_EQ(run.commandLine, L"\"C:\\x y\\setup.exe\" /passive /norestart");
    EXPECT_EQ(RunRecorder::runs[1].commandLine, L"\"C:\\x y\\setup.exe\"");  // no trailing blank
    EXPECT_FALSE(run.inheritHandles);  // the launcher's locks stay its own
    EXPECT_EQ(run.creationFlags, 0u);
    EXPECT_FALSE(run.hasEnvironment);
    EXPECT_EQ(run.currentDirectory, L"C:\\x y");  // the folder given, not the launcher's
    EXPECT_EQ(run.startup.dwFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(run.startup.wShowWindow, SW_SHOWDEFAULT);
    EXPECT_EQ(RunRecorder::processCloses, 2);  // no process handle is leaked
}

// A program that asks for elevation is refused by CreateProcessW with 740
// and then started through the shell, which prompts for it.
SHELLEXECUTEINFOW shellStart{};
std::wstring shellFile, shellParameters, shellDirectory;

TEST(RunAndWait, ElevationRequiredFallsBackToTheShell) {
    seam::SeamScope scope;
    RunRecorder::Install();
    seam::FailWith<&WindowsApi::CreateProcessW>(BOOL{FALSE}, DWORD{740});
    Api().ShellExecuteExW = [](SHELLEXECUTEINFOW* info) WINAPI -> BOOL {
        shellStart = *info;
        shellFile = info->lpFile;
        shellParameters = info->lpParameters;
        shellDirectory = info->lpDirectory ? info->lpDirectory : L"<none>";
        info->hProcess = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        RunRecorder::processes.push_back(info->hProcess);
        return TRUE;
    };
    RunRecorder::exitCodes = {1641};
    EXPECT_EQ(RunAndWait(L"C:\\x\\setup.exe", L"/q", L"C:\\x"), 1641);
    EXPECT_EQ(shellStart.cbSize, sizeof(SHELLEXECUTEINFOW));
    EXPECT_EQ(shellStart.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_STREQ(shellStart.lpVerb, L"open");
    EXPECT_EQ(shellFile, L"C:\\x\\setup.exe");
    EXPECT_EQ(shellParameters, L"/q");
    EXPECT_EQ(shellStart.nShow, SW_SHOWDEFAULT);
    EXPECT_EQ(shellStart.hwnd, nullptr);
    EXPECT_EQ(shellDirectory, L"C:\\x");  // the same folder as CreateProcessW was given
    EXPECT_EQ(RunRecorder::processCloses, 1);
}

TEST(RunAndWait, FailuresOfStartWaitAndExitCode) {
    struct Case {
        const char* name;
        void (*install)();
        int want;
    };
    const Case cases[] = {
        {"start fails", [] { seam::FailWith<&WindowsApi::CreateProcessW>(BOOL{FALSE}, DWORD{ERROR_FILE_NOT_FOUND}); },
         ERROR_FILE_NOT_FOUND},
        {"start fails without code", [] { seam::FailWith<&WindowsApi::CreateProcessW>(BOOL{FALSE}, DWORD{0}); },
         ERROR_GEN_FAILURE},
        {"elevation asked, shell fails",
         [] {
             seam::FailWith<&WindowsApi::CreateProcessW>(BOOL{FALSE}, DWORD{740});
             seam::FailWith<&WindowsApi::ShellExecuteExW>(BOOL{FALSE}, DWORD{ERROR_CANCELLED});
         },
         ERROR_CANCELLED},
        {"elevation asked, shell gives no process",
         [] {
             seam::FailWith<&WindowsApi::CreateProcessW>(BOOL{FALSE}, DWORD{740});
             Api().ShellExecuteExW = [](SHELLEXECUTEINFOW* info) WINAPI -> BOOL { info->hProcess = nullptr; return TRUE; };
         },
         -1},
        {"wait fails", [] { seam::FailWith<&WindowsApi::WaitForSingleObject>(DWORD{WAIT_FAILED}, DWORD{6}); }, -1},
        {"wait abandoned", [] { seam::FailWith<&WindowsApi::WaitForSingleObject>(DWORD{WAIT_ABANDONED}, DWORD{0}); }, -1},
        {"exit code unreadable", [] { seam::FailWith<&WindowsApi::GetExitCodeProcess>(BOOL{FALSE}, DWORD{6}); }, -1},
    };
    for (const Case& c : cases) {
        seam::SeamScope scope;
        RunRecorder::Install();
        c.install();
        EXPECT_EQ(RunAndWait(L"C:\\x\\setup.exe", L"", L"C:\\x"), c.want) << c.name;
        EXPECT_EQ(RunRecorder::processCloses, static_cast<int>(RunRecorder::processes.size())) << c.name;
    }
}

TEST(RunAndWait, EmptyFileOrFolderStartsNothing) {
    seam::SeamScope scope;
    RunRecorder::Install();
    EXPECT_EQ(RunAndWait(CString(), L"/x", L"C:\\x"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RunAndWait(L"C:\\x\\setup.exe", L"/x", CString()), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(RunRecorder::runs.empty());
}

TEST(MsiexecPath, IsInTheSystemFolderAndEmptyWhenThatIsUnknown) {
    EXPECT_EQ(Text(MsiexecPath()), testsupport::SystemFolder() + L"\\msiexec.exe");
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::GetSystemDirectoryW>(UINT{0}, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(MsiexecPath().IsEmpty());
}

// ---- msiexec and a busy Windows Installer ------------------------------------------

// The holder of the engine's mutex in the current case, and whether it had let
// go of it when each msiexec run started.
testsupport::MutexHolder* engineHolder = nullptr;
std::vector<bool> startedAfterLetGo;
std::vector<DWORD> pauses;

TEST(RunMsiexec, WaitsForABusyEngineWithinTheRunsLimitAndRetries1618) {
    struct Case {
        const char* name;
        DWORD holdMs;  // 0: the engine is idle (no mutex)
        unsigned long waitLeft;
        std::deque<DWORD> exits;
        int want;
        std::vector<bool> afterLetGo;  // per run
        std::vector<DWORD> pauses;
    };
    const DWORD p = kEngineRetryPauseMs;
    const Case cases[] = {
        {"idle", 0, kEngineWaitLimitMs, {0}, 0, {true}, {}},
        {"busy, then free", 300, kEngineWaitLimitMs, {3010}, 3010, {true}, {}},
        {"busy past the wait left", INFINITE, 200, {0}, 0, {false}, {}},
        {"busy, no wait left", INFINITE, 0, {0}, 0, {false}, {}},
        {"1618 twice, then 0", 0, kEngineWaitLimitMs, {1618, 1618, 0}, 0, {true, true, true}, {p, p}},
        {"1618 every time", 0, kEngineWaitLimitMs, {1618, 1618, 1618, 1618, 0}, 1618,
         {true, true, true, true}, {p, p, p}},
    };
    for (const Case& c : cases) {
        seam::SeamScope scope;
        RunRecorder::Install();
        RunRecorder::exitCodes = c.exits;
        startedAfterLetGo.clear();
        pauses.clear();
        Api().CreateProcessW = [](LPCWSTR a, LPWSTR b, LPSECURITY_ATTRIBUTES c, LPSECURITY_ATTRIBUTES d, BOOL e,
                                  DWORD f, LPVOID g, LPCWSTR h, LPSTARTUPINFOW i, LPPROCESS_INFORMATION j) WINAPI {
            startedAfterLetGo.push_back(!engineHolder || engineHolder->LetGo());
            return RunRecorder::Start(a, b, c, d, e, f, g, h, i, j);
        };
        Api().Sleep = [](DWORD milliseconds) WINAPI { pauses.push_back(milliseconds); };
        std::unique_ptr<testsupport::MutexHolder> holder;
        if (c.holdMs != 0) holder.reset(new testsupport::MutexHolder(L"Global\\_MSIExecute", false, c.holdMs));
        engineHolder = holder.get();
        SetEngineWaitLeft(c.waitLeft);

        EXPECT_EQ(RunMsiexec(L"/i \"x.msi\""), c.want) << c.name;
        EXPECT_EQ(startedAfterLetGo, c.afterLetGo) << c.name;
        EXPECT_EQ(pauses, c.pauses) << c.name;
        for (const auto& run : RunRecorder::runs) {
            EXPECT_EQ(run.file, testsupport::SystemFolder() + L"\\msiexec.exe") << c.name;
            EXPECT_EQ(run.parameters, L"/i \"x.msi\"") << c.name;
        }
        // A wait that ran out leaves nothing for later starts; one that ended
        // in time leaves the rest.
        if (c.holdMs == INFINITE) {
            EXPECT_EQ(EngineWaitLeft(), 0u) << c.name;
        }
        if (c.holdMs == 300) {
            EXPECT_LT(EngineWaitLeft(), kEngineWaitLimitMs - 200) << c.name;
        }
        if (c.holdMs == 0) {
            EXPECT_EQ(EngineWaitLeft(), c.waitLeft) << c.name;
        }
        engineHolder = nullptr;
    }
    SetEngineWaitLeft(kEngineWaitLimitMs);
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
            EXPECT_EQ(run.file.rfind(Text(launcher.workingFolder.Path()), 0), 0u);  // in the working folder
            EXPECT_EQ(run.currentDirectory, Text(launcher.workingFolder.Path()));   // and started there
            EXPECT_TRUE(testsupport::Exists(run.file));
        }
    }
}

TEST_F(InstallSteps, PrerequisiteExtractionFailureRunsNothing) {
    testsupport::NotElevated();
    seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED});
    testing::internal::CaptureStdout();
    EXPECT_EQ(launcher.InstallPrerequisites(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetTempPath failed (5)\n");
    EXPECT_TRUE(RunRecorder::runs.empty());
}

// Elevated, nothing goes below the user's TEMP: the working folder and the
// run log go below the Windows folder; not elevated, both go to TEMP. The
// log lies next to the working folder, not in it; the child starts in the
// working folder either way.
std::vector<std::wstring> logsMade;

// Unelevated, TEMP may name a drive's root, whose final path ends in its
// backslash (\\?\C:\) where any other folder's does not.
TEST_F(InstallSteps, ElevationDecidesWhereTheWorkingFolderAndTheLogGo) {
    ::CreateDirectoryW(L"C:\\sub", nullptr);
    const struct {
        const char* name;
        bool elevated;
        std::wstring base;
        const wchar_t* temp;  // TMP and TEMP for the row; null: as they are
    } rows[] = {
        {"elevated", true, testsupport::ElevatedTempFolder(), L"C:\\"},
        {"not elevated", false, testsupport::UserTempFolder(), nullptr},
        {"not elevated, TEMP at a drive's root", false, L"C:\\", L"C:\\"},
        {"not elevated, TEMP below a drive's root", false, L"C:\\sub\\", L"C:\\sub"},
        {"not elevated, TEMP a root without its backslash", false, L"C:\\", L"C:"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TemporaryEnvironment tmp(L"TMP", row.temp);
        testsupport::TemporaryEnvironment temp(L"TEMP", row.temp);
        seam::SeamScope rowScope;
        RunRecorder::Install();
        ResourceHider::Install({L"VC2005_REDIST_64"});
        if (!row.elevated) testsupport::NotElevated();
        logsMade.clear();
        testsupport::ReplaceNtCreateFile([](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                            PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG fileAttributes,
                                            ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                            ULONG eaLength) NTAPI -> NTSTATUS {
            const NTSTATUS status = testsupport::realNtCreateFile(file, access, attributes, io, size, fileAttributes,
                                                                  share, disposition, options, ea, eaLength);
            const std::wstring name = testsupport::NativeName(attributes);
            if (status >= 0 && disposition == FILE_CREATE && name.find(L".log") != std::wstring::npos) {
                logsMade.push_back(testsupport::NativePath(attributes));
            }
            return status;
        });
        platform::OpenRunLog();
        platform::CloseRunLog();
        ASSERT_EQ(logsMade.size(), 1u);
        EXPECT_EQ(_wcsnicmp(logsMade[0].c_str(), row.base.c_str(), row.base.size()), 0) << logsMade[0];
        EXPECT_EQ(logsMade[0].find(L'\\', row.base.size()), std::wstring::npos) << logsMade[0];
        ::DeleteFileW(logsMade[0].c_str());

        EXPECT_EQ(launcher.InstallPrerequisites(), 0);
        const std::wstring folder = Text(launcher.workingFolder.Path());
        EXPECT_EQ(folder.rfind(row.base, 0), 0u) << folder;
        EXPECT_EQ(folder.size(), row.base.size() + 37) << folder;  // UUID and backslash
        ASSERT_EQ(RunRecorder::runs.size(), 1u);
        EXPECT_EQ(RunRecorder::runs[0].currentDirectory, folder);
        launcher.RemoveWorkingFolder();
    }
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
        for (const auto& run : RunRecorder::runs) {
            EXPECT_EQ(run.parameters, L"");
            EXPECT_EQ(run.currentDirectory, Text(launcher.workingFolder.Path()));
        }
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
        // No template: the system's msiexec, as the package's default
        // association would run it.
        EXPECT_EQ(RunRecorder::runs[0].file, testsupport::SystemFolder() + L"\\msiexec.exe");
        EXPECT_EQ(RunRecorder::runs[0].parameters, L"/i \"" + package + L"\"");
        EXPECT_EQ(RunRecorder::runs[0].currentDirectory, testsupport::SystemFolder());
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
