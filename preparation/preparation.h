// The steps that clear the way for the driver package: they open the main
// install sequence and bracket the package run. Their results are for tests
// and diagnostics; the install sequence ignores them.
#pragma once

// Ends every running process whose image name is listed; returns how many
// processes were ended.
int TerminateListedProcesses();

// Removes every listed older product that is registered; returns how many
// removals failed. `isWow64` picks the 64-bit list and registry view.
int UninstallPreviousProducts(bool isWow64);

// Sends the device-monitor service control code 128; 0 if delivered, else -1.
int SignalDeviceMonitor();

// Copies the driver settings key to its backup sibling; true if all was copied.
bool BackupDriverSettings();

// Deletes the backup sibling; true if it is gone (or never existed).
bool DeleteSettingsBackup();
