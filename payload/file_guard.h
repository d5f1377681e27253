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

// Turns SDDL text into a security descriptor owned by `descriptor`.
int MakeSecurityDescriptor(const wchar_t* sddl, platform::UniqueLocal& descriptor);

// The full path that `handle` really leads to, links resolved, into `path`.
int FinalPath(HANDLE handle, CString& path);

// True when the security descriptor's owner is SYSTEM or Administrators and
// its access list lets no one else write, delete or change it (or, through
// inheritance, the files made in it). A missing list lets everyone in, and an
// entry of a kind not known here counts against it.
bool OnlyAdministratorsWrite(PSECURITY_DESCRIPTOR descriptor);

// A folder held open without delete sharing, so that it can be neither
// renamed, replaced nor removed by others while it is held, and checked on
// its own handle. Every file it makes, opens or deletes is named relative to
// that handle, never by path, and never through a link at the name, so
// nothing put in the folder's place or at a file's name after the check can
// redirect it. Every refusal or failure prints one diagnostic line and
// returns its code.
class HeldFolder {
public:
    HeldFolder() = default;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // The folder's path with a trailing backslash; empty before it is made.
    const CString& Path() const { return path_; }
    bool IsEmpty() const { return path_.IsEmpty(); }
    // False where the path is known but nothing could be held there (a file
    // stands in the folder's place, or its hold was refused).
    bool IsHeld() const { return static_cast<bool>(handle_); }
    HANDLE Handle() const { return handle_.get(); }

    // Records `path` (with its trailing backslash) and takes `handle`, which
    // the caller has checked, as its hold; an empty `handle` holds nothing.
    void Take(const CString& path, platform::UniqueFile& handle);

    // Creates the file `fileName` afresh in the folder, for writing and
    // shared for reading only: an older file of that name is deleted first
    // through its own handle, and the new one must be the one name of a new
    // file in this folder. A delete that fails prints "DeleteFile failed
    // (N)", a create that fails "CreateFile failed (N)".
    int CreateFreshFile(const CString& fileName, platform::UniqueFile& file) const;
    // Opens the file `fileName` in the folder for reading, shared for
    // reading only, and checks that it is the one name of a file here.
    int OpenReadOnly(const CString& fileName, platform::UniqueFile& file) const;

    // Deletes what the folder holds, through its handle: files, and links
    // as links (never followed). Plain subfolders stay. Failures are
    // ignored; nothing is printed.
    void DeleteContents() const;
    // Deletes the folder itself through its handle (it must be held with
    // DELETE access and be empty) and lets go of it. Returns 0, or the error
    // with the folder still held.
    int Delete();
    // Lets go of the folder and forgets its path.
    void Release();

private:
    platform::UniqueFile handle_;
    CString path_;
};

// Opens, or with FILE_CREATE creates, the folder `name` directly in the folder
// held by `parent`, never through a link at that name, for `access` and
// shared for reading and writing only; `descriptor` is its security when it
// is created. Returns 0 or the Win32 error (ERROR_DIRECTORY when a file
// stands there, ERROR_FILE_NOT_FOUND when nothing does); prints nothing.
int OpenFolderIn(HANDLE parent, const CString& name, ACCESS_MASK access, ULONG disposition,
                 PSECURITY_DESCRIPTOR descriptor, platform::UniqueFile& folder);

// Refuses unless the folder held by `folder` is, on the handle itself, a
// folder (kNotAFolder), no link (kRedirected) and has exactly one name
// (kExtraLinks), and its final path is that of the folder held by `parent`
// followed by "\" and `name`.
int CheckFolderIn(HANDLE folder, HANDLE parent, const CString& name);

// Marks the item held by `item` (opened with DELETE access) for deletion:
// it goes with its last handle. Returns whether that was accepted.
bool DeleteThrough(HANDLE item);


// Refuses unless the bytes of the open file `file`, read from its start, are
// exactly `size` bytes equal to `bytes`.
int CompareFileWith(HANDLE file, const void* bytes, DWORD size);

}  // namespace payload
