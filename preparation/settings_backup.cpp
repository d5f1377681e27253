// Keeping a copy of the driver settings key around the package run.
//
// Every key here is below HKEY_LOCAL_MACHINE in this 32-bit process's own
// view: on 64-bit Windows that is the 32-bit view, whatever the 64-bit view
// holds under the same path.
#include "preparation/preparation_steps.h"
#include "registry/registry_key.h"

namespace preparation {

CString SettingsKeyPath(const wchar_t* driversKeyPath, const wchar_t* settingsGuid) {
    return CString(driversKeyPath) + L'\\' + settingsGuid;
}

CString BackupKeyPath(const wchar_t* driversKeyPath, const wchar_t* settingsGuid) {
    return CString(driversKeyPath) + L'\\' + kBackupKeyPrefix + settingsGuid;
}

bool BackupSettingsKey(const wchar_t* driversKeyPath, const wchar_t* settingsGuid) {
    // Opening with write access creates a missing settings key, so a run
    // without settings leaves an empty key (and an empty backup of it).
    Qx::RegistryKey settings(SettingsKeyPath(driversKeyPath, settingsGuid), Qx::LocalMachine, false);
    if (settings.Open(false) < 0) return false;
    // The copy merges onto a backup left by an interrupted earlier run and
    // goes on past single failures; any failure makes the result false.
    return settings.CopyTreeTo(BackupKeyPath(driversKeyPath, settingsGuid)) >= 0;
}

bool DeleteSettingsKeyBackup(const wchar_t* driversKeyPath, const wchar_t* settingsGuid) {
    Qx::RegistryKey drivers(driversKeyPath, Qx::LocalMachine, false);
    if (drivers.Open(false) < 0) return false;
    // Test first: deleting a missing subkey would create it on the way.
    if (!Qx::RegistryKey::KeyExists(BackupKeyPath(driversKeyPath, settingsGuid))) return true;
    return drivers.DeleteSubKeyTree(CString(kBackupKeyPrefix) + settingsGuid) >= 0;
}

}  // namespace preparation
