#include "platform/windows_api.h"

#include <cstddef>

#include "platform/diagnostics.h"
#include "platform/system_functions.h"

namespace platform {

WindowsApi& Api() {
    static WindowsApi table;
    return table;
}

namespace {

// Takes the application folder and the current folder out of the DLL search
// for every later load. Returns true when the search is restricted to the
// system folder; false when only the current folder could be taken out, and
// the DLLs must then be named by their full paths.
bool RestrictDllSearch(WindowsApi& api) {
    const auto setDefault = FindFunction<SetDefaultDllDirectoriesFunction>(api.GetModuleHandleW(L"kernel32.dll"),
                                                                           "SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
    api.SetDllDirectoryW(L"");
    return false;
}

// What follows the executable's path in the name that redirects its DLLs.
constexpr wchar_t kRedirectionSuffix[] = L".local";

}  // namespace

int RefuseDllRedirection() {
    auto& api = Api();
    // The executable's path, found from its own module; room for the suffix.
    constexpr DWORD kRoom = 1024;
    wchar_t path[kRoom + sizeof(kRedirectionSuffix) / sizeof(wchar_t)];
    const DWORD length = api.GetModuleFileNameW(nullptr, path, kRoom);
    if (length == 0 || length >= kRoom) {
        const int code = length == 0 ? ErrorOr(GetLastError(), ERROR_GEN_FAILURE) : ERROR_INSUFFICIENT_BUFFER;
        PrintFailure("GetModuleFileName", code);
        return code;
    }
    for (DWORD i = 0; i < sizeof(kRedirectionSuffix) / sizeof(wchar_t); ++i) path[length + i] = kRedirectionSuffix[i];
    // The file system matches names in any case, as the loader does.
    if (api.GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
        // Something may be there that this process cannot see.
        PrintFailure("GetFileAttributes", ErrorOr(error, ERROR_GEN_FAILURE));
        return ErrorOr(error, ERROR_GEN_FAILURE);
    }
    // Named by its file name (non-ASCII characters as "?"), since it stands
    // beside the launcher.
    DWORD name = length;
    while (name > 0 && path[name - 1] != L'\\') --name;
    char line[200];
    int used = 0;
    for (const char* p = "Refused to run: "; *p != '\0'; ++p) line[used++] = *p;
    for (const wchar_t* p = path + name; *p != L'\0' && used < 120; ++p) {
        line[used++] = *p >= 0x20 && *p < 0x7F ? static_cast<char>(*p) : '?';
    }
    for (const char* p = " beside the launcher would redirect the DLLs it loads"; *p != '\0'; ++p) line[used++] = *p;
    line[used] = '\0';
    PrintLine(line);
    return kDllRedirectionRefused;
}

namespace {

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

    // One entry of the table and the name of its function.
    struct Binding {
        const char* name;
        unsigned offset;  // of the entry in WindowsApi
    };

    // Loads the DLL `dll` and fills the entries `bindings` with its functions.
    template <unsigned Count>
    void Bind(const wchar_t* dll, const Binding (&bindings)[Count]) {
        Bind(dll, bindings, Count);
    }
    void Bind(const wchar_t* dll, const Binding* bindings, unsigned count) {
        const HMODULE module = Load(dll);
        for (const Binding* binding = bindings; binding != bindings + count; ++binding) {
            if (error_ != 0) return;
            const FARPROC function = api_.GetProcAddress(module, binding->name);
            if (!function) Fail("GetProcAddress", ErrorOr(GetLastError(), ERROR_PROC_NOT_FOUND));
            // Every entry of the table is a function pointer.
            *reinterpret_cast<FARPROC*>(reinterpret_cast<char*>(&api_) + binding->offset) = function;
        }
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

#define PLATFORM_BINDING(name) {#name, offsetof(WindowsApi, name)}

int LoadSystemLibraries() {
    using Binding = SystemLibraryLoader::Binding;
    static constexpr Binding kUser32[] = {
        PLATFORM_BINDING(LoadStringW),      PLATFORM_BINDING(MessageBoxW),      PLATFORM_BINDING(GetMessageW),
        PLATFORM_BINDING(TranslateMessage), PLATFORM_BINDING(DispatchMessageW),
    };
    static constexpr Binding kShell32[] = {PLATFORM_BINDING(SHGetFolderPathW), PLATFORM_BINDING(ShellExecuteExW)};
    static constexpr Binding kComctl32[] = {PLATFORM_BINDING(InitCommonControlsEx)};
    static constexpr Binding kRpcrt4[] = {PLATFORM_BINDING(UuidCreate), PLATFORM_BINDING(UuidToStringW),
                                          PLATFORM_BINDING(RpcStringFreeW)};
    static constexpr Binding kAdvapi32[] = {
        PLATFORM_BINDING(RegOpenKeyExW),
        PLATFORM_BINDING(RegCreateKeyExW),
        PLATFORM_BINDING(RegCloseKey),
        PLATFORM_BINDING(RegQueryInfoKeyW),
        PLATFORM_BINDING(RegEnumKeyExW),
        PLATFORM_BINDING(RegEnumValueW),
        PLATFORM_BINDING(RegQueryValueExW),
        PLATFORM_BINDING(RegSetValueExW),
        PLATFORM_BINDING(RegDeleteKeyW),
        PLATFORM_BINDING(OpenSCManagerW),
        PLATFORM_BINDING(OpenServiceW),
        PLATFORM_BINDING(ControlService),
        PLATFORM_BINDING(CloseServiceHandle),
        PLATFORM_BINDING(OpenProcessToken),
        PLATFORM_BINDING(GetTokenInformation),
        PLATFORM_BINDING(SetTokenInformation),
        PLATFORM_BINDING(CheckTokenMembership),
        PLATFORM_BINDING(ConvertStringSecurityDescriptorToSecurityDescriptorW),
        PLATFORM_BINDING(GetSecurityDescriptorOwner),
        PLATFORM_BINDING(GetSecurityDescriptorDacl),
        PLATFORM_BINDING(GetSecurityInfo),
    };

    SystemLibraryLoader loader(Api());
    loader.Bind(L"user32.dll", kUser32);
    loader.Bind(L"shell32.dll", kShell32);
    loader.Bind(L"comctl32.dll", kComctl32);
    loader.Bind(L"rpcrt4.dll", kRpcrt4);
    loader.Bind(L"advapi32.dll", kAdvapi32);
    return loader.Error();
}

#undef PLATFORM_BINDING

}  // namespace platform
