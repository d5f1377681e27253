// Opening and creating items directly in a folder that is held open, by
// NTDLL's own NtCreateFile with the folder's handle as the root and a bare
// name. Nothing is reached by path, so a link put in place of the folder
// after it was opened leads nowhere; and every item is opened as itself, so
// a link (junction, mount point, symbolic link) at the item's name is never
// followed.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "platform/handles.h"
#include "platform/system_functions.h"

namespace platform {

// The NTSTATUS values the callers tell apart.
constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);

class NativeFiles {
public:
    // Looks up NtCreateFile, NtSetInformationFile and RtlNtStatusToDosError
    // in NTDLL, which every
    // process has loaded (through the seam, like every other call). Returns
    // 0, or the error of the lookup; prints nothing.
    int Find();

    // Opens or creates `name` (`length` code units, no level) directly in
    // `folder`: a plain file unless `options` say otherwise. A link at that
    // name is the item opened, never followed (FILE_OPEN_REPARSE_POINT).
    // `descriptor` is the security of a new item.
    NTSTATUS Open(HANDLE folder, const wchar_t* name, int length, ACCESS_MASK access, ULONG share, ULONG disposition,
                  UniqueFile& item, ULONG options = FILE_NON_DIRECTORY_FILE,
                  PSECURITY_DESCRIPTOR descriptor = nullptr) const;

    // Renames the item held by `item` (opened with DELETE access) to `name`
    // (`length` code units) directly in `folder`, replacing nothing.
    NTSTATUS Rename(HANDLE item, HANDLE folder, const wchar_t* name, int length) const;

    // The Win32 error of a failed native call, never 0.
    int ErrorOf(NTSTATUS status) const;

private:
    NtCreateFileFunction createFile_ = nullptr;
    NtSetInformationFileFunction setInformation_ = nullptr;
    RtlNtStatusToDosErrorFunction toError_ = nullptr;
};

// FILE_RENAME_INFORMATION for a bare name of up to 256 code units, laid out
// in place (native_files.cpp checks it against the system's definition).
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG nameLength;  // in bytes
    wchar_t name[256];
};

// Opens the folder `path` (a full path; a trailing backslash is allowed) so
// that items can be made relative to it: read access, every kind of sharing.
// Returns 0, or the error of the open.
int OpenFolderAt(const wchar_t* path, UniqueFile& folder);

}  // namespace platform
