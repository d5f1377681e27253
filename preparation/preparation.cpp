// Placeholders until the preparation steps are built: each does nothing.
#include "preparation/preparation.h"

int TerminateListedProcesses() { return 0; }
int UninstallPreviousProducts(bool) { return 0; }
int SignalDeviceMonitor() { return -1; }
bool BackupDriverSettings() { return false; }
bool DeleteSettingsBackup() { return false; }
