#include "payload/file_guard.h"

#include <cstring>

#include "platform/diagnostics.h"
#include "platform/windows_api.h"

using platform::ErrorOr;
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

CString WithoutTrailingBackslash(const CString& path) {
    const int length = path.GetLength();
    return length > 0 && path.GetAt(length - 1) == L'\\' ? path.Left(length - 1) : path;
}

}  // namespace

bool RunsElevated() {
    auto& api = platform::Api();
    // The limited half of a split token runs without administrator rights,
    // whatever groups it names.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    platform::UniqueHandle token;
    DWORD length = 0;
    if (api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
        api.GetTokenInformation(token.get(), TokenElevationType, &type, sizeof(type), &length) &&
        type == TokenElevationTypeLimited) {
        return false;
    }
    // Administrators, S-1-5-32-544, in place.
    struct {
        SID sid;
        DWORD secondRid;
    } administrators = {{SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID}},
                        DOMAIN_ALIAS_RID_ADMINS};
    BOOL member = FALSE;
    if (api.CheckTokenMembership(nullptr, &administrators.sid, &member) && !member) return false;
    return true;
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

int CheckLevelIsNoLink(const CString& path, bool& isFolder) {
    const DWORD attributes = platform::Api().GetFileAttributesW(WithoutTrailingBackslash(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failed("GetFileAttributes", ERROR_GEN_FAILURE);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refused("CheckFolder", kRedirected);
    isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return 0;
}

int CheckFolderLevel(const CString& path) {
    bool isFolder = false;
    if (const int error = CheckLevelIsNoLink(path, isFolder)) return error;
    return isFolder ? 0 : Refused("CheckFolder", kNotAFolder);
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

int HoldFolderBelow(const CString& base, const CString& relative, DWORD extraAccess,
                    platform::UniqueFile& folder) {
    auto& api = platform::Api();
    const CString basePath = WithoutTrailingBackslash(base);
    platform::UniqueFile baseHandle(api.CreateFileW(basePath, FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!baseHandle) return Failed("CreateFile", ERROR_GEN_FAILURE);
    CString expected;
    if (const int error = FinalPath(baseHandle.get(), expected)) return error;
    expected += L'\\';
    expected += relative;

    // Read access takes part in sharing, so the missing delete sharing keeps
    // every rename and removal of the folder out while it is held.
    platform::UniqueFile held(api.CreateFileW(basePath + L'\\' + relative, GENERIC_READ | extraAccess,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held) return Failed("CreateFile", ERROR_GEN_FAILURE);
    CString actual;
    if (const int error = FinalPath(held.get(), actual)) return error;
    if (!SamePath(actual, expected)) return Refused("CheckFolder", kRedirected);
    folder = static_cast<platform::UniqueFile&&>(held);
    return 0;
}

int CheckFileInFolder(HANDLE file, HANDLE folder, const CString& fileName) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!platform::Api().GetFileInformationByHandle(file, &information)) {
        return Failed("GetFileInformationByHandle", ERROR_GEN_FAILURE);
    }
    // A second name would let whoever holds it reach the bytes.
    if (information.nNumberOfLinks != 1) return Refused("CheckFile", kExtraLinks);

    CString folderPath;
    CString filePath;
    if (const int error = FinalPath(folder, folderPath)) return error;
    if (const int error = FinalPath(file, filePath)) return error;
    if (!SamePath(filePath, folderPath + L'\\' + fileName)) return Refused("CheckFile", kRedirected);
    return 0;
}

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

}  // namespace payload
