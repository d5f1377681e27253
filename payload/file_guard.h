// What keeps the files that the launcher writes and runs out of other hands.
//
// The launcher usually runs with administrator rights, while other processes
// of the same user, or other users, may plant links or swap files in the
// folders it writes to. These helpers hold folders and files open so that
// they cannot be renamed, replaced or changed, check that a path still leads
// where it was meant to, and give new folders access lists that leave no
// room to others. Every refusal prints one diagnostic line and returns a
// non-zero code, like every other failure of an extraction.
#pragma once

#include <windows.h>

#include "platform/cstring.h"
#include "platform/elevation.h"
#include "platform/handles.h"

namespace payload {

// Codes of the refusals. The first is ERROR_STOPPED_ON_SYMLINK, which the
// headers at hand do not define.
constexpr int kRedirected = 681;                     // a link or another place
constexpr int kExtraLinks = ERROR_TOO_MANY_LINKS;    // a file with more than one name
constexpr int kChangedFile = ERROR_FILE_INVALID;     // bytes that differ from the payload
constexpr int kNotAFolder = ERROR_DIRECTORY;         // a file where a folder should be

// Access lists, as SDDL.
// The temporary working folder: its owner, SYSTEM and Administrators, nothing
// inherited.
extern const wchar_t kWorkingFolderSecurity[];
// A package folder level made by an elevated run, and the product folder
// itself: SYSTEM and Administrators full control, Users read and execute,
// nothing inherited, owned by Administrators.
extern const wchar_t kPackageFolderSecurity[];

// True when the launcher runs with administrator rights in force (see
// platform/elevation.h).
using platform::RunsElevated;

// Turns SDDL text into a security descriptor owned by `descriptor`.
int MakeSecurityDescriptor(const wchar_t* sddl, platform::UniqueLocal& descriptor);

// Refuses with kRedirected when `path` is a reparse point (a link), and with
// kNotAFolder when it is not a folder.
int CheckFolderLevel(const CString& path);

// Refuses with kRedirected when `path` is a reparse point (a link);
// otherwise sets `isFolder` to whether it is a folder (a plain file is no
// refusal here).
int CheckLevelIsNoLink(const CString& path, bool& isFolder);

// Opens the folder `base` + "\" + `relative` and holds it: read access and
// no delete sharing, so that it cannot be renamed or removed while `folder`
// is open. `relative` names its levels below `base`, joined by single
// backslashes. Refuses with kRedirected unless the folder really is there:
// its final path must be that of `base` followed by `relative`, so no level
// below `base` may lead elsewhere. `extraAccess` adds rights, e.g. to change
// the folder's access list.
int HoldFolderBelow(const CString& base, const CString& relative, DWORD extraAccess,
                    platform::UniqueFile& folder);

// Refuses unless the folder held by `folder` is, on the handle itself, a
// folder (kNotAFolder), no link (kRedirected) and has exactly one name
// (kExtraLinks). HoldFolderBelow calls it on every folder it holds.
int CheckHeldFolder(HANDLE folder);

// Creates the file `fileName` afresh directly in the folder held by
// `folder`, for writing and shared for reading only. An older file of that
// name is deleted first through its own handle. Both the delete and the
// create are relative to the held handle, never by path, and never follow a
// link at that name, so nothing put in the folder's place or at the file's
// name after the folder was checked can redirect them. A delete that fails
// prints "DeleteFile failed (N)", a create that fails "CreateFile failed (N)".
int CreateFreshFileIn(HANDLE folder, const CString& fileName, platform::UniqueFile& file);

// Opens the file `fileName` directly in the folder held by `folder` for
// reading, shared for reading only, relative to the held handle and never
// through a link at that name. A failure prints "CreateFile failed (N)".
int OpenReadOnlyIn(HANDLE folder, const CString& fileName, platform::UniqueFile& file);

// The full path that `handle` really leads to, links resolved, into `path`.
int FinalPath(HANDLE handle, CString& path);

// Refuses unless `file` has exactly one name and that name is `fileName`
// directly inside the folder held by `folder`.
int CheckFileInFolder(HANDLE file, HANDLE folder, const CString& fileName);

// Refuses unless the bytes of the open file `file`, read from its start, are
// exactly `size` bytes equal to `bytes`.
int CompareFileWith(HANDLE file, const void* bytes, DWORD size);

}  // namespace payload
