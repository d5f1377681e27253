#include "platform/native_files.h"

#include "platform/diagnostics.h"
#include "platform/windows_api.h"

namespace platform {

int NativeFiles::Find() {
    auto& api = Api();
    const HMODULE ntdll = api.GetModuleHandleW(L"ntdll.dll");
    if (ntdll) {
        createFile_ = reinterpret_cast<CreateFileFunction>(
            reinterpret_cast<void*>(api.GetProcAddress(ntdll, "NtCreateFile")));
        setInformation_ = reinterpret_cast<SetInformationFunction>(
            reinterpret_cast<void*>(api.GetProcAddress(ntdll, "NtSetInformationFile")));
        toError_ = reinterpret_cast<StatusToErrorFunction>(
            reinterpret_cast<void*>(api.GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    }
    if (createFile_ && setInformation_ && toError_) return 0;
    return ErrorOr(GetLastError(), ERROR_PROC_NOT_FOUND);
}

NTSTATUS NativeFiles::Open(HANDLE folder, const wchar_t* name, int length, ACCESS_MASK access, ULONG share,
                           ULONG disposition, UniqueFile& item, ULONG options, PSECURITY_DESCRIPTOR descriptor) const {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name);
    text.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        createFile_(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                    disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status >= 0) item.reset(opened);
    return status;
}

NTSTATUS NativeFiles::Rename(HANDLE item, HANDLE folder, const wchar_t* name, int length) const {
    // FILE_RENAME_INFORMATION with the name in place; a bare name below 256
    // code units, which the callers make.
    union {
        struct {
            BOOLEAN replaceIfExists;
            HANDLE rootDirectory;
            ULONG nameLength;
            wchar_t name[256];
        } rename;
        void* align;
    } information{};
    if (length < 0 || length > 256) return static_cast<NTSTATUS>(0xC0000033);  // an invalid name
    information.rename.rootDirectory = folder;
    information.rename.nameLength = static_cast<ULONG>(length * sizeof(wchar_t));
    for (int i = 0; i < length; ++i) information.rename.name[i] = name[i];
    IO_STATUS_BLOCK io{};
    constexpr int kFileRenameInformation = 10;
    return setInformation_(item, &io, &information, sizeof(information), kFileRenameInformation);
}

int NativeFiles::ErrorOf(NTSTATUS status) const { return ErrorOr(toError_(status), ERROR_GEN_FAILURE); }

int OpenFolderAt(const wchar_t* path, UniqueFile& folder) {
    folder.reset(Api().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder ? 0 : ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
}

}  // namespace platform
