// The two folders the launcher writes the files it runs into: the temporary
// working folder and the shared package folder. Each is held, checked on its
// own handle, from the moment it is made or opened; the files in it are
// made, opened and deleted relative to that handle (see HeldFolder).
#pragma once

#include <windows.h>

#include "payload/file_guard.h"
#include "platform/cstring.h"

namespace payload {

// The temporary working folder of a run: named by a fresh UUID, with an
// access list for its owner, SYSTEM and Administrators only, made relative
// to its held parent and held from its creation to its removal.
class WorkingFolder : public HeldFolder {
public:
    // Makes the folder on first use: below the user's temporary folder, or
    // when elevated below the Windows folder's SystemTemp where it can be
    // made there, else its Temp (never below the user's TEMP, which the user
    // sets). Returns 0 while it is held; a folder whose hold was refused is
    // not used again.
    int Prepare();
    // Prepare with the place given: inside `base` (ending in "\"), else,
    // when it cannot be made there and `fallback` is not empty, inside
    // `fallback`.
    int PrepareIn(const CString& base, const CString& fallback);
    // Deletes the files and links in the folder through its handle, then
    // the folder itself relative to its held parent, once it is known there
    // to be the same folder (volume and file index); ignores failures and
    // forgets it. A plain subfolder
    // (made by a child) keeps the folder; nothing is ever deleted by path,
    // so a folder whose hold was refused stays.
    void Remove();

private:
    CString name_;                 // its own name, in the folder it was made in
    platform::UniqueFile parent_;  // that folder, held until the removal
};

// The shared package folder below the common application-data folder: the
// installers folder's levels, then the product folder, which is held.
class PackageFolder : public HeldFolder {
public:
    // Finds the common application-data folder and prepares the package
    // folder below it (PrepareBelow).
    int Prepare();
    // Opens or makes each level below `commonAppData` relative to the one
    // above it and refuses any that is a link before anything is made below
    // it. Elevated, the levels it makes get the protected
    // access list, and the product folder is used only when SYSTEM or
    // Administrators own it and no one else may write to it; otherwise it
    // is deleted (a failure to delete it stops the step) and made afresh
    // with the protected list, relative to its held, checked parent. A file
    // standing where the product folder should be is no refusal here:
    // nothing is held, and creating a file in it then fails.
    int PrepareBelow(const CString& commonAppData);
};

// Finds the resource (`name`, `type`) of the running executable. Its bytes
// stay readable for the life of the process. A missing resource, or one of
// size 0, prints "LocateResource failed (N)".
int LocateResource(const CString& name, const CString& type, const void*& bytes, DWORD& size);

// Writes `size` bytes in pieces of at most kWriteChunk; a write that stops
// short is a failure even when WriteFile reports success. Prints nothing.
int WriteWhole(HANDLE file, const void* bytes, DWORD size);

// A single very large write can exhaust kernel resources on 32-bit Windows.
constexpr DWORD kWriteChunk = 8u << 20;

}  // namespace payload
