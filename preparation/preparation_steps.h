// The list-driven forms of the preparation steps. The public steps of
// preparation.h read their names and lists from LauncherSettings and call
// these; tests call them with lists and key paths of their own.
//
// A list is an array of `count` wide strings, as in the settings table: none
// when count <= 0 or the array is missing, and a missing (null) entry is
// passed over rather than dereferenced.
#pragma once

#include "platform/cstring.h"

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

// Ends every running process whose image name equals one of the `count`
// `imageNames` exactly (same UTF-16 code units, no case folding, no folder),
// and waits for each to be gone before going on: at most 5 s each and 15 s
// for all, and the log says how long. Returns the number of processes for
// which TerminateProcess succeeded.
int TerminateProcessesNamed(const wchar_t* const* imageNames, int count);

// For each of the `count` product codes whose uninstall key exists (in the
// 64-bit view when `isWow64`), runs "msiexec /passive /X <code>" from the
// system folder and waits for it (RunMsiexec: after waiting for a busy
// Windows Installer, and again after a 1618). Returns the number of runs
// that did not end with code 0.
int RemoveRegisteredProducts(const wchar_t* const* productCodes, int count, bool isWow64);

// Sends kMonitorControlCode to the named service; 0 if it was accepted, -1
// for no manager access, no such service, or a refused control.
int SendMonitorControl(const wchar_t* serviceName);

// The settings key and its backup sibling below HKEY_LOCAL_MACHINE, both in
// the 32-bit view: "<driversKeyPath>\<guid>" and
// "<driversKeyPath>\SettingsBackup_<guid>".
CString SettingsKeyPath(const wchar_t* driversKeyPath, const wchar_t* settingsGuid);
CString BackupKeyPath(const wchar_t* driversKeyPath, const wchar_t* settingsGuid);

// Opens (or creates) the settings key and copies its whole tree onto the
// backup key; true if the key opened and everything was copied.
bool BackupSettingsKey(const wchar_t* driversKeyPath, const wchar_t* settingsGuid);

// Opens (or creates) the Drivers key and deletes the backup key if it exists;
// true if the Drivers key opened and no backup key is left.
bool DeleteSettingsKeyBackup(const wchar_t* driversKeyPath, const wchar_t* settingsGuid);

}  // namespace preparation
