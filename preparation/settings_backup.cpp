// Keeping a copy of the driver settings key around the package run.
//
// Every key here is below HKEY_LOCAL_MACHINE in the 32-bit view, named
// explicitly: the 32-bit launcher's own view, which the x64 build must reach
// too. On 64-bit Windows the 64-bit view may hold another key of the same
// path; it is never touched.
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
    Qx::RegistryKey settings(SettingsKeyPath(driversKeyPath, settingsGuid), Qx::LocalMachine, Qx::View32);
    if (settings.Open(false) < 0) return false;
    // The copy merges onto a backup left by an interrupted earlier run and
    // goes on past single failures; any failure makes the result false.
    return settings.CopyTreeTo(BackupKeyPath(driversKeyPath, settingsGuid)) >= 0;
}

bool DeleteSettingsKeyBackup(const wchar_t* driversKeyPath, const wchar_t* settingsGuid) {
    Qx::RegistryKey drivers(driversKeyPath, Qx::LocalMachine, Qx::View32);
    if (drivers.Open(false) < 0) return false;
    // Test first: deleting a missing subkey would create it on the way.
    if (!Qx::RegistryKey::KeyExists(BackupKeyPath(driversKeyPath, settingsGuid), Qx::View32)) return true;
    return drivers.DeleteSubKeyTree(CString(kBackupKeyPrefix) + settingsGuid) >= 0;
}

}  // namespace preparation
