// The list-driven forms of the preparation steps. The public steps of
// preparation.h read their names and lists from LauncherSettings and call
// these; tests call them with lists and key paths of their own.
#pragma once

#include <string>
#include <vector>

namespace preparation {

// Control code sent to the device-monitor service: the first code of the
// range that Windows hands to a service's own handler (not a stop request).
constexpr unsigned long kMonitorControlCode = 128;

// Prefix of the backup key's name; the settings GUID follows it.
constexpr const wchar_t kBackupKeyPrefix[] = L"SettingsBackup_";

// Uninstall registrations of installed products, below HKEY_LOCAL_MACHINE;
// a product code is appended directly.
constexpr const wchar_t kUninstallKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// The first `count` entries of a settings list (none when count <= 0 or the
// list is missing). Missing entries are left out rather than dereferenced.
std::vector<std::wstring> ListFromSettings(const wchar_t* const* entries, int count);

// Ends every running process whose image name equals one of `imageNames`
// exactly (same UTF-16 code units, no case folding, no folder). Returns the
// number of processes for which TerminateProcess succeeded.
int TerminateProcessesNamed(const std::vector<std::wstring>& imageNames);

// For each code whose uninstall key exists (in the 64-bit view when
// `isWow64`), runs "msiexec /passive /X <code>" from the system folder and
// waits for it. Returns the number of runs that did not end with code 0.
int RemoveRegisteredProducts(const std::vector<std::wstring>& productCodes, bool isWow64);

// Sends kMonitorControlCode to the named service; 0 if it was accepted, -1
// for no manager access, no such service, or a refused control.
int SendMonitorControl(const std::wstring& serviceName);

// The settings key and its backup sibling below HKEY_LOCAL_MACHINE, both in
// the 32-bit view: "<driversKeyPath>\<guid>" and
// "<driversKeyPath>\SettingsBackup_<guid>".
std::wstring SettingsKeyPath(const std::wstring& driversKeyPath, const std::wstring& settingsGuid);
std::wstring BackupKeyPath(const std::wstring& driversKeyPath, const std::wstring& settingsGuid);

// Opens (or creates) the settings key and copies its whole tree onto the
// backup key; true if the key opened and everything was copied.
bool BackupSettingsKey(const std::wstring& driversKeyPath, const std::wstring& settingsGuid);

// Opens (or creates) the Drivers key and deletes the backup key if it exists;
// true if the Drivers key opened and no backup key is left.
bool DeleteSettingsKeyBackup(const std::wstring& driversKeyPath, const std::wstring& settingsGuid);

}  // namespace preparation
