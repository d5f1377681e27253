// Keeping a copy of the driver settings key around the package run.
//
// Every key here is below HKEY_LOCAL_MACHINE in this 32-bit process's own
// view: on 64-bit Windows that is the 32-bit view, whatever the 64-bit view
// holds under the same path.
#include "preparation/preparation_steps.h"
#include "registry/registry_key.h"

namespace preparation {

std::wstring SettingsKeyPath(const std::wstring& driversKeyPath, const std::wstring& settingsGuid) {
    return driversKeyPath + L"\\" + settingsGuid;
}

std::wstring BackupKeyPath(const std::wstring& driversKeyPath, const std::wstring& settingsGuid) {
    return driversKeyPath + L"\\" + kBackupKeyPrefix + settingsGuid;
}

bool BackupSettingsKey(const std::wstring& driversKeyPath, const std::wstring& settingsGuid) {
    // Opening with write access creates a missing settings key, so a run
    // without settings leaves an empty key (and an empty backup of it).
    Qx::RegistryKey settings(SettingsKeyPath(driversKeyPath, settingsGuid).c_str(), Qx::LocalMachine, false);
    if (settings.Open(false) < 0) return false;
    // The copy merges onto a backup left by an interrupted earlier run and
    // goes on past single failures; any failure makes the result false.
    return settings.CopyTreeTo(BackupKeyPath(driversKeyPath, settingsGuid).c_str()) >= 0;
}

bool DeleteSettingsKeyBackup(const std::wstring& driversKeyPath, const std::wstring& settingsGuid) {
    Qx::RegistryKey drivers(driversKeyPath.c_str(), Qx::LocalMachine, false);
    if (drivers.Open(false) < 0) return false;
    // Test first: deleting a missing subkey would create it on the way.
    if (!Qx::RegistryKey::KeyExists(BackupKeyPath(driversKeyPath, settingsGuid).c_str())) return true;
    return drivers.DeleteSubKeyTree((kBackupKeyPrefix + settingsGuid).c_str()) >= 0;
}

}  // namespace preparation
