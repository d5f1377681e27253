#include "launcher/installer_launcher.h"

#include <cstdlib>
#include <utility>

#include "launcher/command_line_options.h"
#include "settings/launcher_settings.h"
#include "payload/file_guard.h"
#include "payload/install_steps.h"
#include "platform/diagnostics.h"
#include "platform/elevation.h"
#include "platform/run_log.h"
#include "platform/string_resource.h"
#include "platform/system_functions.h"
#include "platform/windows_api.h"
#include "preparation/preparation.h"

namespace {

// String ids of the question asked before the legacy uninstallers run.
constexpr UINT kLegacyQuestionText = 500;
constexpr UINT kLegacyQuestionTitle = 501;

// IMAGE_FILE_MACHINE_ARM64, which older headers do not define.
constexpr USHORT kMachineArm64 = 0xAA64;

// The run lock's name: this prefix and the settings GUID, so that launchers
// of other products never stand in each other's way.
constexpr wchar_t kRunLockPrefix[] = L"InstallerLauncher_";
constexpr wchar_t kGlobalNamespace[] = L"Global\\";
// Its access list: SYSTEM and Administrators all rights, everyone else the
// right to wait on it and, once holding it, to let it go
// (SYNCHRONIZE | MUTEX_MODIFY_STATE).
constexpr wchar_t kRunLockSecurity[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;WD)";

// Asks whether to go on when the build carries both strings of the legacy
// question; without them the answer counts as yes. Returns 0 to go on,
// ERROR_INSTALL_USEREXIT for any other answer, or the error of a box that
// could not be shown.
int AskLegacyQuestion() {
    CString text;
    CString title;
    const bool haveText = LoadStringResource(kLegacyQuestionText, text);
    const bool haveTitle = LoadStringResource(kLegacyQuestionTitle, title);
    if (!haveText || !haveTitle) {
        platform::LogLine(L"legacy question: not asked (its text or title is missing)");
        return 0;
    }
    // No owner window: the launcher has none. A failing box returns 0.
    const int answer = platform::Api().MessageBoxW(nullptr, text, title, MB_YESNO);
    if (answer == 0) {
        const int code = platform::ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        platform::PrintFailure("MessageBox", code);
        return code;
    }
    platform::LogLine(L"legacy question: answered ", answer == IDYES ? L"yes" : L"no");
    return answer == IDYES ? 0 : ERROR_INSTALL_USEREXIT;
}

// Logs "step <name>: <result>" and returns the result.
int Logged(const wchar_t* step, int result) {
    wchar_t number[16];
    platform::LogLine(L"step ", step, L": ", platform::DecimalText(result, number));
    return result;
}

}  // namespace

CInstallerLauncher::CInstallerLauncher() : CWinApp(nullptr) {}

CInstallerLauncher::~CInstallerLauncher() = default;

bool CInstallerLauncher::InitInstance() {
    // First: whatever follows, the children included, follows no junction
    // a non-administrator made.
    platform::EnforceRedirectionTrust(LauncherSettings.enforceRedirectionTrust);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    platform::Api().InitCommonControlsEx(&controls);

    CWinApp::InitInstance();
    platform::TurnOffVirtualization();
    platform::LogLine(L"command line: ", platform::Api().GetCommandLineW());
    ParseLauncherCommandLine();
    // A second run stops here, before anything is changed: both would end
    // the same processes and share one settings backup.
    int result = AcquireRunLock(LauncherSettings.settingsGuid);
    if (result == 0) {
        DetectPlatform();
        platform::LogLine(L"platform: ",
                          isArm64 ? L"ARM64 Windows" : isWow64 ? L"64-bit Windows" : L"32-bit Windows",
                          isWin10 ? L", Windows 10 or later" : L", before Windows 10");
        const int stopped = PassGate(LauncherSettings.continueAfterRuntimeFailure);
        result = stopped != 0 ? stopped : RunMainSequence();
        ReleaseRunLock();
    }
    // Deployment tools read the exit code; by default it is 0 whatever
    // happened, as callers of earlier builds expect.
    exitCode = LauncherSettings.reportFailureInExitCode ? result : 0;
    return false;
}

int CInstallerLauncher::ExitInstance() { return exitCode; }

void CInstallerLauncher::ParseLauncherCommandLine() { ParseLauncherOptions(CommandLine(), msiArguments); }

void CInstallerLauncher::DetectPlatform() {
    auto& api = platform::Api();

    BOOL wow64 = FALSE;
    if (sizeof(void*) == 8) {
        // The x64 build runs on 64-bit Windows by construction; IsWow64Process
        // would answer no for a 64-bit process, so it is not asked.
        wow64 = TRUE;
    } else if (const auto isWow64Process = platform::FindFunction<platform::IsWow64ProcessFunction>(
                   api.GetModuleHandleW(L"kernel32"), "IsWow64Process");
               isWow64Process && !isWow64Process(api.GetCurrentProcess(), &wow64)) {
        // Not knowing the platform, the launcher cannot pick a package; it
        // ends with the error as its exit code (never 0, which reads as a
        // normal end).
        const int code = platform::ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        platform::PrintFailure("IsWow64Process", code);
        platform::LogExitCode(code);
        std::exit(code);
    }
    isWow64 = wow64 != FALSE;

    // A 32-bit (or x64) process on ARM64 Windows runs emulated and sees an
    // x86 or x64 system; only IsWow64Process2 names the real machine. Where
    // it is missing or fails, the answer above stands.
    isArm64 = false;
    const auto isWow64Process2 = platform::FindFunction<platform::IsWow64Process2Function>(
        api.GetModuleHandleW(L"kernel32"), "IsWow64Process2");
    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    if (isWow64Process2 && isWow64Process2(api.GetCurrentProcess(), &processMachine, &nativeMachine) &&
        nativeMachine == kMachineArm64) {
        // A 64-bit Windows: the x64 runtimes and the 64-bit lists and
        // registry view apply, as on x64 Windows.
        isArm64 = true;
        isWow64 = true;
    }

    // The manifest declares Windows 10, so the true major version is seen.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    isWin10 = api.GetVersionExW(&version) && version.dwMajorVersion >= 10;
    windowsBuild = version.dwBuildNumber;  // stays 0 when the query fails
}

int CInstallerLauncher::PassGate(bool continueAfterRuntimeFailure) {
    // The x64 driver cannot load on ARM64 Windows: without a package of its
    // own the run ends before anything is installed or removed.
    if (isArm64 && !payload::ResourceCarried(payload::DriverPackageResource(isWow64, isWin10, isArm64), L"MSI")) {
        platform::PrintLine("This system is ARM64 Windows; this installer carries no package for it");
        return ERROR_INSTALL_PLATFORM_UNSUPPORTED;
    }

    const bool legacyGate = payload::ExecutableResourceCarried(L"UNINST");
    if (legacyGate) {
        if (const int answer = AskLegacyQuestion()) return answer;
    }

    const int runtimes = Logged(L"InstallPrerequisites", InstallPrerequisites());
    if (runtimes != 0 && !continueAfterRuntimeFailure) return runtimes;

    // The runtimes are installed before the legacy uninstallers run.
    if (legacyGate) {
        if (const int uninstalled = Logged(L"RunLegacyUninstallers", RunLegacyUninstallers())) return uninstalled;
    }
    return 0;
}

int CInstallerLauncher::RunMainSequence() {
    // The settings backup exists exactly while the package runs, and the
    // working folder goes last, after every step that may write into it.
    Logged(L"TerminateListedProcesses", TerminateListedProcesses());
    Logged(L"UninstallPreviousProducts", UninstallPreviousProducts(isWow64));
    Logged(L"SignalDeviceMonitor", SignalDeviceMonitor());
    Logged(L"BackupDriverSettings", BackupDriverSettings());
    const int package = Logged(L"InstallDriverPackage", InstallDriverPackage());
    Logged(L"DeleteSettingsBackup", DeleteSettingsBackup());
    RemoveWorkingFolder();
    platform::LogLine(L"step RemoveWorkingFolder: done");
    return package;
}

int CInstallerLauncher::AcquireRunLock(const wchar_t* settingsGuid) {
    auto& api = platform::Api();
    const CString name = CString(kRunLockPrefix) + settingsGuid;
    const CString globalName = kGlobalNamespace + name;

    // One lock for every session. Every user may wait on it (and release
    // it once holding it), so an unelevated run sees an elevated one's lock;
    // nobody but SYSTEM and Administrators may do more. Made with the
    // default list where that list cannot be made.
    platform::UniqueLocal descriptor;
    payload::MakeSecurityDescriptor(kRunLockSecurity, descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    platform::UniqueHandle lock(api.CreateMutexW(&security, FALSE, globalName));
    if (!lock) {
        wchar_t number[16];
        const DWORD globalError = GetLastError();
        // Refused: either the lock exists and was made with rights this
        // process lacks, which is opened just to wait on it, or the global
        // namespace takes nothing from this process.
        lock.reset(api.OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, globalName));
        if (!lock && GetLastError() == ERROR_ACCESS_DENIED) {
            // It exists but cannot be opened: another run holds it.
            platform::PrintLine("Another run of this installer is in progress");
            return ERROR_INSTALL_ALREADY_RUNNING;
        }
        if (!lock) {
            // No global lock at all here: one for this session alone.
            lock.reset(api.CreateMutexW(nullptr, FALSE, name));
            if (!lock) {
                const DWORD error = GetLastError();
                platform::LogLine(L"run lock: not made (", platform::DecimalText(static_cast<long>(error), number),
                                  L"), the run goes on without it");
                return 0;
            }
            platform::LogLine(L"run lock: in this session only (the global one gave ",
                              platform::DecimalText(static_cast<long>(globalError), number), L")");
        }
    }

    // A lock left by a run that ended without letting go (it crashed or was
    // ended) is free: Windows hands it over as abandoned.
    const DWORD waited = api.WaitForSingleObject(lock.get(), 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        if (waited == WAIT_ABANDONED) platform::LogLine(L"run lock: taken over from a run that ended without it");
        runLock = std::move(lock);
        return 0;
    }
    if (waited == WAIT_TIMEOUT) {
        platform::PrintLine("Another run of this installer is in progress");
        return ERROR_INSTALL_ALREADY_RUNNING;
    }
    wchar_t number[16];
    platform::LogLine(L"run lock: not taken (",
                      platform::DecimalText(static_cast<long>(platform::ErrorOr(GetLastError(), ERROR_GEN_FAILURE)),
                                            number),
                      L"), the run goes on without it");
    return 0;
}

void CInstallerLauncher::ReleaseRunLock() {
    if (runLock) platform::Api().ReleaseMutex(runLock.get());
    runLock.reset();
}
