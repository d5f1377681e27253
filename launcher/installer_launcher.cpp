#include "launcher/installer_launcher.h"

#include <cstdlib>

#include "launcher/command_line_options.h"
#include "settings/launcher_settings.h"
#include "payload/install_steps.h"
#include "platform/string_resource.h"
#include "platform/windows_api.h"
#include "preparation/preparation.h"

namespace {

// String ids of the question asked before the legacy uninstallers run.
constexpr UINT kLegacyQuestionText = 500;
constexpr UINT kLegacyQuestionTitle = 501;

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// Asks whether to go on when the build carries both strings of the legacy
// question; without them the answer counts as yes.
bool LegacyUninstallConfirmed() {
    CString text;
    CString title;
    const bool haveText = LoadStringResource(kLegacyQuestionText, text);
    const bool haveTitle = LoadStringResource(kLegacyQuestionTitle, title);
    if (!haveText || !haveTitle) return true;
    // No owner window: the launcher has none. A failing box returns 0.
    return platform::Api().MessageBoxW(nullptr, text, title, MB_YESNO) == IDYES;
}

}  // namespace

CInstallerLauncher::CInstallerLauncher() : CWinApp(nullptr) {}

CInstallerLauncher::~CInstallerLauncher() = default;

bool CInstallerLauncher::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    platform::Api().InitCommonControlsEx(&controls);

    CWinApp::InitInstance();
    ParseLauncherCommandLine();
    DetectPlatform();
    if (PassGate(LauncherSettings.continueAfterRuntimeFailure)) RunMainSequence();
    return false;
}

void CInstallerLauncher::ParseLauncherCommandLine() { ParseLauncherOptions(CommandLine(), msiArguments); }

void CInstallerLauncher::DetectPlatform() {
    auto& api = platform::Api();

    BOOL wow64 = FALSE;
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
        reinterpret_cast<void*>(api.GetProcAddress(api.GetModuleHandleW(L"kernel32"), "IsWow64Process")));
    if (isWow64Process && !isWow64Process(api.GetCurrentProcess(), &wow64)) {
        // Not knowing the platform, the launcher cannot pick a package; it
        // ends with the error as its exit code (never 0, which reads as a
        // normal end).
        const DWORD error = GetLastError();
        std::exit(error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE);
    }
    isWow64 = wow64 != FALSE;

    // The manifest declares Windows 10, so the true major version is seen.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    isWin10 = api.GetVersionExW(&version) && version.dwMajorVersion >= 10;
}

bool CInstallerLauncher::PassGate(bool continueAfterRuntimeFailure) {
    const bool legacyGate = payload::ExecutableResourceCarried(L"UNINST");
    if (legacyGate && !LegacyUninstallConfirmed()) return false;

    if (InstallPrerequisites() != 0 && !continueAfterRuntimeFailure) return false;

    // The runtimes are installed before the legacy uninstallers run.
    if (legacyGate && RunLegacyUninstallers() != 0) return false;
    return true;
}

void CInstallerLauncher::RunMainSequence() {
    // The settings backup exists exactly while the package runs, and the
    // working folder goes last, after every step that may write into it.
    TerminateListedProcesses();
    UninstallPreviousProducts(isWow64);
    SignalDeviceMonitor();
    BackupDriverSettings();
    InstallDriverPackage();
    DeleteSettingsBackup();
    RemoveWorkingFolder();
}
