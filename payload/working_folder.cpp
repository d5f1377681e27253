// The temporary working folder and the shared package folder: where they
// are made, how they are checked and held, and how the working folder goes
// again; and finding and writing the payload's bytes.
#include <windows.h>

#include "payload/working_folder.h"

#include "platform/diagnostics.h"
#include "platform/elevation.h"
#include "platform/native_files.h"
#include "platform/windows_api.h"
#include "settings/launcher_settings.h"

using platform::ErrorOr;
using platform::PrintFailure;

namespace payload {

namespace {

// Both path buffers hold 512 characters (SHGetFolderPathW needs MAX_PATH).
constexpr DWORD kPathBufferLength = 512;

// Attempts at a fresh folder name before giving up. A UUID collides only with
// a folder left by a run with the same UUID, so a handful of attempts is
// plenty; the bound keeps a broken UUID source from looping forever.
constexpr int kFolderAttempts = 8;

// Makes a folder named by a new UUID directly in the folder held by
// `parent`, with `security`, and returns 0 with the UUID in `name` and the
// new folder held by `folder`. Only a name collision leads to another
// attempt; any other failure (access denied, ...) cannot be cured by a new
// name and ends the attempts at once. The line printed on giving up (when
// `report` is set) names the call that failed last. On failure `name` is
// empty.
int MakeUniqueFolder(HANDLE parent, PSECURITY_DESCRIPTOR security, bool report, CString& name,
                     platform::UniqueFile& folder) {
    auto& api = platform::Api();
    int result = ERROR_ALREADY_EXISTS;
    const char* failedCall = "CreateDirectory";
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        UUID uuid{};
        const RPC_STATUS created = api.UuidCreate(&uuid);
        if (created != RPC_S_OK) {
            result = ErrorOr(static_cast<DWORD>(created), ERROR_GEN_FAILURE);
            failedCall = "UuidCreate";
            continue;
        }
        platform::UniqueRpcString text;
        const RPC_STATUS converted = api.UuidToStringW(&uuid, text.put());
        if (converted != RPC_S_OK) {
            result = ErrorOr(static_cast<DWORD>(converted), ERROR_GEN_FAILURE);
            failedCall = "UuidToString";
            continue;
        }
        name = reinterpret_cast<const wchar_t*>(text.get());
        text.reset();
        // Held from its creation, without the right to delete it: the
        // children start in it, and a current folder is opened without
        // delete sharing.
        result = OpenFolderIn(parent, name, GENERIC_READ, FILE_CREATE, security, folder);
        if (result == 0) return 0;
        name.Empty();
        failedCall = "CreateDirectory";
        if (result != ERROR_ALREADY_EXISTS) break;
    }
    if (report) PrintFailure(failedCall, result);
    return result;
}

// Opens the folder `parentPath` into `parent` and makes a UUID-named folder
// in it (MakeUniqueFolder). A parent that cannot be opened fails with the
// error of the open, printed as the folder-creation line when `report` is
// set.
int MakeFolderIn(const CString& parentPath, PSECURITY_DESCRIPTOR security, bool report, platform::UniqueFile& parent,
                 CString& name, platform::UniqueFile& folder) {
    if (const int error = platform::OpenFolderAt(parentPath, parent)) {
        if (report) PrintFailure("CreateDirectory", error);
        return error;
    }
    return MakeUniqueFolder(parent.get(), security, report, name, folder);
}

}  // namespace

int WriteWhole(HANDLE file, const void* bytes, DWORD size) {
    const auto* next = static_cast<const BYTE*>(bytes);
    for (DWORD left = size; left > 0;) {
        const DWORD chunk = left < kWriteChunk ? left : kWriteChunk;
        DWORD written = 0;
        if (!platform::Api().WriteFile(file, next, chunk, &written, nullptr)) {
            return ErrorOr(GetLastError(), ERROR_WRITE_FAULT);
        }
        if (written != chunk) return ERROR_WRITE_FAULT;
        next += chunk;
        left -= chunk;
    }
    return 0;
}

int LocateResource(const CString& name, const CString& type, const void*& bytes, DWORD& size) {
    auto& api = platform::Api();
    const HMODULE module = api.GetModuleHandleW(nullptr);
    const HRSRC resource = api.FindResourceW(module, name, type);
    HGLOBAL loaded = nullptr;
    size = 0;
    bytes = nullptr;
    if (!resource || (size = api.SizeofResource(module, resource)) == 0 ||
        !(loaded = api.LoadResource(module, resource)) || !(bytes = api.LockResource(loaded))) {
        const int code = ErrorOr(GetLastError(), ERROR_INVALID_DATA);
        PrintFailure("LocateResource", code);
        return code;
    }
    return 0;
}

int WorkingFolder::Prepare() {
    // Asked on every call, also when the folder exists already. Each error
    // is taken right after the call that failed.
    wchar_t buffer[kPathBufferLength];
    wchar_t second[kPathBufferLength];
    DWORD length = 0;
    DWORD secondLength = 0;
    DWORD error = 0;
    const char* call = "GetSystemWindowsDirectory";
    if (platform::RunsElevated()) {
        length = platform::WindowsSubfolder(platform::kElevatedTempFolders[0], buffer, kPathBufferLength);
        if (length == 0) {
            error = GetLastError();
        } else if ((secondLength = platform::WindowsSubfolder(platform::kElevatedTempFolders[1], second,
                                                              kPathBufferLength)) == 0) {
            error = GetLastError();
            length = 0;
        }
    } else {
        call = "GetTempPath";
        length = platform::Api().GetTempPathW(kPathBufferLength, buffer);
        // A path that does not fit reports the size it needs, its NUL
        // included, and leaves no error code of its own.
        if (length == 0) {
            error = GetLastError();
        } else if (length >= kPathBufferLength) {
            error = ERROR_INSUFFICIENT_BUFFER;
            length = 0;
        }
    }
    if (length == 0) {
        const int code = ErrorOr(error, ERROR_INSUFFICIENT_BUFFER);
        PrintFailure(call, code);
        return code;
    }
    return PrepareIn(CString(buffer, static_cast<int>(length)), CString(second, static_cast<int>(secondLength)));
}

int WorkingFolder::PrepareIn(const CString& base, const CString& fallback) {
    if (!IsEmpty()) {
        // Files go into the folder only while it is held; a folder whose
        // hold failed when it was made is not used again.
        if (IsHeld()) return 0;
        PrintFailure("CheckFolder", kRedirected);
        return kRedirected;
    }
    // Only its owner, SYSTEM and Administrators may enter it, so nobody else
    // can plant anything in it.
    platform::UniqueLocal descriptor;
    if (const int error = MakeSecurityDescriptor(kWorkingFolderSecurity, descriptor)) return error;
    // Made relative to its parent, held open: others may make entries in a
    // temporary folder, so nothing there is reached by path.
    platform::UniqueFile folder;
    const CString* parentPath = &base;
    int made = MakeFolderIn(base, descriptor.get(), fallback.IsEmpty(), parent_, name_, folder);
    if (made != 0 && !fallback.IsEmpty()) {
        // The first place could not take the folder (older systems have no
        // SystemTemp): the fallback, whose failure is reported.
        parentPath = &fallback;
        made = MakeFolderIn(fallback, descriptor.get(), true, parent_, name_, folder);
    }
    if (made != 0) {
        parent_.reset();
        return made;
    }
    // A folder that fails its check keeps its path but is not held, so it
    // is neither used nor removed.
    const int checked = CheckFolderIn(folder.get(), parent_.get(), name_);
    if (checked != 0) folder.reset();
    Take(*parentPath + name_ + L'\\', folder);
    return checked;
}

void WorkingFolder::Remove() {
    DeleteContents();
    // The hold must go before the folder can be opened for deleting; the
    // folder then opened relative to its held parent is deleted only when it
    // is the very folder that was held (same volume and file index),
    // whatever its name leads to now.
    BY_HANDLE_FILE_INFORMATION held{};
    const bool known = IsHeld() && platform::Api().GetFileInformationByHandle(Handle(), &held);
    Release();
    if (known && parent_) {
        platform::UniqueFile folder;
        BY_HANDLE_FILE_INFORMATION found{};
        constexpr ACCESS_MASK kAccess = DELETE | FILE_READ_ATTRIBUTES;
        if (OpenFolderIn(parent_.get(), name_, kAccess, FILE_OPEN, nullptr, folder) == 0 &&
            platform::Api().GetFileInformationByHandle(folder.get(), &found) &&
            found.dwVolumeSerialNumber == held.dwVolumeSerialNumber && found.nFileIndexHigh == held.nFileIndexHigh &&
            found.nFileIndexLow == held.nFileIndexLow) {
            // Fails while a plain subfolder is left in it, which is accepted.
            DeleteThrough(folder.get());
        }
    }
    parent_.reset();
    name_.Empty();
}

namespace {

// Opens or makes the product folder `name` relative to the folder held by
// `parent`. Elevated (`protectedList` given), an existing folder is kept only
// when nobody but SYSTEM and Administrators can change it; any other is
// replaced by a fresh one made with the protected list. Without elevation
// the user's own processes could change any folder, and the folder keeps
// the security it has or inherits. A file standing there leaves `product`
// empty.
int MakeProductFolder(HANDLE parent, const CString& name, PSECURITY_DESCRIPTOR protectedList,
                      platform::UniqueFile& product) {
    // Read access (which includes reading its security) and the right to
    // delete or rename it; no delete sharing.
    constexpr ACCESS_MASK kAccess = GENERIC_READ | DELETE;
    const int opened = OpenFolderIn(parent, name, kAccess, FILE_OPEN, nullptr, product);
    if (opened == ERROR_DIRECTORY) return 0;
    if (opened == 0) {
        if (const int error = CheckFolderIn(product.get(), parent, name)) return error;
        if (!protectedList) return 0;
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR got = nullptr;
        // An owner or list that cannot be read counts as someone else's.
        const DWORD read = platform::Api().GetSecurityInfo(
            product.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
            &dacl, nullptr, &got);
        const platform::UniqueLocal descriptor(got);
        if (read == ERROR_SUCCESS && OnlyAdministratorsWrite(got)) return 0;

        // Someone else could change it: it holds nothing but an older
        // package, which goes with it. A folder that cannot go (a file in it
        // is in use) is not written to.
        HeldFolder old;
        old.Take(CString(), product);
        old.DeleteContents();
        if (const int error = old.Delete()) {
            PrintFailure("RemoveDirectory", error);
            return error;
        }
    } else if (opened != ERROR_FILE_NOT_FOUND) {
        PrintFailure("CreateFile", opened);
        return opened;
    }
    const int created = OpenFolderIn(parent, name, kAccess, FILE_CREATE, protectedList, product);
    if (created != 0) {
        PrintFailure("SHCreateDirectoryEx", created);
        return created;
    }
    return CheckFolderIn(product.get(), parent, name);
}

}  // namespace

int PackageFolder::Prepare() {
    wchar_t buffer[kPathBufferLength];
    const HRESULT found = platform::Api().SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                                           SHGFP_TYPE_CURRENT, buffer);
    if (FAILED(found)) {
        PrintFailure("SHGetFolderPath", found);
        return found;
    }
    return PrepareBelow(CString(buffer));
}

int PackageFolder::PrepareBelow(const CString& commonAppData) {
    Release();
    // Elevated, the launcher writes only where no one but administrators
    // can: the levels it makes, and the product folder always, get a
    // protected access list. Without elevation nothing can be protected from
    // the user's own processes, and a protected folder would stop the
    // launcher's own write, so the inherited security stays.
    platform::UniqueLocal descriptor;
    if (platform::RunsElevated()) {
        if (const int error = MakeSecurityDescriptor(kPackageFolderSecurity, descriptor)) return error;
    }

    // The installers folder's levels below the common application-data
    // folder, where every user may make folders: each is opened, or made,
    // relative to the level above it, held, as the item itself, and checked
    // before anything is made below it, so a link put at a level's name
    // never takes a folder elsewhere. A plain file standing where a level
    // should be stops the step as making the level below it would, with the
    // folder-creation line (3, the path not found).
    platform::UniqueFile parent;
    CString path = commonAppData;
    if (const int error = platform::OpenFolderAt(path, parent)) {
        PrintFailure("CreateFile", error);
        return error;
    }
    const CString levels(LauncherSettings.installersFolderName);
    for (int start = 0; start <= levels.GetLength();) {
        int end = levels.Find(L'\\', start);
        if (end < 0) end = levels.GetLength();
        if (end > start) {
            const CString name = levels.Mid(start, end - start);
            platform::UniqueFile level;
            int error = OpenFolderIn(parent.get(), name, GENERIC_READ, FILE_OPEN_IF, descriptor.get(), level);
            if (error == ERROR_DIRECTORY) error = ERROR_PATH_NOT_FOUND;
            if (error != 0) {
                PrintFailure("SHCreateDirectoryEx", error);
                return error;
            }
            if ((error = CheckFolderIn(level.get(), parent.get(), name)) != 0) return error;
            parent = static_cast<platform::UniqueFile&&>(level);
            path += L'\\';
            path += name;
        }
        start = end + 1;
    }
    // The product folder, opened or made relative to its held parent.
    platform::UniqueFile product;
    const CString name(LauncherSettings.productFolderName);
    if (const int error = MakeProductFolder(parent.get(), name, descriptor.get(), product)) return error;
    Take(path + L'\\' + name + L'\\', product);
    return 0;
}

}  // namespace payload
