// The temporary working folder, the shared package folder and the writing of
// embedded resources into files there.
#include <windows.h>

#include "launcher/installer_launcher.h"
#include "settings/launcher_settings.h"
#include "platform/diagnostics.h"
#include "platform/windows_api.h"

using platform::ErrorOr;
using platform::PrintFailure;

namespace {

// Both path buffers hold 512 characters (SHGetFolderPathW needs MAX_PATH).
constexpr DWORD kPathBufferLength = 512;

// Attempts at a fresh folder name before giving up. A UUID collides only with
// a folder left by a run with the same UUID, so a handful of attempts is
// plenty; the bound keeps a broken UUID source from looping forever.
constexpr int kFolderAttempts = 8;

// Makes a folder named by a new UUID inside `parent` (which ends in "\") and
// returns 0 with its path, without a trailing "\", in `folder`. Only a name
// collision leads to another attempt; any other failure of CreateDirectoryW
// (parent missing, access denied, ...) cannot be cured by a new name and
// ends the attempts at once. On failure `folder` is empty.
int MakeUniqueFolder(const CString& parent, CString& folder) {
    auto& api = platform::Api();
    int result = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        UUID uuid{};
        const RPC_STATUS created = api.UuidCreate(&uuid);
        if (created != RPC_S_OK) {
            result = ErrorOr(static_cast<DWORD>(created), ERROR_GEN_FAILURE);
            continue;
        }
        platform::UniqueRpcString text;
        const RPC_STATUS converted = api.UuidToStringW(&uuid, text.put());
        if (converted != RPC_S_OK) {
            result = ErrorOr(static_cast<DWORD>(converted), ERROR_GEN_FAILURE);
            continue;
        }
        folder = parent + reinterpret_cast<const wchar_t*>(text.get());
        text.reset();
        if (api.CreateDirectoryW(folder, nullptr)) return 0;

        const DWORD error = GetLastError();
        folder.Empty();
        result = ErrorOr(error, ERROR_GEN_FAILURE);
        if (error != ERROR_ALREADY_EXISTS) break;
    }
    PrintFailure("CreateDirectory", result);
    return result;
}

}  // namespace

int CInstallerLauncher::OpenWorkingFile(const CString& fileName, bool inTemporaryFolder,
                                        platform::UniqueFile& fileHandle, CString& filePath) {
    auto& api = platform::Api();
    wchar_t buffer[kPathBufferLength];

    if (inTemporaryFolder) {
        // Queried on every call, also when the folder exists already.
        const DWORD length = api.GetTempPathW(kPathBufferLength, buffer);
        if (length == 0 || length > kPathBufferLength) {
            // A path longer than the buffer leaves no error code of its own.
            const int code = ErrorOr(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
            PrintFailure("GetTempPath", code);
            return code;
        }
        if (workingFolder.IsEmpty()) {
            CString folder;
            const int made = MakeUniqueFolder(CString(buffer, static_cast<int>(length)), folder);
            if (made != 0) return made;
            workingFolder = folder + L'\\';
        }
        filePath = workingFolder;
    } else {
        const HRESULT found = api.SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                                   SHGFP_TYPE_CURRENT, buffer);
        if (FAILED(found)) {
            PrintFailure("SHGetFolderPath", found);
            return found;
        }
        const CString folder = CString(buffer) + L'\\' + LauncherSettings.installersFolderName + L'\\' +
                               LauncherSettings.productFolderName;
        const int made = api.SHCreateDirectoryExW(nullptr, folder, nullptr);
        if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) {
            PrintFailure("SHCreateDirectoryEx", made);
            return made;
        }
        filePath = folder + L'\\';
    }

    filePath += fileName;
    // No sharing: a second launcher writing the same package fails here
    // instead of interleaving its bytes with ours.
    platform::UniqueFile file(api.CreateFileW(filePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const int code = ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        PrintFailure("CreateFile", code);
        return code;
    }
    fileHandle = std::move(file);
    return 0;
}

int CInstallerLauncher::ExtractResourceToFile(const CString& resourceName, const CString& resourceType,
                                              const CString& fileName, bool inTemporaryFolder, CString& filePath) {
    auto& api = platform::Api();
    filePath.Empty();

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
    const int opened = OpenWorkingFile(fileName, inTemporaryFolder, file, filePath);
    if (opened != 0) return opened;

    DWORD written = 0;
    const BOOL wrote = api.WriteFile(file.get(), bytes, size, &written, nullptr);
    // A write that stops short leaves a truncated installer: a failure even
    // when WriteFile itself reports success.
    if (!wrote || written != size) {
        const int code = !wrote ? ErrorOr(GetLastError(), ERROR_WRITE_FAULT) : ERROR_WRITE_FAULT;
        file.reset();
        PrintFailure("WriteFile", code);
        return code;
    }

    if (!file.Close()) {
        const int code = ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
        PrintFailure("CloseHandle", code);
        return code;
    }
    return 0;
}

void CInstallerLauncher::RemoveWorkingFolder() {
    if (workingFolder.IsEmpty()) return;
    auto& api = platform::Api();

    WIN32_FIND_DATAW entry{};
    platform::UniqueFind find(api.FindFirstFileW(workingFolder + L"*.*", &entry));
    if (find) {
        do {
            const CString name(entry.cFileName);
            if (name == L"." || name == L"..") continue;
            // Subfolders are not descended into; deleting one fails and the
            // folder then stays, which is accepted.
            api.DeleteFileW(workingFolder + name);
        } while (api.FindNextFileW(find.get(), &entry));
        find.reset();  // the search must be closed before the folder can go
    }
    api.RemoveDirectoryW(workingFolder);
    workingFolder.Empty();
}
