#include "launcher/installer_launcher.h"

#include <cstdlib>

#include "launcher/command_line_options.h"
#include "settings/launcher_settings.h"
#include "payload/install_steps.h"
#include "platform/diagnostics.h"
#include "platform/run_log.h"
#include "platform/string_resource.h"
#include "platform/windows_api.h"
#include "preparation/preparation.h"

namespace {

// String ids of the question asked before the legacy uninstallers run.
constexpr UINT kLegacyQuestionText = 500;
constexpr UINT kLegacyQuestionTitle = 501;

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

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
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    platform::Api().InitCommonControlsEx(&controls);

    CWinApp::InitInstance();
    platform::LogLine(L"command line: ", platform::Api().GetCommandLineW());
    ParseLauncherCommandLine();
    DetectPlatform();
    platform::LogLine(L"platform: ", isWow64 ? L"64-bit Windows" : L"32-bit Windows",
                      isWin10 ? L", Windows 10 or later" : L", before Windows 10");
    const int stopped = PassGate(LauncherSettings.continueAfterRuntimeFailure);
    const int result = stopped != 0 ? stopped : RunMainSequence();
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
    } else if (const auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(
                   api.GetProcAddress(api.GetModuleHandleW(L"kernel32"), "IsWow64Process")));
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

    // The manifest declares Windows 10, so the true major version is seen.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    isWin10 = api.GetVersionExW(&version) && version.dwMajorVersion >= 10;
}

int CInstallerLauncher::PassGate(bool continueAfterRuntimeFailure) {
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
