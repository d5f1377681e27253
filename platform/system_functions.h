// The Windows functions the launcher finds by name at run time instead of
// importing them: those that older Windows lack, and NTDLL's native calls.
//
// Their types are spelled out here, once. A wrong calling convention or
// parameter in such a type is harmless in the x64 build, which has one
// calling convention, and corrupts the stack in the 32-bit one; so every
// type below is checked against the system headers' own declaration of the
// function, at compile time and in both builds (system_functions_check.cpp).
#pragma once

#include <windows.h>
#include <winternl.h>

#include "platform/windows_api.h"

namespace platform {

// KERNEL32.
using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);                  // Windows 10 1511
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);                             // Windows 8, 7 updated
using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);  // Windows 8

// ADVAPI32.
using RegDeleteKeyExWFunction = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);  // 64-bit Windows XP

// NTDLL.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                      FILE_INFORMATION_CLASS);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);

// `name` in `module` (through the seam, like every other call) as a function
// of type Function; null where the module lacks it.
template <typename Function>
Function FindFunction(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Api().GetProcAddress(module, name)));
}

}  // namespace platform
