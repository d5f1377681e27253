#include "payload/file_guard.h"

#include <winternl.h>

#include <cstring>

#include "platform/diagnostics.h"
#include "platform/native_files.h"
#include "platform/run_log.h"
#include "platform/windows_api.h"

using platform::ErrorOr;
using platform::kObjectNameCollision;
using platform::kObjectNameNotFound;
using platform::kObjectPathNotFound;
using platform::kNotADirectory;
using platform::PrintFailure;

namespace payload {

const wchar_t kWorkingFolderSecurity[] = L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kPackageFolderSecurity[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

namespace {

// Prints the line of a failed call and returns its code.
int Failed(const char* operation, int fallback) {
    const int code = ErrorOr(GetLastError(), fallback);
    PrintFailure(operation, code);
    return code;
}

// Prints the line of a refusal and returns its code.
int Refused(const char* check, int code) {
    PrintFailure(check, code);
    return code;
}

bool SamePath(const CString& a, const CString& b) {
    return platform::Api().CompareStringOrdinal(a, a.GetLength(), b, b.GetLength(), TRUE) == CSTR_EQUAL;
}

// NTDLL's calls that act relative to a held folder; a failed lookup prints
// its line.
int FindNative(platform::NativeFiles& native) {
    const int error = native.Find();
    if (error) PrintFailure("GetProcAddress", error);
    return error;
}

NTSTATUS OpenIn(const platform::NativeFiles& native, HANDLE folder, const CString& name, ACCESS_MASK access,
                ULONG share, ULONG disposition, platform::UniqueFile& item,
                ULONG options = FILE_NON_DIRECTORY_FILE, PSECURITY_DESCRIPTOR descriptor = nullptr) {
    return native.Open(folder, name, name.GetLength(), access, share, disposition, item, options, descriptor);
}

// A bare file name: no level, nothing a relative open could take elsewhere,
// and short enough for a native name.
bool IsBareName(const CString& name) {
    if (name.IsEmpty() || name.GetLength() > 255 || name == L"." || name == L"..") return false;
    for (int i = 0; i < name.GetLength(); ++i) {
        const wchar_t c = name.GetAt(i);
        if (c == L'\\' || c == L'/' || c == L':') return false;
    }
    return true;
}

}  // namespace

bool DeleteThrough(HANDLE item) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return platform::Api().SetFileInformationByHandle(item, FileDispositionInfo, &disposition, sizeof(disposition));
}

int MakeSecurityDescriptor(const wchar_t* sddl, platform::UniqueLocal& descriptor) {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!platform::Api().ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made,
                                                                              nullptr)) {
        return Failed("ConvertStringSecurityDescriptor", ERROR_INVALID_SECURITY_DESCR);
    }
    descriptor.reset(made);
    return 0;
}

int FinalPath(HANDLE handle, CString& path) {
    auto& api = platform::Api();
    int capacity = MAX_PATH;
    // A longer path reports the size it needs; one retry with that size.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = api.GetFinalPathNameByHandleW(handle, path.GetBufferSetLength(capacity),
                                                           static_cast<DWORD>(capacity) + 1, FILE_NAME_NORMALIZED);
        if (length == 0) {
            path.Empty();
            return Failed("GetFinalPathNameByHandle", ERROR_GEN_FAILURE);
        }
        if (length <= static_cast<DWORD>(capacity)) {
            path.Truncate(static_cast<int>(length));
            return 0;
        }
        capacity = static_cast<int>(length);
    }
    path.Empty();
    return Refused("GetFinalPathNameByHandle", ERROR_INSUFFICIENT_BUFFER);
}

namespace {

// Refuses unless the item held by `item` is no link, has exactly one name
// and is a folder exactly when `isFolder`; refusals are named after
// `isFolder`.
int CheckItem(HANDLE item, bool isFolder) {
    const char* const check = isFolder ? "CheckFolder" : "CheckFile";
    BY_HANDLE_FILE_INFORMATION information{};
    if (!platform::Api().GetFileInformationByHandle(item, &information)) {
        return Failed("GetFileInformationByHandle", ERROR_GEN_FAILURE);
    }
    // The handle was opened on a link itself, never through it: a link
    // shows here, whenever it was put there.
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refused(check, kRedirected);
    if (isFolder && !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Refused(check, kNotAFolder);
    // A second name would let whoever holds it reach the item.
    if (information.nNumberOfLinks != 1) return Refused(check, kExtraLinks);
    return 0;
}

// Refuses (as `check`) unless the final path of `item` is that of the folder
// held by `folder` followed by `name`, with one backslash between them: the
// final path of a drive's root ends in its backslash already (\\?\C:\),
// that of any other folder does not.
int CheckPathIn(HANDLE item, HANDLE folder, const CString& name, const char* check) {
    CString folderPath;
    CString itemPath;
    if (const int error = FinalPath(folder, folderPath)) return error;
    if (const int error = FinalPath(item, itemPath)) return error;
    if (folderPath.IsEmpty() || folderPath.GetAt(folderPath.GetLength() - 1) != L'\\') folderPath += L'\\';
    if (SamePath(itemPath, folderPath + name)) return 0;
    return Refused(check, kRedirected);
}

// CheckItem and CheckPathIn.
int CheckItemIn(HANDLE item, HANDLE folder, const CString& name, bool isFolder) {
    if (const int error = CheckItem(item, isFolder)) return error;
    return CheckPathIn(item, folder, name, isFolder ? "CheckFolder" : "CheckFile");
}

}  // namespace

namespace {

// Deletes the older file held by `older` (opened with DELETE access) from
// the folder held by `folder` so that its name is free at once, even while
// someone else has it open: by a POSIX-semantics delete where Windows has it
// (10, version 1709 and later); elsewhere it is first renamed to a name of
// its own in the same folder and then deleted, going with its last handle.
// The log says which.
int DeleteOlder(const platform::NativeFiles& native, HANDLE folder, const CString& fileName, HANDLE older) {
    auto& api = platform::Api();
    // FileDispositionInfoEx (21), which the headers at hand declare for no
    // target they accept.
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (api.SetFileInformationByHandle(older, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &posix, sizeof(posix))) {
        platform::LogLine(L"older ", fileName, L": deleted");
        return 0;
    }
    // The file's own index makes the name: no other item in the folder has it.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!api.GetFileInformationByHandle(older, &information)) return Failed("DeleteFile", ERROR_ACCESS_DENIED);
    wchar_t number[16];
    const CString aside = fileName + L'.' +
                          platform::DecimalText(static_cast<long>(information.nFileIndexLow & 0x7FFFFFFF), number) +
                          L".old";
    const NTSTATUS renamed = native.Rename(older, folder, aside, aside.GetLength());
    if (renamed < 0) return Refused("DeleteFile", native.ErrorOf(renamed));
    if (!DeleteThrough(older)) return Failed("DeleteFile", ERROR_ACCESS_DENIED);
    platform::LogLine(L"older file renamed to ", aside, L" and deleted once closed");
    return 0;
}

// Opens the file `fileName` directly in the folder held by `folder`, never
// through a link at that name, and checks that it is the one name of a file
// there. `fresh`: an older file of that name is deleted through its own
// handle and a new one created for writing; otherwise the file is opened for
// reading. Shared for reading only either way.
int OpenFileIn(HANDLE folder, const CString& fileName, bool fresh, platform::UniqueFile& file) {
    if (!IsBareName(fileName)) return Refused("CreateFile", ERROR_INVALID_NAME);
    platform::NativeFiles native;
    if (const int error = FindNative(native)) return error;

    platform::UniqueFile opened;
    NTSTATUS status = 0;
    if (fresh) {
        // An older file is opened as itself (a link at the name is the link)
        // and deleted through that handle. One that cannot be deleted
        // (read-only, held by another run) is reported by the delete's own
        // error; nothing to delete is the usual case.
        constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        const NTSTATUS older = OpenIn(native, folder, fileName, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                      opened);
        if (older < 0 && older != kObjectNameNotFound && older != kObjectPathNotFound) {
            return Refused("DeleteFile", native.ErrorOf(older));
        }
        if (opened) {
            // Deleted only when it is in the held folder (a link at the name
            // is deleted as itself).
            if (const int error = CheckPathIn(opened.get(), folder, fileName, "CheckFile")) return error;
            if (const int error = DeleteOlder(native, folder, fileName, opened.get())) return error;
            opened.reset();
        }
        // A new file only: anything put at the name meanwhile makes this
        // fail, and reads as CreateFileW's CREATE_NEW reports it.
        status = OpenIn(native, folder, fileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE, opened);
        if (status == kObjectNameCollision) return Refused("CreateFile", ERROR_FILE_EXISTS);
    } else {
        status = OpenIn(native, folder, fileName, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, opened);
    }
    if (status < 0) return Refused("CreateFile", native.ErrorOf(status));
    // Used only once it is known to be the one name of a file in the held
    // folder, not a file reached through a link.
    if (const int error = CheckItemIn(opened.get(), folder, fileName, false)) return error;
    file = static_cast<platform::UniqueFile&&>(opened);
    return 0;
}

}  // namespace

int CompareFileWith(HANDLE file, const void* bytes, DWORD size) {
    const auto* expected = static_cast<const BYTE*>(bytes);
    BYTE chunk[64 * 1024];
    DWORD compared = 0;
    // One read more than the size must find the end of the file.
    for (;;) {
        const DWORD wanted = size - compared < sizeof(chunk) ? size - compared + 1 : DWORD{sizeof(chunk)};
        DWORD read = 0;
        if (!platform::Api().ReadFile(file, chunk, wanted, &read, nullptr)) return Failed("ReadFile", ERROR_READ_FAULT);
        if (read > size - compared || std::memcmp(chunk, expected + compared, read) != 0) {
            return Refused("CompareFile", kChangedFile);
        }
        if (read == 0) break;
        compared += read;
    }
    return compared == size ? 0 : Refused("CompareFile", kChangedFile);
}

namespace {

// The two groups a product folder may belong to, SYSTEM (S-1-5-18) and
// Administrators (S-1-5-32-544), as their SIDs' bytes; then CREATOR OWNER
// (S-1-3-0), which stands for whoever makes a file in the folder: the
// launcher itself.
constexpr BYTE kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
constexpr BYTE kCreatorOwnerSid[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};

// `sid` is `known`. Its second byte, the number of its parts, is compared
// first: with it equal, `sid` is as long as `known`.
template <size_t Size>
bool IsSid(PSID sid, const BYTE (&known)[Size]) {
    return sid && static_cast<const BYTE*>(sid)[1] == known[1] && std::memcmp(sid, known, Size) == 0;
}
bool IsAdministratorsSid(PSID sid) { return IsSid(sid, kSystemSid) || IsSid(sid, kAdministratorsSid); }

// Rights that let their holder change the folder or what is in it.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

}  // namespace

bool OnlyAdministratorsWrite(PSECURITY_DESCRIPTOR descriptor) {
    auto& api = platform::Api();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (!api.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsAdministratorsSid(owner)) return false;
    if (!api.GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) return false;
    // The entries follow the list's header, each one AceSize bytes long.
    const BYTE* entry = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
    const BYTE* const end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        if (entry + sizeof(ACE_HEADER) > end) return false;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(entry);
        if (header->AceSize < sizeof(ACE_HEADER) || entry + header->AceSize > end) return false;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry);
            if (header->AceSize < sizeof(ACCESS_ALLOWED_ACE)) return false;
            const auto sid = const_cast<DWORD*>(&allowed->SidStart);
            const bool trusted = IsAdministratorsSid(sid) || IsSid(sid, kCreatorOwnerSid);
            if ((allowed->Mask & kWriteRights) && !trusted) return false;
        } else if (header->AceType != ACCESS_DENIED_ACE_TYPE) {
            return false;  // a kind of entry not judged here
        }
        entry += header->AceSize;
    }
    return true;
}

int OpenFolderIn(HANDLE parent, const CString& name, ACCESS_MASK access, ULONG disposition,
                 PSECURITY_DESCRIPTOR descriptor, platform::UniqueFile& folder) {
    if (!IsBareName(name)) return ERROR_INVALID_NAME;
    platform::NativeFiles native;
    if (native.Find() != 0) return ERROR_PROC_NOT_FOUND;
    const NTSTATUS status = OpenIn(native, parent, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                                   folder, FILE_DIRECTORY_FILE, descriptor);
    if (status >= 0) return 0;
    if (status == kObjectNameNotFound) return ERROR_FILE_NOT_FOUND;
    if (status == kNotADirectory) return ERROR_DIRECTORY;
    return native.ErrorOf(status);
}

int CheckFolderIn(HANDLE folder, HANDLE parent, const CString& name) {
    return CheckItemIn(folder, parent, name, true);
}

void HeldFolder::Take(const CString& path, platform::UniqueFile& handle) {
    path_ = path;
    handle_ = static_cast<platform::UniqueFile&&>(handle);
}

int HeldFolder::CreateFreshFile(const CString& fileName, platform::UniqueFile& file) const {
    return OpenFileIn(handle_.get(), fileName, true, file);
}

int HeldFolder::OpenReadOnly(const CString& fileName, platform::UniqueFile& file) const {
    return OpenFileIn(handle_.get(), fileName, false, file);
}

void HeldFolder::DeleteContents() const {
    if (!handle_) return;
    platform::NativeFiles native;
    if (native.Find() != 0) return;
    auto& api = platform::Api();
    // Deleting while listing may make the listing skip names, so the
    // listing starts again until a pass deletes nothing (bounded, as an
    // entry that cannot go is met on every pass).
    for (int pass = 0; pass < 8; ++pass) {
        int deleted = 0;
        union {
            FILE_ID_BOTH_DIR_INFO first;
            BYTE bytes[8192];
        } listing;
        FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
        while (api.GetFileInformationByHandleEx(handle_.get(), kind, &listing, sizeof(listing))) {
            kind = FileIdBothDirectoryInfo;
            for (const BYTE* next = listing.bytes;;) {
                const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(next);
                const CString name(entry->FileName, static_cast<int>(entry->FileNameLength / sizeof(wchar_t)));
                const DWORD attributes = entry->FileAttributes;
                const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                // A link is removed as a link, whatever it leads to; a plain
                // subfolder is not descended into.
                if (name != L"." && name != L".." && (link || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
                    platform::UniqueFile item;
                    constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
                    const NTSTATUS opened = OpenIn(native, handle_.get(), name, DELETE, kShareAll, FILE_OPEN, item,
                                                   link ? 0 : FILE_NON_DIRECTORY_FILE);
                    if (opened >= 0 && DeleteThrough(item.get())) ++deleted;
                }
                if (entry->NextEntryOffset == 0) break;
                next += entry->NextEntryOffset;
            }
        }
        if (deleted == 0) return;
    }
}

int HeldFolder::Delete() {
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (!DeleteThrough(handle_.get())) return ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
    Release();  // the folder goes with its last handle
    return 0;
}

void HeldFolder::Release() {
    handle_.reset();
    path_.Empty();
}

}  // namespace payload
