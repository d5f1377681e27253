#include "platform/windows_api.h"

#include "platform/diagnostics.h"

namespace platform {

WindowsApi& Api() {
    static WindowsApi table;
    return table;
}

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Takes the application folder and the current folder out of the DLL search
// for every later load. Returns true when the search is restricted to the
// system folder; false when only the current folder could be taken out, and
// the DLLs must then be named by their full paths.
bool RestrictDllSearch(WindowsApi& api) {
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
        api.GetProcAddress(api.GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
    api.SetDllDirectoryW(L"");
    return false;
}

class SystemLibraryLoader {
public:
    explicit SystemLibraryLoader(WindowsApi& api) : api_(api), restricted_(RestrictDllSearch(api)) {}

    // Loads `name` from the system folder; null (with the error recorded)
    // when that fails.
    HMODULE Load(const wchar_t* name) {
        if (error_ != 0) return nullptr;
        HMODULE module = nullptr;
        if (restricted_) {
            module = api_.LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        } else {
            wchar_t path[MAX_PATH + 32];
            const UINT length = api_.GetSystemDirectoryW(path, MAX_PATH);
            UINT nameLength = 0;
            while (name[nameLength] != L'\0') ++nameLength;
            // The folder, a backslash, the name and its NUL must fit.
            if (length != 0 && length < MAX_PATH && nameLength + 2 <= MAX_PATH + 32 - length) {
                wchar_t* end = path + length;
                *end++ = L'\\';
                for (UINT i = 0; i <= nameLength; ++i) *end++ = name[i];
                module = api_.LoadLibraryW(path);
            }
        }
        if (!module) Fail("LoadLibrary", ErrorOr(GetLastError(), ERROR_MOD_NOT_FOUND));
        return module;
    }

    // Fills `entry` with the function `name` of `module`.
    template <typename Function>
    void Bind(HMODULE module, const char* name, Function& entry) {
        if (error_ != 0) return;
        entry = reinterpret_cast<Function>(reinterpret_cast<void*>(api_.GetProcAddress(module, name)));
        if (!entry) Fail("GetProcAddress", ErrorOr(GetLastError(), ERROR_PROC_NOT_FOUND));
    }

    int Error() const { return error_; }

private:
    void Fail(const char* operation, int code) {
        PrintFailure(operation, code);
        error_ = code;
    }

    WindowsApi& api_;
    const bool restricted_;
    int error_ = 0;
};

}  // namespace

#define PLATFORM_BIND(module, name) loader.Bind(module, #name, api.name)

int LoadSystemLibraries() {
    WindowsApi& api = Api();
    SystemLibraryLoader loader(api);

    const HMODULE user32 = loader.Load(L"user32.dll");
    PLATFORM_BIND(user32, LoadStringW);
    PLATFORM_BIND(user32, MessageBoxW);
    PLATFORM_BIND(user32, GetMessageW);
    PLATFORM_BIND(user32, TranslateMessage);
    PLATFORM_BIND(user32, DispatchMessageW);

    const HMODULE shell32 = loader.Load(L"shell32.dll");
    PLATFORM_BIND(shell32, SHGetFolderPathW);
    PLATFORM_BIND(shell32, ShellExecuteExW);

    const HMODULE comctl32 = loader.Load(L"comctl32.dll");
    PLATFORM_BIND(comctl32, InitCommonControlsEx);

    const HMODULE rpcrt4 = loader.Load(L"rpcrt4.dll");
    PLATFORM_BIND(rpcrt4, UuidCreate);
    PLATFORM_BIND(rpcrt4, UuidToStringW);
    PLATFORM_BIND(rpcrt4, RpcStringFreeW);

    const HMODULE advapi32 = loader.Load(L"advapi32.dll");
    PLATFORM_BIND(advapi32, RegOpenKeyExW);
    PLATFORM_BIND(advapi32, RegCreateKeyExW);
    PLATFORM_BIND(advapi32, RegCloseKey);
    PLATFORM_BIND(advapi32, RegQueryInfoKeyW);
    PLATFORM_BIND(advapi32, RegEnumKeyExW);
    PLATFORM_BIND(advapi32, RegEnumValueW);
    PLATFORM_BIND(advapi32, RegQueryValueExW);
    PLATFORM_BIND(advapi32, RegSetValueExW);
    PLATFORM_BIND(advapi32, RegDeleteKeyW);
    PLATFORM_BIND(advapi32, OpenSCManagerW);
    PLATFORM_BIND(advapi32, OpenServiceW);
    PLATFORM_BIND(advapi32, ControlService);
    PLATFORM_BIND(advapi32, CloseServiceHandle);
    PLATFORM_BIND(advapi32, OpenProcessToken);
    PLATFORM_BIND(advapi32, GetTokenInformation);
    PLATFORM_BIND(advapi32, CheckTokenMembership);
    PLATFORM_BIND(advapi32, ConvertStringSecurityDescriptorToSecurityDescriptorW);
    PLATFORM_BIND(advapi32, GetSecurityDescriptorOwner);
    PLATFORM_BIND(advapi32, GetSecurityDescriptorDacl);
    PLATFORM_BIND(advapi32, GetSecurityInfo);

    return loader.Error();
}

#undef PLATFORM_BIND

}  // namespace platform
