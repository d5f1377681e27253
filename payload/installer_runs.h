// Starting installers as child processes and waiting for them.
#pragma once

#include "platform/cstring.h"

// Starts the program `file` (a full path) with `parameters` (may be empty)
// in the folder `folder`, and waits, without a time limit, for it to end.
// The child gets the command line the shell would give it: `file` in double
// quotes, then a blank and the parameters when there are any. It inherits
// no handle. The folder is one only administrators can change (the working
// folder, the system folder), never the launcher's own current folder, which
// is usually the user's downloads and would let a DLL planted there load
// into an elevated child. Only a program that asks for elevation, which
// CreateProcessW refuses, is started through the shell instead, so that it
// still gets its prompt; it starts in the same folder. Returns the child's
// exit code; a Windows error code when it cannot be started (or `file` or
// `folder` is empty); -1 when there is no process to wait for, the wait
// fails or the exit code cannot be read.
int RunAndWait(const CString& file, const CString& parameters, const CString& folder);

// The system folder (no trailing backslash); empty when it cannot be read.
CString SystemFolder();

// Full path of the Windows Installer engine: the system folder followed by
// "\msiexec.exe". Starting the engine by its full path keeps a file named
// msiexec.exe in the current folder from running in its place. Empty when
// the system folder cannot be read; RunAndWait then starts nothing.
CString MsiexecPath();

// Runs the system's msiexec (MsiexecPath) with `parameters` and returns its
// result as RunAndWait gives it. Before each start it waits while another
// installation holds the Windows Installer's mutex ("Global\_MSIExecute"),
// for at most kEngineWaitLimitMs in all over the process's life, logging
// when a wait starts and ends; after that it starts msiexec regardless. A
// run that ends with ERROR_INSTALL_ALREADY_RUNNING (1618) is started again,
// after a pause of kEngineRetryPauseMs, at most kEngineRetries times, each
// retry logged; the last run's result counts.
int RunMsiexec(const CString& parameters);

constexpr unsigned long kEngineWaitLimitMs = 10 * 60 * 1000;
constexpr unsigned long kEngineRetryPauseMs = 3000;
constexpr int kEngineRetries = 3;

// What is left of the wait for the Windows Installer (starts at
// kEngineWaitLimitMs); tests set it.
void SetEngineWaitLeft(unsigned long milliseconds);
unsigned long EngineWaitLeft();
