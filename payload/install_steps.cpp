#include "payload/install_steps.h"

#include <windows.h>

#include "launcher/installer_launcher.h"
#include "settings/launcher_settings.h"
#include "payload/installer_runs.h"
#include "platform/windows_api.h"

namespace payload {

bool IsQuietMode(const CString& msiArguments) {
    return !msiArguments.IsEmpty() && msiArguments.Find(L"/quiet") >= 0;
}

RuntimeParameters ChooseRuntimeParameters(const CString& msiArguments, bool useLegacyRuntimeArguments) {
    if (useLegacyRuntimeArguments) {
        return {L"/q:a /c:\"vcredist_x86.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \"",
                L"/q:a /c:\"vcredist_x64.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \""};
    }
    const wchar_t* const both = IsQuietMode(msiArguments) ? L"/q /norestart" : L"/passive /norestart";
    return {both, both};
}

bool ResourceCarried(const wchar_t* name, const wchar_t* type) {
    auto& api = platform::Api();
    return api.FindResourceW(api.GetModuleHandleW(nullptr), name, type) != nullptr;
}

bool ExecutableResourceCarried(const wchar_t* name) { return ResourceCarried(name, L"EXE"); }

const wchar_t* DriverPackageResource(bool isWow64, bool isWin10, bool isArm64) {
    if (isArm64) return L"MSI_WIN10_ARM64";
    if (isWow64) return isWin10 ? L"MSI_WIN10_64" : L"MSI64";
    return isWin10 ? L"MSI_WIN10_32" : L"MSI32";
}

}  // namespace payload

int CInstallerLauncher::RunEmbeddedExecutable(const CString& resourceName, const CString& fileName,
                                              const CString& parameters) {
    CString path;
    platform::UniqueFile locked;
    const int extracted = ExtractResourceToFile(resourceName, L"EXE", fileName, true, path, locked);
    if (extracted != 0) return extracted;
    // Held, unchangeable, until the child has ended; the file then stays in
    // the working folder until RemoveWorkingFolder. The child starts there
    // too: a self-extractor or an old uninstaller looks for DLLs in its
    // current folder, and only administrators can change this one.
    return RunAndWait(path, parameters, workingFolder);
}

int CInstallerLauncher::InstallPrerequisites() {
    // Decided once, before either runtime runs, and applied to both.
    const payload::RuntimeParameters parameters =
        payload::ChooseRuntimeParameters(msiArguments, LauncherSettings.useLegacyRuntimeArguments);

    if (payload::ExecutableResourceCarried(L"VC2005_REDIST_32")) {
        const int result = RunEmbeddedExecutable(L"VC2005_REDIST_32", L"vcredist_x86.exe", parameters.x86);
        if (result != 0) return result;
    }
    if (isWow64 && payload::ExecutableResourceCarried(L"VC2005_REDIST_64")) {
        return RunEmbeddedExecutable(L"VC2005_REDIST_64", L"vcredist_x64.exe", parameters.x64);
    }
    return 0;
}

int CInstallerLauncher::RunLegacyUninstallers() {
    // Both run when both are carried; the second result replaces the first.
    int result = 0;
    if (payload::ExecutableResourceCarried(L"UNINST")) {
        result = RunEmbeddedExecutable(L"UNINST", L"qx_isu.exe", CString());
    }
    if (payload::ExecutableResourceCarried(L"UNINST2")) {
        result = RunEmbeddedExecutable(L"UNINST2", L"qx_isu2.exe", CString());
    }
    return result;
}

int CInstallerLauncher::InstallDriverPackage() {
    const int result = WriteAndRunDriverPackage();
    // The package stays in its folder after the run; the folder is let go.
    packageFolderLock.reset();
    return result;
}

int CInstallerLauncher::WriteAndRunDriverPackage() {
    CString packagePath;
    platform::UniqueFile locked;  // held until msiexec has ended
    const int extracted = ExtractResourceToFile(payload::DriverPackageResource(isWow64, isWin10, isArm64), L"MSI",
                                                LauncherSettings.packageFileName, false, packagePath, locked);
    if (extracted != 0) return extracted;

    // Without a template the package is installed with its full user
    // interface, as the default association of a package would run it, but
    // by the system's own msiexec: a per-user association cannot decide
    // what the elevated launcher starts.
    // RunMsiexec waits for a busy Windows Installer first and starts msiexec
    // in the system folder.
    if (msiArguments.IsEmpty()) return RunMsiexec(L"/i \"" + packagePath + L"\"");

    // The template serves one run: afterwards it holds the substituted text.
    msiArguments.Replace(L"$MSIPATH", L"\"" + packagePath + L"\"");
    return RunMsiexec(msiArguments);
}
