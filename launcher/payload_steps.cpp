// The launcher's payload steps: writing its embedded installers into the
// working folder or the package folder, and running them.
//
// Every file is created fresh, checked to be where it was meant to be, and
// held from its creation until the child that runs it has ended: first by
// the handle that writes it, then by a read-only handle shared for reading
// only, through which its bytes are compared with the payload before the
// child starts. Its folder is held without delete sharing meanwhile, so
// neither the file nor the folder can be changed, replaced or renamed away.
#include <windows.h>

#include "launcher/installer_launcher.h"
#include "payload/install_steps.h"
#include "payload/installer_runs.h"
#include "platform/diagnostics.h"
#include "platform/run_log.h"
#include "platform/windows_api.h"
#include "settings/launcher_settings.h"

using platform::ErrorOr;
using platform::PrintFailure;

// The first Windows build on ARM64 that runs x64 code (Windows 11).
constexpr unsigned long kFirstArm64BuildRunningX64 = 22000;

namespace {

// Logs how long the steps of writing `path` took, so that a slow run's log
// shows where the time went:
//   file "<path>": written in N ms, closed and reopened in N ms, compared in N ms
// `ticks` holds GetTickCount at the start of the write and at the end of each
// step.
void LogFileTimes(const CString& path, const DWORD (&ticks)[4]) {
    static const wchar_t* const kSteps[] = {L"\": written in ", L" ms, closed and reopened in ",
                                            L" ms, compared in "};
    CString text;
    wchar_t number[16];
    for (int i = 0; i < 3; ++i) {
        text += kSteps[i];
        text += platform::DecimalText(static_cast<long>(ticks[i + 1] - ticks[i]), number);
    }
    text += L" ms";
    platform::LogLine(L"file \"", path, text);
}

}  // namespace

const payload::HeldFolder& CInstallerLauncher::TargetFolder(bool inTemporaryFolder) const {
    if (inTemporaryFolder) return workingFolder;
    return packageFolder;
}

int CInstallerLauncher::OpenWorkingFile(const CString& fileName, bool inTemporaryFolder,
                                        platform::UniqueFile& fileHandle, CString& filePath) {
    const int prepared = inTemporaryFolder ? workingFolder.Prepare() : packageFolder.Prepare();
    if (prepared != 0) return prepared;
    const payload::HeldFolder& folder = TargetFolder(inTemporaryFolder);
    filePath = folder.Path() + fileName;
    if (!folder.IsHeld()) {
        // A file stands where the product folder should be, so nothing is
        // held: a file cannot be created below a file, which Windows reports
        // as a path not found.
        PrintFailure("CreateFile", ERROR_PATH_NOT_FOUND);
        return ERROR_PATH_NOT_FOUND;
    }
    return folder.CreateFreshFile(fileName, fileHandle);
}

int CInstallerLauncher::ExtractResourceToFile(const CString& resourceName, const CString& resourceType,
                                              const CString& fileName, bool inTemporaryFolder, CString& filePath,
                                              platform::UniqueFile& lockedFile) {
    filePath.Empty();
    lockedFile.reset();
    const void* bytes = nullptr;
    DWORD size = 0;
    if (const int error = payload::LocateResource(resourceName, resourceType, bytes, size)) return error;

    platform::UniqueFile file;
    if (const int error = OpenWorkingFile(fileName, inTemporaryFolder, file, filePath)) return error;
    auto& api = platform::Api();
    DWORD ticks[4] = {api.GetTickCount()};
    if (const int error = payload::WriteWhole(file.get(), bytes, size)) {
        file.reset();
        PrintFailure("WriteFile", error);
        return error;
    }
    ticks[1] = api.GetTickCount();
    if (!file.Close()) {
        const int code = ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        PrintFailure("CloseHandle", code);
        return code;
    }

    // The writing handle is gone; from here a read-only handle, shared for
    // reading only, keeps every writer and every delete out. In the moment
    // between the two handles someone could have changed or replaced the
    // file, so it must still be the one name of a file in the held folder,
    // and hold exactly the payload's bytes.
    platform::UniqueFile locked;
    if (const int error = TargetFolder(inTemporaryFolder).OpenReadOnly(fileName, locked)) return error;
    ticks[2] = api.GetTickCount();
    if (const int error = payload::CompareFileWith(locked.get(), bytes, size)) return error;
    ticks[3] = api.GetTickCount();
    LogFileTimes(filePath, ticks);
    lockedFile = static_cast<platform::UniqueFile&&>(locked);
    return 0;
}

void CInstallerLauncher::RemoveWorkingFolder() { workingFolder.Remove(); }

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
    return RunAndWait(path, parameters, workingFolder.Path());
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
        // ARM64 Windows emulates x64 code only from Windows 11 (build 22000)
        // on; before it the x64 installer cannot start, and would stop the
        // whole installation at the gate. An unknown build counts as older.
        if (isArm64 && windowsBuild < kFirstArm64BuildRunningX64) {
            wchar_t number[16];
            platform::LogLine(L"vcredist_x64.exe skipped: ARM64 Windows before build 22000 runs no x64 code (build ",
                              platform::DecimalText(static_cast<long>(windowsBuild), number), L")");
            return 0;
        }
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
    packageFolder.Release();
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
