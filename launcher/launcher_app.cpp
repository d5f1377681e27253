// The program's one application object, constructed before the entry
// routine runs. Linked only into the executable.
#include "launcher/installer_launcher.h"

CInstallerLauncher theApp;
