#include "platform/native_files.h"

#include <cstddef>

#include "platform/diagnostics.h"
#include "platform/windows_api.h"

namespace platform {

// The rename buffer is the system's FILE_RENAME_INFO with room for the name.
static_assert(offsetof(RenameInformation, replaceIfExists) == offsetof(FILE_RENAME_INFO, ReplaceIfExists));
static_assert(offsetof(RenameInformation, rootDirectory) == offsetof(FILE_RENAME_INFO, RootDirectory));
static_assert(offsetof(RenameInformation, nameLength) == offsetof(FILE_RENAME_INFO, FileNameLength));
static_assert(offsetof(RenameInformation, name) == offsetof(FILE_RENAME_INFO, FileName));
static_assert(sizeof(RenameInformation::name) == 256 * sizeof(FILE_RENAME_INFO::FileName[0]));
static_assert(alignof(RenameInformation) == alignof(FILE_RENAME_INFO));

int NativeFiles::Find() {
    auto& api = Api();
    const HMODULE ntdll = api.GetModuleHandleW(L"ntdll.dll");
    if (ntdll) {
        createFile_ = FindFunction<NtCreateFileFunction>(ntdll, "NtCreateFile");
        setInformation_ = FindFunction<NtSetInformationFileFunction>(ntdll, "NtSetInformationFile");
        toError_ = FindFunction<RtlNtStatusToDosErrorFunction>(ntdll, "RtlNtStatusToDosError");
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
    // A bare name of up to 256 code units, which the callers make.
    RenameInformation information{};
    if (length < 0 || length > 256) return static_cast<NTSTATUS>(0xC0000033);  // an invalid name
    information.rootDirectory = folder;
    information.nameLength = static_cast<ULONG>(length * sizeof(wchar_t));
    for (int i = 0; i < length; ++i) information.name[i] = name[i];
    IO_STATUS_BLOCK io{};
    return setInformation_(item, &io, &information, sizeof(information), FileRenameInformation);
}

int NativeFiles::ErrorOf(NTSTATUS status) const { return ErrorOr(toError_(status), ERROR_GEN_FAILURE); }

int OpenFolderAt(const wchar_t* path, UniqueFile& folder) {
    folder.reset(Api().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder ? 0 : ErrorOr(GetLastError(), ERROR_GEN_FAILURE);
}

}  // namespace platform
