// Working folders and extraction: every failure line with its code, the
// folder-name attempts and their bound, and what stays on disk.
#include <gtest/gtest.h>

#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "launcher/installer_launcher.h"
#include "launcher_test_support.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;
using testsupport::Exists;
using testsupport::ReadFileBytes;

namespace {

class Extraction : public testing::Test {
protected:
    void TearDown() override {
        locked.reset();
        launcher.packageFolder.Release();
        launcher.RemoveWorkingFolder();
    }

    // Extracts `resource` and returns what was printed.
    std::string Extract(const wchar_t* resource, const wchar_t* type, const wchar_t* file, bool temporary) {
        testing::internal::CaptureStdout();
        result = launcher.ExtractResourceToFile(resource, type, file, temporary, path, locked);
        return testing::internal::GetCapturedStdout();
    }

    seam::SeamScope scope;
    CInstallerLauncher launcher;
    CString path;
    platform::UniqueFile locked;
    int result = -12345;
};

std::wstring Text(const CString& s) { return s.GetString(); }

// Stand-ins that fail a step of the extraction as the system could.
void FailTempPath() { seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED}); }
void TempPathTooLong() { seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{600}, DWORD{0}); }
void FailFolderPath() { seam::FailWith<&WindowsApi::SHGetFolderPathW>(HRESULT{E_ACCESSDENIED}, DWORD{0}); }
void FailCreateDirectory() {
    seam::FailWith<&WindowsApi::CreateDirectoryW>(BOOL{FALSE}, DWORD{ERROR_PATH_NOT_FOUND});
}
// NtCreateFile, which the launcher looks up through GetProcAddress, handed
// out as `standIn`; the stand-in reaches the real one as realNtCreateFile.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
NtCreateFileFunction realNtCreateFile = nullptr;
NtCreateFileFunction nativeStandIn = nullptr;
void ReplaceNtCreateFile(NtCreateFileFunction standIn) {
    realNtCreateFile = reinterpret_cast<NtCreateFileFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    nativeStandIn = standIn;
    Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) && strcmp(name, "NtCreateFile") == 0) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(nativeStandIn));
        }
        return ::GetProcAddress(module, name);
    };
}
// Creating the new file fails, or holding the target folder does.
void FailCreateFile() {
    ReplaceNtCreateFile([](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                           PLARGE_INTEGER size, ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                           PVOID ea, ULONG eaLength) NTAPI -> NTSTATUS {
        if (disposition == FILE_CREATE) return static_cast<NTSTATUS>(0xC0000043);  // a sharing violation
        return realNtCreateFile(file, access, attributes, io, size, fileAttributes, share, disposition, options, ea,
                                eaLength);
    });
}
void FailHoldFolder() {
    Api().CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE templateFile) WINAPI -> HANDLE {
        if (flags & FILE_FLAG_OPEN_REPARSE_POINT) {
            ::SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    };
}
// An older package of the case's name is there and cannot be deleted.
std::wstring caseFile;
void FailDelete() {
    testsupport::WriteFileBytes(testsupport::PackageFolder() + caseFile, "older");
    seam::FailWith<&WindowsApi::SetFileInformationByHandle>(BOOL{FALSE}, DWORD{ERROR_ACCESS_DENIED});
}
void FailFind() { seam::FailWith<&WindowsApi::FindResourceW>(HRSRC{nullptr}, DWORD{ERROR_RESOURCE_TYPE_NOT_FOUND}); }
void FailSize() { seam::FailWith<&WindowsApi::SizeofResource>(DWORD{0}, DWORD{0}); }
void FailLoad() { seam::FailWith<&WindowsApi::LoadResource>(HGLOBAL{nullptr}, DWORD{ERROR_NOT_ENOUGH_MEMORY}); }
void FailLock() { seam::FailWith<&WindowsApi::LockResource>(LPVOID{nullptr}, DWORD{0}); }
void FailWrite() { seam::FailWith<&WindowsApi::WriteFile>(BOOL{FALSE}, DWORD{ERROR_DISK_FULL}); }
void FailWriteWithoutError() { seam::FailWith<&WindowsApi::WriteFile>(BOOL{FALSE}, DWORD{0}); }
void ShortWrite() {
    Api().WriteFile = [](HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) WINAPI -> BOOL {
        ::SetLastError(0);
        return ::WriteFile(file, data, size - 1, written, nullptr);  // reports success
    };
}
// Closing the written file fails (it is closed all the same, so that the
// next case finds it free).
void FailClose() {
    Api().CloseHandle = [](HANDLE handle) WINAPI -> BOOL {
        wchar_t path[MAX_PATH];
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path, MAX_PATH, 0);
        const BOOL closed = ::CloseHandle(handle);
        if (length == 0 || length >= MAX_PATH || !wcsstr(path, L"\\case")) return closed;
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    };
}

TEST_F(Extraction, EachFailingStepPrintsItsLineAndReturnsItsCode) {
    testsupport::NotElevated();  // the working folder in the user's temporary folder
    enum class Path { Empty, Full };
    struct Case {
        const char* name;
        void (*fail)();
        bool temporary;
        std::string line;
        int code;
        Path path;
    };
    const Case cases[] = {
        {"GetTempPathW fails", FailTempPath, true, "GetTempPath failed (5)\n", 5, Path::Empty},
        {"temp path too long", TempPathTooLong, true, "GetTempPath failed (122)\n", 122, Path::Empty},
        {"SHGetFolderPathW fails", FailFolderPath, false, "SHGetFolderPath failed (-2147024891)\n",
         static_cast<int>(E_ACCESSDENIED), Path::Empty},
        {"CreateDirectoryW fails (temporary)", FailCreateDirectory, true, "CreateDirectory failed (3)\n", 3, Path::Empty},
        {"CreateDirectoryW fails (package)", FailCreateDirectory, false, "SHCreateDirectoryEx failed (3)\n", 3,
         Path::Empty},
        {"older package cannot be deleted", FailDelete, false, "DeleteFile failed (5)\n", 5, Path::Full},
        {"folder cannot be held", FailHoldFolder, false, "CreateFile failed (32)\n", 32, Path::Empty},
        {"CreateFileW fails (temporary)", FailCreateFile, true, "CreateFile failed (32)\n", 32, Path::Full},
        {"CreateFileW fails (package)", FailCreateFile, false, "CreateFile failed (32)\n", 32, Path::Full},
        {"FindResourceW fails", FailFind, true, "LocateResource failed (1813)\n", 1813, Path::Empty},
        {"SizeofResource gives 0", FailSize, true, "LocateResource failed (13)\n", 13, Path::Empty},
        {"LoadResource fails", FailLoad, true, "LocateResource failed (8)\n", 8, Path::Empty},
        {"LockResource gives null", FailLock, true, "LocateResource failed (13)\n", 13, Path::Empty},
        {"WriteFile fails", FailWrite, true, "WriteFile failed (112)\n", 112, Path::Full},
        {"WriteFile fails without code", FailWriteWithoutError, false, "WriteFile failed (29)\n", 29, Path::Full},
        {"WriteFile stops short", ShortWrite, true, "WriteFile failed (29)\n", 29, Path::Full},
        {"CloseHandle fails", FailClose, true, "CloseHandle failed (6)\n", 6, Path::Full},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope caseScope;
        const std::wstring file = L"case" + std::to_wstring(++n) + L".exe";
        caseFile = file;
        c.fail();
        path = L"stale";
        EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", file.c_str(), c.temporary), c.line);
        EXPECT_EQ(result, c.code);
        if (c.path == Path::Empty) {
            EXPECT_TRUE(path.IsEmpty());
        } else {
            const std::wstring folder = c.temporary ? Text(launcher.workingFolder.Path()) : testsupport::PackageFolder();
            EXPECT_EQ(Text(path), folder + file);
        }
    }
}

TEST_F(Extraction, MissingOrEmptyResourceMakesNoFolderAndNoFile) {
    EXPECT_EQ(Extract(L"NO_SUCH_PAYLOAD", L"EXE", L"x.exe", true), "LocateResource failed (1814)\n");
    EXPECT_EQ(result, ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(Extract(L"EMPTY", L"EXE", L"x.exe", true).substr(0, 23), "LocateResource failed (");
    EXPECT_NE(result, 0);
    EXPECT_TRUE(path.IsEmpty());
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
}

TEST_F(Extraction, ShortWriteClosesTheFile) {
    ShortWrite();
    Extract(L"MSI32", L"MSI", L"short.msi", true);
    ASSERT_EQ(result, ERROR_WRITE_FAULT);
    // Opened without sharing: a second open succeeds only if it was closed.
    EXPECT_EQ(ReadFileBytes(Text(path)), std::string("payload MSI32").substr(0, 12));
}

TEST_F(Extraction, TwoExtractionsShareOneFolderAndEachQueriesTheTempPath) {
    testsupport::NotElevated();  // the working folder in the user's temporary folder
    EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true), "");
    ASSERT_EQ(result, 0);
    const std::wstring folder = Text(launcher.workingFolder.Path());
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(folder.size(), wcslen(temp) + 37);  // UUID and backslash
    EXPECT_EQ(folder.rfind(temp, 0), 0u);
    EXPECT_EQ(Text(path), folder + L"a.exe");
    EXPECT_EQ(ReadFileBytes(folder + L"a.exe"), "payload VC2005_REDIST_32");

    EXPECT_EQ(Extract(L"VC2005_REDIST_64", L"EXE", L"b.exe", true), "");
    EXPECT_EQ(Text(path), folder + L"b.exe");

    FailTempPath();
    EXPECT_EQ(Extract(L"VC2005_REDIST_64", L"EXE", L"c.exe", true), "GetTempPath failed (5)\n");
    EXPECT_EQ(Text(launcher.workingFolder.Path()), folder);
}

TEST_F(Extraction, ExistingPackageIsReplacedWholeAndExistingFolderIsUsed) {
    ::SHCreateDirectoryExW(nullptr, testsupport::PackageFolder().c_str(), nullptr);  // exists already
    const std::wstring target = testsupport::PackageFolder() + L"CorvaneInstaller.msi";
    testsupport::WriteFileBytes(target, std::string(5000, 'x'));
    EXPECT_EQ(Extract(L"MSI64", L"MSI", L"CorvaneInstaller.msi", false), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Text(path), target);
    EXPECT_EQ(ReadFileBytes(target), "payload MSI64");
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
}

// A plain file where a package folder level should be: making the next
// level, or creating the package in the last one, fails with its own line
// and code, and nothing is left to run.
TEST_F(Extraction, AFileWhereAPackageLevelShouldBeFailsTheNextCreation) {
    const struct {
        const wchar_t* level;
        std::string line;
        int code;
    } rows[] = {
        {L"\\Corvane", "SHCreateDirectoryEx failed (3)\n", ERROR_PATH_NOT_FOUND},
        {L"\\Corvane\\Installers\\TolvexOrvik", "CreateFile failed (3)\n", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& row : rows) {
        testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
        const std::wstring blocker = testsupport::CommonAppData() + row.level;
        ::SHCreateDirectoryExW(nullptr, blocker.substr(0, blocker.rfind(L'\\')).c_str(), nullptr);
        testsupport::WriteFileBytes(blocker, "not a folder");
        EXPECT_EQ(Extract(L"MSI64", L"MSI", L"CorvaneInstaller.msi", false), row.line);
        EXPECT_EQ(result, row.code);
        EXPECT_FALSE(locked);
        EXPECT_EQ(ReadFileBytes(blocker), "not a folder");
        ::DeleteFileW(blocker.c_str());
    }
    testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
}

// ---- Folder-name attempts -------------------------------------------------

UUID fixedUuid{0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
int uuidCalls = 0;

TEST_F(Extraction, CollisionWithAnExistingFolderTakesANewName) {
    testsupport::NotElevated();  // the working folder in the user's temporary folder
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring taken = std::wstring(temp) + L"12345678-1234-5678-0102-030405060708";
    ASSERT_TRUE(::CreateDirectoryW(taken.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    uuidCalls = 0;
    Api().UuidCreate = [](UUID* uuid) WINAPI -> RPC_STATUS {
        if (++uuidCalls == 1) {
            *uuid = fixedUuid;
            return RPC_S_OK;
        }
        return ::UuidCreate(uuid);
    };
    EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(uuidCalls, 2);
    EXPECT_NE(Text(launcher.workingFolder.Path()), taken + L"\\");
    EXPECT_TRUE(Exists(Text(path)));
    ::RemoveDirectoryW(taken.c_str());
}

TEST_F(Extraction, AttemptsAreBoundedAndStopAtOnceOnIncurableFailures) {
    testsupport::NotElevated();  // the working folder in the user's temporary folder
    struct Case { DWORD error; int wantCalls; };
    for (const Case c : {Case{ERROR_ALREADY_EXISTS, 8}, Case{ERROR_PATH_NOT_FOUND, 1}, Case{ERROR_ACCESS_DENIED, 1}}) {
        seam::SeamScope caseScope;
        seam::FailWith<&WindowsApi::CreateDirectoryW>(BOOL{FALSE}, c.error);
        EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true),
                  "CreateDirectory failed (" + std::to_string(c.error) + ")\n");
        EXPECT_EQ(result, static_cast<int>(c.error));
        EXPECT_EQ(seam::CallCount<&WindowsApi::CreateDirectoryW>(), c.wantCalls);
        EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    }
}

TEST_F(Extraction, FailingUuidSourceIsBoundedToo) {
    testsupport::NotElevated();  // the working folder in the user's temporary folder
    seam::FailWith<&WindowsApi::UuidCreate>(RPC_STATUS{RPC_S_UUID_NO_ADDRESS}, DWORD{0});
    EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true),
              "UuidCreate failed (" + std::to_string(RPC_S_UUID_NO_ADDRESS) + ")\n");
    EXPECT_EQ(seam::CallCount<&WindowsApi::UuidCreate>(), 8);
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    seam::FailWith<&WindowsApi::UuidToStringW>(RPC_STATUS{RPC_S_OUT_OF_MEMORY}, DWORD{0});
    Api().UuidCreate = ::UuidCreate;
    EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true),
              "UuidToString failed (" + std::to_string(RPC_S_OUT_OF_MEMORY) + ")\n");
}

// ---- Removal ------------------------------------------------------------------

TEST_F(Extraction, RemovalDeletesFilesAndFolderButKeepsThePackage) {
    ASSERT_EQ(launcher.ExtractResourceToFile(L"VC2005_REDIST_32", L"EXE", L"a.exe", true, path, locked), 0);
    ASSERT_EQ(launcher.ExtractResourceToFile(L"VC2005_REDIST_64", L"EXE", L"b.exe", true, path, locked), 0);
    ASSERT_EQ(launcher.ExtractResourceToFile(L"MSI32", L"MSI", L"CorvaneInstaller.msi", false, path, locked), 0);
    const std::wstring folder = Text(launcher.workingFolder.Path());

    launcher.RemoveWorkingFolder();
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    EXPECT_TRUE(Exists(Text(path)));

    seam::FailWith<&WindowsApi::RemoveDirectoryW>(BOOL{FALSE}, DWORD{ERROR_ACCESS_DENIED});
    launcher.RemoveWorkingFolder();  // nothing to do: no call at all
    EXPECT_EQ(seam::CallCount<&WindowsApi::RemoveDirectoryW>(), 0);

    // After removal, a new request makes a new folder.
    ASSERT_EQ(launcher.ExtractResourceToFile(L"VC2005_REDIST_32", L"EXE", L"a.exe", true, path, locked), 0);
    EXPECT_NE(Text(launcher.workingFolder.Path()), folder);
}

TEST_F(Extraction, SubfolderStaysWithTheFolderAndNothingIsPrinted) {
    ASSERT_EQ(launcher.ExtractResourceToFile(L"VC2005_REDIST_32", L"EXE", L"a.exe", true, path, locked), 0);
    const std::wstring folder = Text(launcher.workingFolder.Path());
    ASSERT_TRUE(::CreateDirectoryW((folder + L"sub").c_str(), nullptr));
    locked.reset();  // as once its child has ended

    testing::internal::CaptureStdout();
    launcher.RemoveWorkingFolder();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(launcher.workingFolder.IsEmpty());
    EXPECT_FALSE(Exists(folder + L"a.exe"));
    EXPECT_TRUE(Exists(folder + L"sub"));
    ::RemoveDirectoryW((folder + L"sub").c_str());
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

// ---- Links, swapped files and access lists ------------------------------------------

namespace refusals {

// The final path of handles to files named "case..." leads elsewhere.
DWORD WINAPI FileElsewhere(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path, size, flags);
    if (length == 0 || length >= size || !wcsstr(path, L"\\case")) return length;
    const std::wstring moved = L"\\\\?\\C:\\elsewhere" + std::wstring(wcsrchr(path, L'\\'));
    if (moved.size() >= size) return static_cast<DWORD>(moved.size() + 1);
    wcscpy(path, moved.c_str());
    return static_cast<DWORD>(moved.size());
}
// The held folder (the second final path asked for) leads elsewhere.
int finalPathCalls = 0;
DWORD WINAPI FolderElsewhere(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path, size, flags);
    if (++finalPathCalls != 2 || length == 0 || length + 2 >= size) return length;
    wcscat(path, L"_x");
    return length + 2;
}
// The file, or the held folder, has a second name.
BOOL WINAPI TwoNames(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL got = ::GetFileInformationByHandle(file, information);
    if (!(information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) information->nNumberOfLinks = 2;
    return got;
}
BOOL WINAPI FolderTwoNames(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL got = ::GetFileInformationByHandle(file, information);
    if (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) information->nNumberOfLinks = 2;
    return got;
}
// The held folder shows, on its handle, as a link or as no folder.
BOOL WINAPI FolderIsLink(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL got = ::GetFileInformationByHandle(file, information);
    if (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return got;
}
BOOL WINAPI FolderIsFile(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL got = ::GetFileInformationByHandle(file, information);
    information->dwFileAttributes &= ~DWORD{FILE_ATTRIBUTE_DIRECTORY};
    return got;
}
// What is read back differs from what was written in its last byte.
BOOL WINAPI ChangedBytes(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    const BOOL got = ::ReadFile(file, buffer, size, read, overlapped);
    if (got && *read > 0) static_cast<char*>(buffer)[*read - 1] ^= 1;
    return got;
}
BOOL WINAPI ExtraByte(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    const BOOL got = ::ReadFile(file, buffer, size, read, overlapped);
    if (got && *read == 0 && size > 0) *read = 1;  // the file goes on past the payload
    return got;
}
DWORD WINAPI LevelIsLink(LPCWSTR path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    return wcsstr(path, L"Installers") ? attributes | FILE_ATTRIBUTE_REPARSE_POINT : attributes;
}
BOOL WINAPI LimitedToken(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID information, DWORD, PDWORD length) {
    *static_cast<TOKEN_ELEVATION_TYPE*>(information) = TokenElevationTypeLimited;
    *length = sizeof(TOKEN_ELEVATION_TYPE);
    return TRUE;
}

}  // namespace refusals

TEST_F(Extraction, LinksSwappedFilesAndFailedProtectionAreRefused) {
    struct Case {
        const char* name;
        void (*install)();
        bool temporary;
        std::string line;
    };
    const Case cases[] = {
        {"file leads elsewhere", [] { Api().GetFinalPathNameByHandleW = refusals::FileElsewhere; }, true,
         "CheckFile failed (681)\n"},
        {"package leads elsewhere", [] { Api().GetFinalPathNameByHandleW = refusals::FileElsewhere; }, false,
         "CheckFile failed (681)\n"},
        {"folder leads elsewhere",
         [] {
             refusals::finalPathCalls = 0;
             Api().GetFinalPathNameByHandleW = refusals::FolderElsewhere;
         },
         false, "CheckFolder failed (681)\n"},
        {"file has a second name", [] { Api().GetFileInformationByHandle = refusals::TwoNames; }, false,
         "CheckFile failed (1142)\n"},
        {"held folder has a second name", [] { Api().GetFileInformationByHandle = refusals::FolderTwoNames; },
         false, "CheckFolder failed (1142)\n"},
        {"held folder is a link", [] { Api().GetFileInformationByHandle = refusals::FolderIsLink; }, false,
         "CheckFolder failed (681)\n"},
        {"held folder is no folder", [] { Api().GetFileInformationByHandle = refusals::FolderIsFile; }, false,
         "CheckFolder failed (267)\n"},
        {"bytes changed after writing", [] { Api().ReadFile = refusals::ChangedBytes; }, true,
         "CompareFile failed (1006)\n"},
        {"file grew after writing", [] { Api().ReadFile = refusals::ExtraByte; }, false, "CompareFile failed (1006)\n"},
        {"a package level is a link", [] { Api().GetFileAttributesW = refusals::LevelIsLink; }, false,
         "CheckFolder failed (681)\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope caseScope;
        c.install();
        const std::wstring file = L"case" + std::to_wstring(++n) + L".bin";
        EXPECT_EQ(Extract(L"MSI64", L"MSI", file.c_str(), c.temporary), c.line);
        EXPECT_NE(result, 0);
        EXPECT_FALSE(locked);  // nothing to run
        launcher.packageFolder.Release();
    }
}

// The access lists handed to Windows, read back as SDDL (Wine accepts and
// converts them but does not store them).
std::vector<std::wstring> createdWith;  // per folder made (not tried): SDDL or "inherited"
std::wstring Sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr))
        return L"<unconvertible>";
    const std::wstring sddl = text;
    ::LocalFree(text);
    return sddl;
}
constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// Records every folder made, by path or relative to a held folder.
void RecordFolderCreation() {
    Api().CreateDirectoryW = [](LPCWSTR path, LPSECURITY_ATTRIBUTES security) WINAPI -> BOOL {
        const std::wstring sddl = security ? Sddl(security->lpSecurityDescriptor, kOwnerAndDacl) : L"inherited";
        const BOOL made = ::CreateDirectoryW(path, security);
        if (made) createdWith.push_back(sddl);
        return made;
    };
    ReplaceNtCreateFile([](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                           PLARGE_INTEGER size, ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                           PVOID ea, ULONG eaLength) NTAPI -> NTSTATUS {
        const NTSTATUS status = realNtCreateFile(file, access, attributes, io, size, fileAttributes, share,
                                                 disposition, options, ea, eaLength);
        if (status >= 0 && disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE)) {
            createdWith.push_back(attributes->SecurityDescriptor
                                      ? Sddl(attributes->SecurityDescriptor, kOwnerAndDacl)
                                      : L"inherited");
        }
        return status;
    });
}
// The existing product folder's owner and list, as GetSecurityInfo reports
// them; empty for a failing query.
std::wstring existingSecurity;
DWORD WINAPI ExistingSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                              PSECURITY_DESCRIPTOR* descriptor) {
    if (existingSecurity.empty()) return ERROR_ACCESS_DENIED;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(existingSecurity.c_str(), SDDL_REVISION_1, descriptor,
                                                                nullptr))
        return ::GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    ::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    ::GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    return ERROR_SUCCESS;
}

TEST_F(Extraction, FoldersGetTheirAccessListsAtCreation) {
    RecordFolderCreation();
    const std::wstring working = L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::wstring package = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    struct Case {
        const char* name;
        bool limited;
        std::vector<std::wstring> created;  // temporary folder, then the three package levels
    };
    const Case cases[] = {
        // Elevated, the product folder is made relative to its held parent.
        {"elevated", false, {working, package, package, package}},
        {"not elevated", true, {working, L"inherited", L"inherited", L"inherited"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.limited) testsupport::NotElevated();
        testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
        createdWith.clear();
        ASSERT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true), "");
        ASSERT_EQ(Extract(L"MSI64", L"MSI", L"CorvaneInstaller.msi", false), "");
        EXPECT_EQ(createdWith, c.created);
        locked.reset();
        launcher.packageFolder.Release();
        launcher.RemoveWorkingFolder();
    }
}

// Elevated, an existing product folder is used only while nobody but SYSTEM
// and Administrators may change it; any other is replaced by a fresh one
// with the protected list, and what it held goes with it. One that cannot
// be deleted (a file in it is in use) stops the step: nothing is written.
TEST_F(Extraction, ElevatedRunsReplaceAProductFolderOthersMayChange) {
    const std::wstring product = testsupport::PackageFolder();
    const std::wstring package = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    struct Case {
        const char* name;
        std::wstring security;  // the existing folder's, "" when it cannot be read
        bool replaced;
        bool inUse = false;     // a file in it is held open, so it cannot be deleted
    };
    const Case cases[] = {
        {"the launcher's own list", package, false},
        {"SYSTEM's, creator owner may write", L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;OICIIO;FA;;;CO)", false},
        {"others denied", L"O:BAD:P(D;;FA;;;WD)(A;;FA;;;BA)", false},
        {"owned by a user", L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)(A;;FA;;;BA)", true},
        {"owned by Users", L"O:BUD:P(A;;FA;;;SY)", true},
        {"Users may add files (as ProgramData gives)", L"O:BAD:(A;;FA;;;BA)(A;CI;0x100006;;;BU)", true},
        {"Users may write what is made in it", L"O:BAD:P(A;;FA;;;BA)(A;OICIIO;FA;;;BU)", true},
        {"Everyone may change its list", L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;WD)", true},
        {"no list at all", L"O:BA", true},
        {"an entry of another kind", L"O:BAD:P(A;;FA;;;BA)(OA;;FA;;;WD)", true},
        {"cannot be read", L"", true},
        {"in use", L"O:BUD:P(A;;FA;;;SY)", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope caseScope;
        testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
        ASSERT_EQ(::SHCreateDirectoryExW(nullptr, product.c_str(), nullptr), ERROR_SUCCESS);
        testsupport::WriteFileBytes(product + L"planted.dll", "planted");
        platform::UniqueFile inUse;
        if (c.inUse) {
            inUse.reset(::CreateFileW((product + L"planted.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        }
        existingSecurity = c.security;
        Api().GetSecurityInfo = ExistingSecurity;
        RecordFolderCreation();
        createdWith.clear();

        EXPECT_EQ(Extract(L"MSI64", L"MSI", L"CorvaneInstaller.msi", false),
                  c.inUse ? "RemoveDirectory failed (145)\n" : "");
        const bool made = c.replaced && !c.inUse;
        EXPECT_EQ(createdWith, made ? std::vector<std::wstring>{package} : std::vector<std::wstring>{});
        EXPECT_EQ(ReadFileBytes(product + L"CorvaneInstaller.msi"), c.inUse ? "<missing>" : "payload MSI64");
        EXPECT_EQ(Exists(product + L"planted.dll"), !made);
        locked.reset();
        launcher.packageFolder.Release();
        inUse.reset();
    }
    testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
}

// ---- Large payloads ------------------------------------------------------------------

// A payload of 20 MiB and 5 bytes, served through the resource calls.
std::vector<BYTE> largePayload;
std::vector<DWORD> writes;
int shortWriteAt = 0;  // the call number that writes one byte less, 0 for none

TEST_F(Extraction, LargePayloadIsWrittenInPiecesOfAtMost8MiB) {
    largePayload.resize((20u << 20) + 5);
    for (size_t i = 0; i < largePayload.size(); ++i) largePayload[i] = static_cast<BYTE>(i * 7 + i / 4096);
    Api().SizeofResource = [](HMODULE, HRSRC) WINAPI -> DWORD { return static_cast<DWORD>(largePayload.size()); };
    Api().LockResource = [](HGLOBAL) WINAPI -> LPVOID { return largePayload.data(); };
    Api().WriteFile = [](HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) WINAPI -> BOOL {
        writes.push_back(size);
        const DWORD wanted = static_cast<int>(writes.size()) == shortWriteAt ? size - 1 : size;
        return ::WriteFile(file, data, wanted, written, nullptr);
    };
    struct Case { int shortWriteAt; std::string line; std::vector<DWORD> writes; };
    const Case cases[] = {
        {0, "", {8u << 20, 8u << 20, (4u << 20) + 5}},
        {2, "WriteFile failed (29)\n", {8u << 20, 8u << 20}},  // short in the middle: a failure
    };
    for (const Case& c : cases) {
        writes.clear();
        shortWriteAt = c.shortWriteAt;
        EXPECT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"large.exe", true), c.line);
        EXPECT_EQ(writes, c.writes);
    }
    // The whole file, read back: the payload's bytes, no more.
    writes.clear();
    shortWriteAt = 0;
    ASSERT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"large.exe", true), "");
    const std::string bytes = ReadFileBytes(Text(path));
    EXPECT_TRUE(bytes.size() == largePayload.size() && memcmp(bytes.data(), largePayload.data(), bytes.size()) == 0);
}

// ---- Attacks between a check and an act ------------------------------------------------

namespace attacks {

// Wine cannot make a link of its own, so the swap is made below it, with
// the system's own calls, as another process of the user could.
#if defined(__x86_64__)
constexpr long kRename = 82, kSymlink = 88, kUnlink = 87;
long UnixCall(long number, const char* a, const char* b) {
    long result;
    asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b) : "rcx", "r11", "memory");
    return result;
}
#else
constexpr long kRename = 38, kSymlink = 83, kUnlink = 10;
long UnixCall(long number, const char* a, const char* b) {
    long result;
    asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b) : "memory");
    return result;
}
#endif

std::string UnixPath(const std::wstring& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = convert ? convert(path.c_str()) : nullptr;
    const std::string text = unix ? unix : "";
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return text;
}

std::string target, aside, canary;  // Unix paths: the folder swapped, where it goes, the link's target
std::wstring asideFolder;           // where it goes, for Windows
bool armed = false;

// Moves the target folder aside and puts a link to the canary folder in its
// place, once per run.
void Swap() {
    if (!armed) return;
    armed = false;
    EXPECT_EQ(UnixCall(kRename, target.c_str(), aside.c_str()), 0);
    EXPECT_EQ(UnixCall(kSymlink, canary.c_str(), target.c_str()), 0);
}
// Aims the swap at the Windows folder `folder` (no trailing backslash).
void Aim(const std::wstring& folder) {
    target = UnixPath(folder);
    aside = target + ".aside";
    asideFolder = folder + L".aside";
}

// The product folder, swapped once it was checked, or checked and held:
// where it is checked by path, after that check or after its hold; where it
// is opened relative to its parent, after that open, which is both.
bool IsProduct(const wchar_t* name, size_t length) {
    return std::wstring(name, length).find(L"TolvexOrvik") != std::wstring::npos;
}
void AfterProductOpened() {
    ReplaceNtCreateFile([](PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                           PLARGE_INTEGER size, ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                           PVOID ea, ULONG eaLength) NTAPI -> NTSTATUS {
        const NTSTATUS status = realNtCreateFile(file, access, attributes, io, size, fileAttributes, share,
                                                 disposition, options, ea, eaLength);
        if ((options & FILE_DIRECTORY_FILE) &&
            IsProduct(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t)))
            Swap();
        return status;
    });
}
void AfterProductLevelCheck() {
    AfterProductOpened();
    Api().GetFileAttributesW = [](LPCWSTR path) WINAPI -> DWORD {
        const DWORD attributes = ::GetFileAttributesW(path);
        if (IsProduct(path, wcslen(path))) Swap();
        return attributes;
    };
}
// Once a folder is held: the product folder, or the working folder (aimed
// at when its hold is taken).
void AfterHold() {
    AfterProductOpened();
    Api().CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE templateFile) WINAPI -> HANDLE {
        const HANDLE file = ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
        if (!(flags & FILE_FLAG_OPEN_REPARSE_POINT)) return file;
        if (IsProduct(path, wcslen(path))) {
            Swap();
        } else if (!wcsstr(path, L"Installers")) {  // not the product folder's parent
            Aim(path);
            Swap();
        }
        return file;
    };
}
// Elevated, once the product folder's owner and list were read.
void AfterOwnerCheck() {
    Api().GetSecurityInfo = [](HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID* owner,
                               PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) WINAPI -> DWORD {
        const DWORD read = ::GetSecurityInfo(handle, type, parts, owner, group, dacl, sacl, descriptor);
        Swap();
        return read;
    };
}
void AfterWrite() {
    Api().WriteFile = [](HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) WINAPI
        -> BOOL {
        const BOOL wrote = ::WriteFile(file, data, size, written, overlapped);
        Swap();
        return wrote;
    };
}
// Before the working folder's removal: once it has been checked by path
// (where it is), or as its listing starts through its handle.
void BeforeRemoval() {
    Api().GetFileAttributesW = [](LPCWSTR path) WINAPI -> DWORD {
        const DWORD attributes = ::GetFileAttributesW(path);
        Swap();
        return attributes;
    };
    Api().GetFileInformationByHandleEx = [](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                            DWORD size) WINAPI -> BOOL {
        Swap();
        return ::GetFileInformationByHandleEx(file, kind, information, size);
    };
}
// The user's TEMP, swapped before anything is extracted.
void TempSwapped() {
    Aim(testsupport::UserTempFolder().substr(0, testsupport::UserTempFolder().size() - 1));
    Swap();
}

// The names in `folder`, with the bytes of each.
std::vector<std::string> Contents(const std::wstring& folder) {
    std::vector<std::string> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        found.push_back(std::string(name.begin(), name.end()) + "=" + ReadFileBytes(folder + L"\\" + name));
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
}

}  // namespace attacks

// At a point between a check and an act, the product folder (holding an
// older package), the working folder or the user's TEMP is moved aside and a
// link to a canary folder, which holds a file of the package's name, put in
// its place. The canary stays as it was, nothing is made there, and the run
// either refuses or writes into the folder it checked and holds.
TEST_F(Extraction, AFolderSwappedForALinkNeverReachesWhereTheLinkLeads) {
    const std::wstring productFolder = testsupport::PackageFolder().substr(0, testsupport::PackageFolder().size() - 1);
    const std::wstring canaryFolder = testsupport::CommonAppData() + L"\\Canary";
    enum Folder { kProduct, kWorking, kTemp };
    struct Case {
        const char* name;
        void (*attack)();
        Folder swapped;
        bool elevated;
        bool removeBeforeChecking;  // the working folder's removal runs before the checks
        std::string line;
        int code;
    };
    // Windows keeps a held folder from being moved at all; Wine lets the move
    // below it happen, and then resolves some names through the folder's old
    // path, so some rows end in a refusal rather than a run.
    const Case cases[] = {
        // Elevated, the folder held is judged someone else's (Wine names
        // the user as its owner) and emptied through its handle; Wine
        // resolves the names in it through its old path, so it cannot be
        // emptied and the step stops.
        {"product: after its level check", attacks::AfterProductLevelCheck, kProduct, true, false,
         "RemoveDirectory failed (145)\n", 145},
        // Delete and create go to the held folder, not where its name now
        // leads; Wine does not carry out the delete there.
        {"product, not elevated: after its hold", attacks::AfterHold, kProduct, false, false,
         "CreateFile failed (80)\n", 80},
        {"product: after its owner was read", attacks::AfterOwnerCheck, kProduct, true, false,
         "RemoveDirectory failed (145)\n", 145},
        // The reopened file is not the one name of a file in the held folder.
        {"product: after the write", attacks::AfterWrite, kProduct, true, false, "CheckFile failed (681)\n", 681},
        {"working folder: after the hold", attacks::AfterHold, kWorking, true, false, "CheckFile failed (681)\n", 681},
        {"working folder: before the removal", [] { attacks::armed = false; }, kWorking, true, true, "", 0},
        // Elevated runs never use it.
        {"TEMP: before the run", attacks::TempSwapped, kTemp, true, false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seam::SeamScope caseScope;
        if (!c.elevated) testsupport::NotElevated();
        testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
        testsupport::RemoveTree(canaryFolder);
        ::SHCreateDirectoryExW(nullptr, productFolder.c_str(), nullptr);
        ::CreateDirectoryW(canaryFolder.c_str(), nullptr);
        testsupport::WriteFileBytes(productFolder + L"\\CorvaneInstaller.msi", "older");
        testsupport::WriteFileBytes(canaryFolder + L"\\CorvaneInstaller.msi", "canary");
        attacks::canary = attacks::UnixPath(canaryFolder);
        attacks::target.clear();
        if (c.swapped == kProduct) attacks::Aim(productFolder);
        attacks::armed = true;
        c.attack();

        const bool temporary = c.swapped != kProduct;
        if (c.removeBeforeChecking) {
            ASSERT_EQ(Extract(L"VC2005_REDIST_32", L"EXE", L"a.exe", true), "");
            locked.reset();
            attacks::Aim(Text(launcher.workingFolder.Path()).substr(0, launcher.workingFolder.Path().GetLength() - 1));
            attacks::armed = true;
            attacks::BeforeRemoval();
            launcher.RemoveWorkingFolder();
        } else {
            EXPECT_EQ(Extract(L"MSI64", L"MSI", L"CorvaneInstaller.msi", temporary), c.line);
            EXPECT_EQ(result, c.code);
            EXPECT_EQ(static_cast<bool>(locked), c.code == 0);
        }
        // Nothing made there, also for a moment.
        EXPECT_EQ(attacks::Contents(canaryFolder), std::vector<std::string>{"CorvaneInstaller.msi=canary"});
        EXPECT_FALSE(attacks::armed);  // the swap happened
        locked.reset();
        launcher.packageFolder.Release();
        launcher.RemoveWorkingFolder();
        EXPECT_EQ(attacks::Contents(canaryFolder), std::vector<std::string>{"CorvaneInstaller.msi=canary"});
        // Undone: the link goes, the folder comes back (TEMP) or goes.
        ASSERT_FALSE(attacks::target.empty());
        attacks::UnixCall(attacks::kUnlink, attacks::target.c_str(), nullptr);
        if (c.swapped == kTemp) {
            EXPECT_EQ(attacks::UnixCall(attacks::kRename, attacks::aside.c_str(), attacks::target.c_str()), 0);
        } else if (c.swapped == kWorking) {
            testsupport::RemoveTree(attacks::asideFolder);
        }
    }
    testsupport::RemoveTree(testsupport::CommonAppData() + L"\\Corvane");
    testsupport::RemoveTree(canaryFolder);
}
