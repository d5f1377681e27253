// The preparation steps of the install sequence, configured by the build's
// settings table.
#include "preparation/preparation.h"

#include "settings/launcher_settings.h"
#include "preparation/preparation_steps.h"

namespace preparation {

std::vector<std::wstring> ListFromSettings(const wchar_t* const* entries, int count) {
    std::vector<std::wstring> list;
    if (entries == nullptr || count <= 0) return list;
    for (int i = 0; i < count; ++i) {
        if (entries[i] != nullptr) list.emplace_back(entries[i]);
    }
    return list;
}

}  // namespace preparation

int TerminateListedProcesses() {
    return preparation::TerminateProcessesNamed(
        preparation::ListFromSettings(LauncherSettings.processNames, LauncherSettings.processNameCount));
}

int UninstallPreviousProducts(bool isWow64) {
    // Entry i of the 64-bit list stands beside entry i of the 32-bit list;
    // only the list of the running platform is used.
    const wchar_t* const* codes =
        isWow64 ? LauncherSettings.oldProductCodes64 : LauncherSettings.oldProductCodes32;
    return preparation::RemoveRegisteredProducts(
        preparation::ListFromSettings(codes, LauncherSettings.oldProductCodeCount), isWow64);
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
