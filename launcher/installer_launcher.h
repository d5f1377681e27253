// The installer launcher: a windowless application that does its whole job
// in InitInstance and then ends.
#pragma once

#include <windows.h>

#include "payload/working_folder.h"
#include "platform/cstring.h"
#include "platform/handles.h"
#include "platform/win_app.h"

class CInstallerLauncher : public CWinApp {
public:
    CInstallerLauncher();
    ~CInstallerLauncher() override;

    // The install sequence: options, platform detection, the gate (runtimes,
    // and the legacy uninstallers when carried), then the main sequence.
    // Returns false on every path, so no message loop runs.
    bool InitInstance() override;

    // --- Start-up steps (installer_launcher.cpp) ---------------------------

    // Sets msiArguments from the options in the command-line text.
    void ParseLauncherCommandLine();

    // Makes or opens the named mutex of this product's runs (the prefix
    // "InstallerLauncher_" and `settingsGuid`; in the global namespace where
    // possible, else the session's) and takes it into runLock. Returns 0
    // when this run may go on: the lock is taken, was abandoned by an ended
    // run, or cannot be made or waited for at all (logged; the run then goes
    // on unguarded, as without a lock). Returns ERROR_INSTALL_ALREADY_RUNNING
    // after printing one line when another run holds it.
    int AcquireRunLock(const wchar_t* settingsGuid);

    // Lets go of the run lock, if held.
    void ReleaseRunLock();

    // Sets isWow64, isWin10, windowsBuild and isArm64 (IsWow64Process2,
    // where it exists, names ARM64 as the native machine; isWow64 is then
    // set too). When
    // IsWow64Process exists but fails, ends
    // the process at once with its error code as the exit code.
    void DetectPlatform();

    // The process exit code: 0, or with reportFailureInExitCode the result
    // that ended the run.
    int ExitInstance() override;

    // The gate before the main sequence: on ARM64 Windows without an ARM64
    // package a stop with ERROR_INSTALL_PLATFORM_UNSUPPORTED (one printed
    // line); then the optional legacy question, the
    // runtimes and the legacy uninstallers. Returns 0 when the main sequence
    // may run, else the result that stopped it (ERROR_INSTALL_USEREXIT when
    // the question was answered No). `continueAfterRuntimeFailure` lets it
    // go on after a failed runtime installation.
    int PassGate(bool continueAfterRuntimeFailure);

    // The fixed main sequence; no step's result stops it. Returns the result
    // of InstallDriverPackage.
    int RunMainSequence();

    // --- Working folder and extraction (payload_steps.cpp) -----------------

    // Makes the target folder if needed and creates the new, empty file
    // `fileName` in it: in the temporary working folder (made once per run,
    // in workingFolder; below the user's TEMP, or when elevated below the
    // Windows folder's SystemTemp or Temp) or in the shared package folder
    // below the common application-data folder (packageFolder). An older
    // file of that name is deleted first. On success `fileHandle` owns the
    // new file, open for writing and shared for reading only, and the folder
    // is held. `filePath` receives the full path on success and after a
    // failed file creation; otherwise it is left unchanged. Returns 0 or a
    // non-zero error code, printing one diagnostic line on failure.
    int OpenWorkingFile(const CString& fileName, bool inTemporaryFolder, platform::UniqueFile& fileHandle,
                        CString& filePath);

    // Writes the resource (`resourceName`, `resourceType`) of the running
    // executable whole into `fileName` (see OpenWorkingFile). `filePath` is
    // emptied first, then receives the full path once the folder is there.
    // On success `lockedFile` holds the file open read-only, shared for
    // reading only, after its bytes were found equal to the resource: keep
    // it until the child that runs the file has ended. Returns 0 or a
    // non-zero error code.
    int ExtractResourceToFile(const CString& resourceName, const CString& resourceType, const CString& fileName,
                              bool inTemporaryFolder, CString& filePath, platform::UniqueFile& lockedFile);

    // The working folder or the package folder, as `inTemporaryFolder` says.
    const payload::HeldFolder& TargetFolder(bool inTemporaryFolder) const;

    // Deletes the files directly inside the temporary working folder and the
    // folder itself, through its handle, ignoring failures; workingFolder is
    // then empty. Links in it are removed as links, never followed.
    void RemoveWorkingFolder();

    // --- Installer runs (payload_steps.cpp) --------------------------------

    // Extracts the "EXE" resource into the temporary working folder and runs
    // it with `parameters`. Returns the extraction's code or RunAndWait's.
    int RunEmbeddedExecutable(const CString& resourceName, const CString& fileName, const CString& parameters);

    // Runs the x86 runtime installer when carried and, on 64-bit Windows, the
    // x64 one (on ARM64 Windows only from build 22000 on, which runs x64
    // code; before it the x64 one is skipped with a log line); stops at the
    // first non-zero result and returns it.
    int InstallPrerequisites();

    // Runs the legacy uninstallers that are carried; the last one's result.
    int RunLegacyUninstallers();

    // Writes the driver package for this platform into the shared package
    // folder and installs it with the system's msiexec: with "/i" and the
    // quoted package path when there is no template, else with
    // msiArguments, in which every "$MSIPATH" is first replaced by the
    // quoted package path. The package and its folder are held until
    // msiexec has ended.
    int InstallDriverPackage();
    // InstallDriverPackage but for letting go of the package folder.
    int WriteAndRunDriverPackage();

    bool isWow64 = false;   // on 64-bit Windows: a 32-bit process under WOW64, or the x64 build
    CString msiArguments;   // msiexec argument template from the options
    bool isWin10 = false;   // Windows 10 or later
    bool isArm64 = false;   // ARM64 Windows (emulating this process); isWow64 is then true too
    unsigned long windowsBuild = 0;  // Windows' build number, 0 when unknown

    int exitCode = 0;       // what ExitInstance reports

    // The folders, held without delete sharing while their files are in use:
    // the working folder (path with trailing "\", or empty) from its
    // creation to its removal, the package folder while the package is
    // written and run.
    payload::WorkingFolder workingFolder;
    payload::PackageFolder packageFolder;

    // The run lock, held from AcquireRunLock to the end of the run.
    platform::UniqueHandle runLock;
};
