// The build's configuration: constants fixed when the launcher is built.
//
// The values come from one JSON file (resources/launcher_settings.json by
// default, or the file named by the CMake cache variable LAUNCHER_SETTINGS),
// from which the build generates the definition of `LauncherSettings`.
// Nothing changes them at run time.
#pragma once

#include <cstdint>

struct LauncherSettingsTable {
    const wchar_t* driversKeyPath;        // below HKEY_LOCAL_MACHINE
    const wchar_t* settingsGuid;          // "{...}", 38 characters
    const wchar_t* monitorServiceName;    // service name, not display name
    const wchar_t* installersFolderName;  // relative to the common app-data folder
    const wchar_t* productFolderName;     // one folder below the installers folder
    const wchar_t* packageFileName;       // file name of the written driver package
    const wchar_t* const* oldProductCodes32;
    const wchar_t* const* oldProductCodes64;  // entry i pairs with entry i above
    std::int32_t oldProductCodeCount;         // 0 or less: empty lists
    const wchar_t* const* processNames;       // image names with extension
    std::int32_t processNameCount;            // 0 or less: empty list
    bool useLegacyRuntimeArguments;
    bool continueAfterRuntimeFailure;
    bool reportFailureInExitCode;  // the exit code reports the gate's stop or the package run's result
    bool enforceRedirectionTrust;  // elevated, no junction made by a non-administrator is followed
};

extern const LauncherSettingsTable LauncherSettings;
