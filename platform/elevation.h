// Whether the launcher runs with administrator rights, and where an elevated
// run writes its temporary files: below a folder of the Windows folder that
// only SYSTEM and Administrators can change, never below the user's TEMP
// (an elevated process takes it from the user's profile, where the user
// sets it).
#pragma once

#include <windows.h>

namespace platform {

// True when the launcher runs with administrator rights in force: a token
// that is not the limited half of a split token, and membership of
// Administrators. A failing query, or the ADVAPI32 entries of the seam not
// yet loaded, counts as elevated, so that a failure never weakens the
// protection.
bool RunsElevated();

// Turns off UAC virtualization for this process (32-bit build only; a
// 64-bit process is never virtualized). Without administrator rights Windows
// would otherwise redirect the 32-bit launcher's writes below
// HKEY_LOCAL_MACHINE\Software and into protected folders to the user's own
// virtual store, because its manifest names no execution level: a settings
// backup would then count as made where no package ever sees it. Off, such a
// write fails as it should. A failure is logged in one line and changes
// nothing else: an elevated process is not virtualized anyway.
void TurnOffVirtualization();

// Makes Windows refuse, for this process and the children it starts (which
// inherit it), to follow a junction or other mount point that was made by
// someone without administrator rights: the mitigation policy of Windows 11
// and of Windows 10 22H2 with current updates (ProcessRedirectionTrustPolicy,
// EnforceRedirectionTrust). The launcher never follows a link on purpose;
// this closes the ways not thought of. Only when `wanted` and the run is
// elevated: unelevated, a user's own junction (a TEMP moved to another
// drive) must keep working. SetProcessMitigationPolicy is looked up by name
// (Windows 7 lacks it), and a Windows that does not know the policy refuses
// it. Logs one line saying whether it is on.
void EnforceRedirectionTrust(bool wanted);

// Where an elevated run puts its working folder and its log, in the order
// tried: the Windows folder's SystemTemp (newer systems), else its Temp.
// Both belong to SYSTEM; a user can neither replace nor redirect them.
constexpr const wchar_t* kElevatedTempFolders[] = {L"SystemTemp", L"Temp"};

// Writes "<Windows folder>\<name>\" into `out` (`size` code units, the NUL
// included) and returns its length, or 0 with the last error set when the
// Windows folder cannot be read or the path does not fit
// (ERROR_INSUFFICIENT_BUFFER).
DWORD WindowsSubfolder(const wchar_t* name, wchar_t* out, DWORD size);

}  // namespace platform
