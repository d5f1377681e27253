// Interim definition of the build settings until they are generated from JSON.
#include "launcher/launcher_settings.h"

const LauncherSettingsTable LauncherSettings = {
    L"Software\\Corvane\\Audio\\Drivers",
    L"{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}",
    L"TolvexOrvikAudioDevMon",
    L"Corvane\\Installers",
    L"TolvexOrvik",
    L"CorvaneInstaller.msi",
    nullptr,
    nullptr,
    0,
    nullptr,
    0,
    false,
    false,
};
