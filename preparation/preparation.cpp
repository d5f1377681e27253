// The preparation steps of the install sequence, configured by the build's
// settings table.
#include "preparation/preparation.h"

#include "settings/launcher_settings.h"
#include "preparation/preparation_steps.h"

int TerminateListedProcesses() {
    return preparation::TerminateProcessesNamed(LauncherSettings.processNames,
                                                LauncherSettings.processNameCount);
}

int UninstallPreviousProducts(bool isWow64) {
    // Entry i of the 64-bit list stands beside entry i of the 32-bit list;
    // only the list of the running platform is used.
    const wchar_t* const* codes =
        isWow64 ? LauncherSettings.oldProductCodes64 : LauncherSettings.oldProductCodes32;
    return preparation::RemoveRegisteredProducts(codes, LauncherSettings.oldProductCodeCount,
                                                 isWow64);
}

int SignalDeviceMonitor() {
    return preparation::SendMonitorControl(LauncherSettings.monitorServiceName);
}

bool BackupDriverSettings() {
    return preparation::BackupSettingsKey(LauncherSettings.driversKeyPath, LauncherSettings.settingsGuid);
}

bool DeleteSettingsBackup() {
    return preparation::DeleteSettingsKeyBackup(LauncherSettings.driversKeyPath,
                                                LauncherSettings.settingsGuid);
}
