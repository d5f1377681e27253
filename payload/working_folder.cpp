// The temporary working folder and the shared package folder: where they
// are made, how they are checked and held, and how the working folder goes
// again; and finding and writing the payload's bytes.
#include <windows.h>

#include "payload/working_folder.h"

#include "platform/diagnostics.h"
#include "platform/elevation.h"
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

// Makes a folder named by a new UUID inside `parent` (which ends in "\"),
// with `security`, and returns 0 with the UUID in `name`. Only a name
// collision leads to another attempt after a failing CreateDirectoryW; any
// other failure of it (parent missing, access denied, ...) cannot be cured
// by a new name and ends the attempts at once. The line printed on giving up
// (when `report` is set) names the call that failed last. On failure `name`
// is empty.
int MakeUniqueFolder(const CString& parent, SECURITY_ATTRIBUTES* security, bool report, CString& name) {
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
        if (api.CreateDirectoryW(parent + name, security)) return 0;

        const DWORD error = GetLastError();
        name.Empty();
        result = ErrorOr(error, ERROR_GEN_FAILURE);
        failedCall = "CreateDirectory";
        if (error != ERROR_ALREADY_EXISTS) break;
    }
    if (report) PrintFailure(failedCall, result);
    return result;
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
    // Asked on every call, also when the folder exists already.
    wchar_t buffer[kPathBufferLength];
    wchar_t second[kPathBufferLength];
    DWORD length = 0;
    DWORD secondLength = 0;
    const char* call = "GetSystemWindowsDirectory";
    if (platform::RunsElevated()) {
        length = platform::WindowsSubfolder(platform::kElevatedTempFolders[0], buffer, kPathBufferLength);
        secondLength = platform::WindowsSubfolder(platform::kElevatedTempFolders[1], second, kPathBufferLength);
        if (secondLength == 0) length = 0;
    } else {
        call = "GetTempPath";
        length = platform::Api().GetTempPathW(kPathBufferLength, buffer);
        // A path that does not fit reports the size it needs, its NUL
        // included, and leaves no error code of its own.
        if (length >= kPathBufferLength) length = 0;
    }
    if (length == 0) {
        const int code = ErrorOr(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
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
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    CString parent = base;
    int made = MakeUniqueFolder(parent, &security, fallback.IsEmpty(), name_);
    if (made != 0 && !fallback.IsEmpty()) {
        // The first place could not take the folder (older systems have no
        // SystemTemp): the fallback, whose failure is reported.
        parent = fallback;
        made = MakeUniqueFolder(parent, &security, true, name_);
    }
    if (made != 0) return made;
    // Held without the right to delete it: the children start in it, and
    // a current folder is opened without delete sharing.
    return Hold(parent, name_);
}

void WorkingFolder::Remove() {
    DeleteContents();
    // The hold must go before the folder can be opened for deleting; the
    // folder then opened relative to its parent is deleted only when it is
    // the very folder that was held, whatever its name leads to now.
    BY_HANDLE_FILE_INFORMATION held{};
    const bool known = IsHeld() && platform::Api().GetFileInformationByHandle(Handle(), &held);
    const CString parentPath = Path().Left(Path().GetLength() - name_.GetLength() - 1);
    Release();
    if (known) {
        const platform::UniqueFile parent(platform::Api().CreateFileW(
            parentPath, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
            nullptr));
        platform::UniqueFile folder;
        BY_HANDLE_FILE_INFORMATION found{};
        constexpr ACCESS_MASK kAccess = DELETE | FILE_READ_ATTRIBUTES;
        if (parent && OpenFolderIn(parent.get(), name_, kAccess, FILE_OPEN, nullptr, folder) == 0 &&
            platform::Api().GetFileInformationByHandle(folder.get(), &found) &&
            found.nFileIndexHigh == held.nFileIndexHigh && found.nFileIndexLow == held.nFileIndexLow) {
            // Fails while a plain subfolder is left in it, which is accepted.
            DeleteThrough(folder.get());
        }
    }
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
int MakeProductFolder(const HeldFolder& parent, const CString& name, PSECURITY_DESCRIPTOR protectedList,
                      platform::UniqueFile& product) {
    // Read access (which includes reading its security) and the right to
    // delete or rename it; no delete sharing.
    constexpr ACCESS_MASK kAccess = GENERIC_READ | DELETE;
    const int opened = OpenFolderIn(parent.Handle(), name, kAccess, FILE_OPEN, nullptr, product);
    if (opened == ERROR_DIRECTORY) return 0;
    if (opened == 0) {
        if (const int error = CheckFolderIn(product.get(), parent.Handle(), name)) return error;
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
    const int created = OpenFolderIn(parent.Handle(), name, kAccess, FILE_CREATE, protectedList, product);
    if (created != 0) {
        PrintFailure("SHCreateDirectoryEx", created);
        return created;
    }
    return CheckFolderIn(product.get(), parent.Handle(), name);
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
    auto& api = platform::Api();
    Release();
    // Elevated, the launcher writes only where no one but administrators
    // can: the levels it makes, and the product folder always, get a
    // protected access list. Without elevation nothing can be protected from
    // the user's own processes, and a protected folder would stop the
    // launcher's own write, so the inherited security stays.
    const bool elevated = platform::RunsElevated();
    platform::UniqueLocal descriptor;
    if (elevated) {
        if (const int error = MakeSecurityDescriptor(kPackageFolderSecurity, descriptor)) return error;
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};

    // The installers folder's levels below the common application-data
    // folder. Each is made if missing and must not be a link. As when the
    // system makes the levels, "already exists" is accepted; a plain file
    // standing where a level should be then stops the step as making the
    // level below it would, with the folder-creation line (3, the path not
    // found).
    const CString levels(LauncherSettings.installersFolderName);
    CString relative;
    for (int start = 0; start <= levels.GetLength();) {
        int end = levels.Find(L'\\', start);
        if (end < 0) end = levels.GetLength();
        if (end > start) {
            if (!relative.IsEmpty()) relative += L'\\';
            relative += levels.Mid(start, end - start);
            const CString path = commonAppData + L'\\' + relative;
            if (!api.CreateDirectoryW(path, elevated ? &security : nullptr)) {
                const DWORD error = GetLastError();
                if (error != ERROR_ALREADY_EXISTS) {
                    const int code = ErrorOr(error, ERROR_GEN_FAILURE);
                    PrintFailure("SHCreateDirectoryEx", code);
                    return code;
                }
            }
            bool isFolder = true;
            if (const int error = CheckLevelIsNoLink(path, isFolder)) return error;
            if (!isFolder) {
                PrintFailure("SHCreateDirectoryEx", ERROR_PATH_NOT_FOUND);
                return ERROR_PATH_NOT_FOUND;
            }
        }
        start = end + 1;
    }
    // The product folder, opened or made relative to its held parent, whose
    // levels were checked above.
    HeldFolder parent;
    if (const int error = parent.Hold(commonAppData, relative)) return error;
    platform::UniqueFile product;
    const CString name(LauncherSettings.productFolderName);
    if (const int error = MakeProductFolder(parent, name, descriptor.get(), product)) return error;
    Take(parent.Path() + name + L'\\', product);
    return 0;
}

}  // namespace payload
