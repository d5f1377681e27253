// The one seam between the launcher and Windows.
//
// Every Windows operation that the launcher, the payload steps, the
// preparation steps and the registry toolkit call goes through the table that
// Api() returns. A test replaces single entries (see tests/unit/common/seam.h)
// to make a call fail with an error code of its choosing, or to record its
// arguments, and restores the table afterwards. Production code never asks
// whether it is being tested.
//
// The executable imports only KERNEL32 and the C runtime. The entries of the
// other system DLLs start out empty: LoadSystemLibraries() first restricts
// the DLL search to the system folder and then loads those DLLs from there
// and fills the entries. It must run before anything else of the program, so
// that no DLL planted next to the executable or in the current folder is
// ever loaded.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <rpc.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

namespace platform {

struct WindowsApi {
    // ---- KERNEL32, imported ------------------------------------------------

    // Process, modules and version. NTDLL, always loaded, is reached by
    // GetModuleHandleW and GetProcAddress where its functions are needed.
    decltype(&::GetModuleHandleW) GetModuleHandleW = ::GetModuleHandleW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW = ::GetModuleFileNameW;
    decltype(&::GetFileAttributesW) GetFileAttributesW = ::GetFileAttributesW;
    decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
    decltype(&::LoadLibraryW) LoadLibraryW = ::LoadLibraryW;
    decltype(&::LoadLibraryExW) LoadLibraryExW = ::LoadLibraryExW;
    decltype(&::SetDllDirectoryW) SetDllDirectoryW = ::SetDllDirectoryW;
    decltype(&::FreeLibrary) FreeLibrary = ::FreeLibrary;
    decltype(&::GetCurrentProcess) GetCurrentProcess = ::GetCurrentProcess;
    decltype(&::GetVersionExW) GetVersionExW = ::GetVersionExW;
    decltype(&::GetCommandLineW) GetCommandLineW = ::GetCommandLineW;
    decltype(&::GetLocalTime) GetLocalTime = ::GetLocalTime;
    decltype(&::LocalFree) LocalFree = ::LocalFree;

    // Resources of the running module.
    decltype(&::FindResourceW) FindResourceW = ::FindResourceW;
    decltype(&::SizeofResource) SizeofResource = ::SizeofResource;
    decltype(&::LoadResource) LoadResource = ::LoadResource;
    decltype(&::LockResource) LockResource = ::LockResource;

    // Files and folders.
    decltype(&::GetTempPathW) GetTempPathW = ::GetTempPathW;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW = ::GetSystemDirectoryW;
    decltype(&::GetSystemWindowsDirectoryW) GetSystemWindowsDirectoryW = ::GetSystemWindowsDirectoryW;
    decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::ReadFile) ReadFile = ::ReadFile;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle = ::GetFileInformationByHandle;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx = ::GetFileInformationByHandleEx;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle = ::SetFileInformationByHandle;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW = ::GetFinalPathNameByHandleW;
    decltype(&::CompareStringOrdinal) CompareStringOrdinal = ::CompareStringOrdinal;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::FindFirstFileW) FindFirstFileW = ::FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW = ::FindNextFileW;
    decltype(&::FindClose) FindClose = ::FindClose;
    decltype(&::DeleteFileW) DeleteFileW = ::DeleteFileW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW = ::RemoveDirectoryW;

    // Child processes.
    decltype(&::CreateProcessW) CreateProcessW = ::CreateProcessW;
    decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess = ::GetExitCodeProcess;
    decltype(&::Sleep) Sleep = ::Sleep;
    decltype(&::GetTickCount) GetTickCount = ::GetTickCount;

    // Named mutexes: the launcher's own run lock, and the Windows
    // Installer's "_MSIExecute" that it waits for.
    decltype(&::CreateMutexW) CreateMutexW = ::CreateMutexW;
    decltype(&::OpenMutexW) OpenMutexW = ::OpenMutexW;
    decltype(&::ReleaseMutex) ReleaseMutex = ::ReleaseMutex;

    // Processes.
    decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot = ::CreateToolhelp32Snapshot;
    decltype(&::Process32FirstW) Process32FirstW = ::Process32FirstW;
    decltype(&::Process32NextW) Process32NextW = ::Process32NextW;
    decltype(&::OpenProcess) OpenProcess = ::OpenProcess;
    decltype(&::TerminateProcess) TerminateProcess = ::TerminateProcess;

    // ---- Loaded from the system folder by LoadSystemLibraries() ----------

    // USER32: string resources, the question box, the message loop.
    decltype(&::LoadStringW) LoadStringW = nullptr;
    decltype(&::MessageBoxW) MessageBoxW = nullptr;
    decltype(&::GetMessageW) GetMessageW = nullptr;
    decltype(&::TranslateMessage) TranslateMessage = nullptr;
    decltype(&::DispatchMessageW) DispatchMessageW = nullptr;

    // SHELL32: the common application-data folder, and starting a child
    // that asks for elevation.
    decltype(&::SHGetFolderPathW) SHGetFolderPathW = nullptr;
    decltype(&::ShellExecuteExW) ShellExecuteExW = nullptr;

    // COMCTL32 (version 6, through the manifest).
    decltype(&::InitCommonControlsEx) InitCommonControlsEx = nullptr;

    // RPCRT4: unique folder names.
    decltype(&::UuidCreate) UuidCreate = nullptr;
    decltype(&::UuidToStringW) UuidToStringW = nullptr;
    decltype(&::RpcStringFreeW) RpcStringFreeW = nullptr;

    // ADVAPI32: registry. RegDeleteKeyExW is looked up by name where it is
    // needed (LoadLibraryW and GetProcAddress above).
    decltype(&::RegOpenKeyExW) RegOpenKeyExW = nullptr;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW = nullptr;
    decltype(&::RegCloseKey) RegCloseKey = nullptr;
    decltype(&::RegQueryInfoKeyW) RegQueryInfoKeyW = nullptr;
    decltype(&::RegEnumKeyExW) RegEnumKeyExW = nullptr;
    decltype(&::RegEnumValueW) RegEnumValueW = nullptr;
    decltype(&::RegQueryValueExW) RegQueryValueExW = nullptr;
    decltype(&::RegSetValueExW) RegSetValueExW = nullptr;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW = nullptr;

    // ADVAPI32: services.
    decltype(&::OpenSCManagerW) OpenSCManagerW = nullptr;
    decltype(&::OpenServiceW) OpenServiceW = nullptr;
    decltype(&::ControlService) ControlService = nullptr;
    decltype(&::CloseServiceHandle) CloseServiceHandle = nullptr;

    // ADVAPI32: the process token and security descriptors.
    decltype(&::OpenProcessToken) OpenProcessToken = nullptr;
    decltype(&::GetTokenInformation) GetTokenInformation = nullptr;
    decltype(&::SetTokenInformation) SetTokenInformation = nullptr;
    decltype(&::CheckTokenMembership) CheckTokenMembership = nullptr;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)
        ConvertStringSecurityDescriptorToSecurityDescriptorW = nullptr;
    decltype(&::GetSecurityDescriptorOwner) GetSecurityDescriptorOwner = nullptr;
    decltype(&::GetSecurityDescriptorDacl) GetSecurityDescriptorDacl = nullptr;
    decltype(&::GetSecurityInfo) GetSecurityInfo = nullptr;
};

// The process-wide table. Tests may assign to its entries; nothing else does.
WindowsApi& Api();

// Refuses to run when a file or folder named "<the executable's file
// name>.local" (in any case) stands beside the executable. With one there,
// Windows' DLL redirection loads DLLs from it (a folder) or from the
// executable's own folder (a file) in place of those asked for, full paths
// and the system folder included, and the folder that holds a downloaded
// launcher is one its user may write to. Must run before any DLL beyond
// those the image imports is loaded. Returns 0 when there is none;
// otherwise it prints (and keeps for the log) one line naming it and
// returns kDllRedirectionRefused, or the error of a query that failed, since
// then the check could not be made.
constexpr int kDllRedirectionRefused = ERROR_FILE_EXISTS;
int RefuseDllRedirection();

// Restricts the search for DLLs to the system folder, then loads USER32,
// SHELL32, COMCTL32, RPCRT4 and ADVAPI32 from there and fills their entries
// of the table. The restriction is SetDefaultDllDirectories, looked up by
// name; where it is missing (Windows 7 without its update) the current
// folder is taken out of the search with SetDllDirectoryW(L"") and each DLL
// is loaded by its full path in the system folder. Returns 0, or the error
// of the load or lookup that failed after printing its diagnostic line; the
// program cannot run without these functions.
int LoadSystemLibraries();

}  // namespace platform
