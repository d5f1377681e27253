// The temporary working folder, the shared package folder and the writing of
// embedded resources into files there.
//
// Every file is created fresh, checked to be where it was meant to be, and
// held from its creation until the child that runs it has ended: first by
// the handle that writes it, then by a read-only handle shared for reading
// only, through which its bytes are compared with the payload before the
// child starts. Its folder is held without delete sharing meanwhile, so
// neither the file nor the folder can be changed, replaced or renamed away.
#include <windows.h>

#include "launcher/installer_launcher.h"
#include "payload/file_guard.h"
#include "platform/diagnostics.h"
#include "platform/windows_api.h"
#include "settings/launcher_settings.h"

using platform::ErrorOr;
using platform::PrintFailure;

namespace {

// Both path buffers hold 512 characters (SHGetFolderPathW needs MAX_PATH).
constexpr DWORD kPathBufferLength = 512;

// Attempts at a fresh folder name before giving up. A UUID collides only with
// a folder left by a run with the same UUID, so a handful of attempts is
// plenty; the bound keeps a broken UUID source from looping forever.
constexpr int kFolderAttempts = 8;

// A single very large write can exhaust kernel resources on 32-bit Windows,
// so payloads are written in pieces of at most this size.
constexpr DWORD kWriteChunk = 8u << 20;

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

// Writes `size` bytes in pieces of at most kWriteChunk. A write that stops
// short leaves a truncated installer: a failure even when WriteFile itself
// reports success.
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

}  // namespace

int CInstallerLauncher::PrepareWorkingFolder(const CString& tempPath, const CString& fallback) {
    if (!workingFolder.IsEmpty()) {
        // Files go into the folder only while it is held; a folder whose
        // hold failed when it was made is not used again.
        if (workingFolderLock) return 0;
        PrintFailure("CheckFolder", payload::kRedirected);
        return payload::kRedirected;
    }
    // Only its owner, SYSTEM and Administrators may enter it, so nobody else
    // can plant anything in it.
    platform::UniqueLocal descriptor;
    if (const int error = payload::MakeSecurityDescriptor(payload::kWorkingFolderSecurity, descriptor)) {
        return error;
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    CString name;
    CString parent = tempPath;
    int made = MakeUniqueFolder(parent, &security, fallback.IsEmpty(), name);
    if (made != 0 && !fallback.IsEmpty()) {
        // The first place could not take the folder (older systems have no
        // SystemTemp): the fallback, whose failure is reported.
        parent = fallback;
        made = MakeUniqueFolder(parent, &security, true, name);
    }
    if (made != 0) return made;
    workingFolder = parent + name + L'\\';
    return payload::HoldFolderBelow(parent, name, 0, workingFolderLock);
}

int CInstallerLauncher::PreparePackageFolder(const CString& commonAppData, CString& folder) {
    auto& api = platform::Api();
    // Elevated, the launcher writes only where no one but administrators
    // can: the levels it makes, and the product folder always, get a
    // protected access list. Without elevation nothing can be protected from
    // the user's own processes, and a protected folder would stop the
    // launcher's own write, so the inherited security stays.
    const bool elevated = payload::RunsElevated();
    platform::UniqueLocal descriptor;
    if (elevated) {
        if (const int error = payload::MakeSecurityDescriptor(payload::kPackageFolderSecurity, descriptor)) {
            return error;
        }
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};

    // The levels below the common application-data folder: those of the
    // installers folder, then the product folder. Each is made if missing
    // and must not be a link. A plain file standing where a level should be
    // is no refusal: as when the system makes the levels, "already exists"
    // is accepted, and making the next level, or creating the package in
    // the last one, then fails with its own line and code.
    const CString levels = CString(LauncherSettings.installersFolderName) + L'\\' + LauncherSettings.productFolderName;
    CString relative;
    bool isFolder = true;
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
            if (const int error = payload::CheckLevelIsNoLink(path, isFolder)) return error;
        }
        start = end + 1;
    }
    if (!isFolder) {
        // A file where the product folder should be: nothing is held or
        // protected, and creating the package below it fails.
        folder = commonAppData + L'\\' + relative + L'\\';
        return 0;
    }

    if (const int error = payload::HoldFolderBelow(commonAppData, relative,
                                                   elevated ? WRITE_DAC | WRITE_OWNER : 0, packageFolderLock)) {
        return error;
    }
    if (elevated) {
        // The product folder is the launcher's own, even when someone else
        // made it first: Administrators become its owner and the protected
        // list replaces whatever it had. The levels above keep theirs, as
        // other programs may rely on them.
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL defaulted = FALSE;
        BOOL present = FALSE;
        // A missing list must never reach SetSecurityInfo: a null DACL
        // grants everyone everything.
        if (!api.GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) || !owner) {
            const int code = ErrorOr(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
            PrintFailure("GetSecurityDescriptorOwner", code);
            return code;
        }
        if (!api.GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || !dacl) {
            const int code = ErrorOr(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
            PrintFailure("GetSecurityDescriptorDacl", code);
            return code;
        }
        const DWORD set = api.SetSecurityInfo(
            packageFolderLock.get(), SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, owner,
            nullptr, dacl, nullptr);
        if (set != ERROR_SUCCESS) {
            packageFolderLock.reset();
            PrintFailure("SetSecurityInfo", static_cast<int>(set));
            return static_cast<int>(set);
        }
    }
    folder = commonAppData + L'\\' + relative + L'\\';
    return 0;
}

int CInstallerLauncher::OpenWorkingFile(const CString& fileName, bool inTemporaryFolder,
                                        platform::UniqueFile& fileHandle, CString& filePath) {
    auto& api = platform::Api();
    wchar_t buffer[kPathBufferLength];
    CString folder;

    if (inTemporaryFolder) {
        // Queried on every call, also when the folder exists already.
        CString base;
        CString fallback;
        if (payload::RunsElevated()) {
            // Never below the user's TEMP, which the user sets: below the
            // Windows folder's SystemTemp where the folder can be made there,
            // else its Temp, both SYSTEM's own.
            wchar_t second[kPathBufferLength];
            const DWORD length = platform::WindowsSubfolder(platform::kElevatedTempFolders[0], buffer, kPathBufferLength);
            const DWORD secondLength =
                platform::WindowsSubfolder(platform::kElevatedTempFolders[1], second, kPathBufferLength);
            if (length == 0 || secondLength == 0) {
                const int code = ErrorOr(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
                PrintFailure("GetSystemWindowsDirectory", code);
                return code;
            }
            base = CString(buffer, static_cast<int>(length));
            fallback = CString(second, static_cast<int>(secondLength));
        } else {
            const DWORD length = api.GetTempPathW(kPathBufferLength, buffer);
            // A path that does not fit reports the size it needs, its NUL
            // included, and leaves no error code of its own.
            if (length == 0 || length >= kPathBufferLength) {
                const int code = ErrorOr(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
                PrintFailure("GetTempPath", code);
                return code;
            }
            base = CString(buffer, static_cast<int>(length));
        }
        if (const int error = PrepareWorkingFolder(base, fallback)) return error;
        folder = workingFolder;
    } else {
        const HRESULT found = api.SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                                   SHGFP_TYPE_CURRENT, buffer);
        if (FAILED(found)) {
            PrintFailure("SHGetFolderPath", found);
            return found;
        }
        if (const int error = PreparePackageFolder(CString(buffer), folder)) return error;
    }

    filePath = folder + fileName;
    const HANDLE folderLock = inTemporaryFolder ? workingFolderLock.get() : packageFolderLock.get();
    if (folderLock == INVALID_HANDLE_VALUE) {
        // A file stands where the product folder should be, so nothing is
        // held: a file cannot be created below a file, which Windows reports
        // as a path not found.
        PrintFailure("CreateFile", ERROR_PATH_NOT_FOUND);
        return ERROR_PATH_NOT_FOUND;
    }
    platform::UniqueFile file;
    // Deleted and created relative to the held folder, never by path.
    if (const int error = payload::CreateFreshFileIn(folderLock, fileName, file)) return error;
    // Written only once it is known to be the one name of a new file in the
    // held folder, not a file reached through a link.
    if (const int error = payload::CheckFileInFolder(file.get(), folderLock, fileName)) return error;
    fileHandle = static_cast<platform::UniqueFile&&>(file);
    return 0;
}

int CInstallerLauncher::ExtractResourceToFile(const CString& resourceName, const CString& resourceType,
                                              const CString& fileName, bool inTemporaryFolder, CString& filePath,
                                              platform::UniqueFile& lockedFile) {
    auto& api = platform::Api();
    filePath.Empty();
    lockedFile.reset();

    // A missing resource, or one of size 0, writes nothing. The bytes of a
    // loaded resource stay readable for the life of the process.
    const HMODULE module = api.GetModuleHandleW(nullptr);
    const HRSRC resource = api.FindResourceW(module, resourceName, resourceType);
    DWORD size = 0;
    HGLOBAL loaded = nullptr;
    const void* bytes = nullptr;
    if (!resource || (size = api.SizeofResource(module, resource)) == 0 ||
        !(loaded = api.LoadResource(module, resource)) || !(bytes = api.LockResource(loaded))) {
        const int code = ErrorOr(GetLastError(), ERROR_INVALID_DATA);
        PrintFailure("LocateResource", code);
        return code;
    }

    platform::UniqueFile file;
    if (const int error = OpenWorkingFile(fileName, inTemporaryFolder, file, filePath)) return error;

    if (const int error = WriteWhole(file.get(), bytes, size)) {
        file.reset();
        PrintFailure("WriteFile", error);
        return error;
    }
    if (!file.Close()) {
        const int code = ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        PrintFailure("CloseHandle", code);
        return code;
    }

    // The writing handle is gone; from here a read-only handle, shared for
    // reading only, keeps every writer and every delete out. In the moment
    // between the two handles someone could have changed or replaced the
    // file, so it must still be the one name of a file in the held folder,
    // and hold exactly the payload's bytes.
    const HANDLE folderLock = inTemporaryFolder ? workingFolderLock.get() : packageFolderLock.get();
    platform::UniqueFile locked;
    if (const int error = payload::OpenReadOnlyIn(folderLock, fileName, locked)) return error;
    if (const int error = payload::CheckFileInFolder(locked.get(), folderLock, fileName)) return error;
    if (const int error = payload::CompareFileWith(locked.get(), bytes, size)) return error;
    lockedFile = static_cast<platform::UniqueFile&&>(locked);
    return 0;
}

void CInstallerLauncher::RemoveWorkingFolder() {
    if (workingFolder.IsEmpty()) return;
    auto& api = platform::Api();

    // The folder's contents are deleted only while it is known to be the
    // folder that was made: held, so that it cannot have been swapped for a
    // link meanwhile, and no link itself.
    const bool ours = workingFolderLock && payload::CheckFolderLevel(workingFolder) == 0;
    if (ours) {
        WIN32_FIND_DATAW entry{};
        platform::UniqueFind find(api.FindFirstFileW(workingFolder + L"*.*", &entry));
        if (find) {
            do {
                const CString name(entry.cFileName);
                if (name == L"." || name == L"..") continue;
                // A link is removed as a link, never followed. Plain
                // subfolders are not descended into; deleting one fails and
                // the folder then stays, which is accepted.
                const bool linkedFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                          (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
                if (linkedFolder) {
                    api.RemoveDirectoryW(workingFolder + name);
                } else {
                    api.DeleteFileW(workingFolder + name);
                }
            } while (api.FindNextFileW(find.get(), &entry));
            find.reset();  // the search must be closed before the folder can go
        }
    }
    // The folder's own handle goes last: removing a folder that is open
    // without delete sharing fails. A link put in its place in this moment
    // is removed as a link.
    workingFolderLock.reset();
    api.RemoveDirectoryW(workingFolder);
    workingFolder.Empty();
}
