// The one seam between the launcher and Windows.
//
// Every Windows operation that the launcher, the payload steps, the
// preparation steps and the registry toolkit call goes through the table that
// Api() returns. In production the table holds the real functions and is never
// changed. A test replaces single entries (see tests/unit/common/seam.h) to make a
// call fail with an error code of its choosing, or to record its arguments,
// and restores the table afterwards. Production code never asks whether it is
// being tested.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <rpc.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

namespace platform {

struct WindowsApi {
    // Process, modules and version.
    decltype(&::GetModuleHandleW) GetModuleHandleW = ::GetModuleHandleW;
    decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
    decltype(&::LoadLibraryW) LoadLibraryW = ::LoadLibraryW;
    decltype(&::FreeLibrary) FreeLibrary = ::FreeLibrary;
    decltype(&::GetCurrentProcess) GetCurrentProcess = ::GetCurrentProcess;
    decltype(&::GetVersionExW) GetVersionExW = ::GetVersionExW;
    decltype(&::GetCommandLineW) GetCommandLineW = ::GetCommandLineW;

    // Resources of the running module.
    decltype(&::FindResourceW) FindResourceW = ::FindResourceW;
    decltype(&::SizeofResource) SizeofResource = ::SizeofResource;
    decltype(&::LoadResource) LoadResource = ::LoadResource;
    decltype(&::LockResource) LockResource = ::LockResource;
    decltype(&::LoadStringW) LoadStringW = ::LoadStringW;

    // Files and folders.
    decltype(&::GetTempPathW) GetTempPathW = ::GetTempPathW;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW = ::GetSystemDirectoryW;
    decltype(&::CreateDirectoryW) CreateDirectoryW = ::CreateDirectoryW;
    decltype(&::SHGetFolderPathW) SHGetFolderPathW = ::SHGetFolderPathW;
    decltype(&::SHCreateDirectoryExW) SHCreateDirectoryExW = ::SHCreateDirectoryExW;
    decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::FindFirstFileW) FindFirstFileW = ::FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW = ::FindNextFileW;
    decltype(&::FindClose) FindClose = ::FindClose;
    decltype(&::DeleteFileW) DeleteFileW = ::DeleteFileW;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW = ::RemoveDirectoryW;

    // Unique names.
    decltype(&::UuidCreate) UuidCreate = ::UuidCreate;
    decltype(&::UuidToStringW) UuidToStringW = ::UuidToStringW;
    decltype(&::RpcStringFreeW) RpcStringFreeW = ::RpcStringFreeW;

    // Child processes.
    decltype(&::ShellExecuteExW) ShellExecuteExW = ::ShellExecuteExW;
    decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess = ::GetExitCodeProcess;

    // Registry. RegDeleteKeyExW is looked up by name (LoadLibraryW and
    // GetProcAddress above), because it is missing before 64-bit Windows XP.
    decltype(&::RegOpenKeyExW) RegOpenKeyExW = ::RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW = ::RegCreateKeyExW;
    decltype(&::RegCloseKey) RegCloseKey = ::RegCloseKey;
    decltype(&::RegQueryInfoKeyW) RegQueryInfoKeyW = ::RegQueryInfoKeyW;
    decltype(&::RegEnumKeyExW) RegEnumKeyExW = ::RegEnumKeyExW;
    decltype(&::RegEnumValueW) RegEnumValueW = ::RegEnumValueW;
    decltype(&::RegQueryValueExW) RegQueryValueExW = ::RegQueryValueExW;
    decltype(&::RegSetValueExW) RegSetValueExW = ::RegSetValueExW;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW = ::RegDeleteKeyW;

    // Services.
    decltype(&::OpenSCManagerW) OpenSCManagerW = ::OpenSCManagerW;
    decltype(&::OpenServiceW) OpenServiceW = ::OpenServiceW;
    decltype(&::ControlService) ControlService = ::ControlService;
    decltype(&::CloseServiceHandle) CloseServiceHandle = ::CloseServiceHandle;

    // Processes.
    decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot = ::CreateToolhelp32Snapshot;
    decltype(&::Process32FirstW) Process32FirstW = ::Process32FirstW;
    decltype(&::Process32NextW) Process32NextW = ::Process32NextW;
    decltype(&::OpenProcess) OpenProcess = ::OpenProcess;
    decltype(&::TerminateProcess) TerminateProcess = ::TerminateProcess;

    // User interface.
    decltype(&::InitCommonControlsEx) InitCommonControlsEx = ::InitCommonControlsEx;
    decltype(&::MessageBoxW) MessageBoxW = ::MessageBoxW;
    decltype(&::GetMessageW) GetMessageW = ::GetMessageW;
    decltype(&::TranslateMessage) TranslateMessage = ::TranslateMessage;
    decltype(&::DispatchMessageW) DispatchMessageW = ::DispatchMessageW;
};

// The process-wide table. Tests may assign to its entries; nothing else does.
WindowsApi& Api();

}  // namespace platform
