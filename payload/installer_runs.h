// Starting installers as child processes and waiting for them.
#pragma once

#include "platform/cstring.h"

// Starts `file` through the shell's "open" action with `parameters` (may be
// empty) and waits, without a time limit, for the child to end. The child
// starts in the caller's current folder. Returns the child's exit code; a
// Windows error code when the shell cannot start it (or `file` is empty);
// -1 when the shell gives no process handle, the wait fails or the exit code
// cannot be read. The process handle is closed before returning.
int RunAndWait(const CString& file, const CString& parameters);

// Full path of the Windows Installer engine: the system folder followed by
// "\msiexec.exe". Starting the engine by its full path keeps a file named
// msiexec.exe in the current folder from running in its place. Empty when
// the system folder cannot be read; RunAndWait then starts nothing.
CString MsiexecPath();
