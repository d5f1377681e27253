// The whole-run fault sweep.
//
// One realistic set-up: every payload embedded (as small stand-ins), the
// legacy question, a listed process running, a listed older product
// registered, the device-monitor service running, a settings key with values
// of several types and a subkey, and a leftover backup. InitInstance runs
// once cleanly, in this process, and every call it makes through the seam is
// counted (N). Then it runs N more times, call k failing in run k, as
// Windows reports a failure of that call. After every run a table of rules
// is checked; the sweep prints "swept N calls", and for each broken rule the
// run, the call and the rule.
//
// Children are not started: process creation hands back a process that has
// already ended with exit code 0, so a run takes milliseconds. Calls that
// cannot fail (GetCurrentProcess, GetCommandLineW, GetLocalTime) are not
// counted. A failing call that releases something (CloseHandle, RegCloseKey,
// FindClose, ...) still releases it, since Windows has nothing else to do
// with a handle it was asked to close; only its result reports the failure.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "launcher/installer_launcher.h"
#include "platform/run_log.h"
#include "platform/windows_api.h"
#include "resources/demo/wine_start.h"

namespace {

using platform::Api;
using platform::WindowsApi;

// ---- Counting and failing the calls -------------------------------------------------

struct Call {
    const char* name;
    std::string step;  // the step logged next after the call (the step it belongs to)
};

std::vector<Call> cleanCalls;  // the clean run's calls, in order
bool recording = false;        // this is the clean run
int calls = 0;                 // calls made in this run so far
int failAt = 0;                // the call that fails in this run, 0 for none
const char* failedName = nullptr;
size_t unattributed = 0;             // first clean call not yet given its step
std::vector<std::string> stepsSeen;  // steps logged in this run

bool FailsNow(const char* name) {
    ++calls;
    if (recording) cleanCalls.push_back({name, ""});
    if (calls != failAt) return false;
    failedName = name;
    return true;
}

// The launcher logs "step <name>: <result>" when a step has ended; every call
// since the previous such line belongs to that step.
void ObserveLogLine(const void* data, DWORD size) {
    const std::string text(static_cast<const char*>(data), size);
    if (text.rfind("step ", 0) != 0) return;
    const std::string step = text.substr(5, text.find(':') - 5);
    stepsSeen.push_back(step);
    if (!recording) return;
    for (; unattributed < cleanCalls.size(); ++unattributed) cleanCalls[unattributed].step = step;
}

template <auto Member>
struct Sweep;

template <typename R, typename... A, R(WINAPI* WindowsApi::*Member)(A...)>
struct Sweep<Member> {
    static inline R(WINAPI* real)(A...) = nullptr;
    static inline const char* name = nullptr;
    static inline R failure{};
    static inline DWORD error = 0;
    static inline bool releases = false;

    static R WINAPI Call(A... args) {
        if (!FailsNow(name)) return real(args...);
        if (releases) real(args...);
        ::SetLastError(error);
        return failure;
    }
};

int installed = 0;

// Fails with `failure` and last error `error`.
template <auto Member, typename R>
void Fails(const char* name, R failure, DWORD error) {
    Sweep<Member>::name = name;
    Sweep<Member>::failure = failure;
    Sweep<Member>::error = error;
    Sweep<Member>::releases = false;
    Sweep<Member>::real = Api().*Member;
    Api().*Member = &Sweep<Member>::Call;
    ++installed;
}

// Releases what it was given, then reports failure.
template <auto Member, typename R>
void Releases(const char* name, R failure, DWORD error) {
    Fails<Member>(name, failure, error);
    Sweep<Member>::releases = true;
}

// Counted neither way: these calls cannot fail.
void NeverFails(int entries) { installed += entries; }

#define FAILS(name, failure, error) Fails<&WindowsApi::name>(#name, failure, DWORD{error})
#define RELEASES(name, failure, error) Releases<&WindowsApi::name>(#name, failure, DWORD{error})

void InstallSweep() {
    FAILS(GetModuleHandleW, HMODULE{nullptr}, ERROR_MOD_NOT_FOUND);
    FAILS(GetModuleFileNameW, DWORD{0}, ERROR_INSUFFICIENT_BUFFER);
    FAILS(GetFileAttributesW, DWORD{INVALID_FILE_ATTRIBUTES}, ERROR_ACCESS_DENIED);
    FAILS(GetProcAddress, FARPROC{nullptr}, ERROR_PROC_NOT_FOUND);
    FAILS(LoadLibraryW, HMODULE{nullptr}, ERROR_MOD_NOT_FOUND);
    FAILS(LoadLibraryExW, HMODULE{nullptr}, ERROR_MOD_NOT_FOUND);
    FAILS(SetDllDirectoryW, BOOL{FALSE}, ERROR_INVALID_PARAMETER);
    RELEASES(FreeLibrary, BOOL{FALSE}, ERROR_INVALID_HANDLE);
    FAILS(GetVersionExW, BOOL{FALSE}, ERROR_INVALID_PARAMETER);
    RELEASES(LocalFree, HLOCAL{reinterpret_cast<HLOCAL>(1)}, ERROR_INVALID_HANDLE);
    FAILS(FindResourceW, HRSRC{nullptr}, ERROR_RESOURCE_NAME_NOT_FOUND);
    FAILS(SizeofResource, DWORD{0}, ERROR_RESOURCE_DATA_NOT_FOUND);
    FAILS(LoadResource, HGLOBAL{nullptr}, ERROR_RESOURCE_DATA_NOT_FOUND);
    FAILS(LockResource, LPVOID{nullptr}, ERROR_RESOURCE_DATA_NOT_FOUND);
    FAILS(GetTempPathW, DWORD{0}, ERROR_ACCESS_DENIED);
    FAILS(GetSystemDirectoryW, UINT{0}, ERROR_ACCESS_DENIED);
    FAILS(GetSystemWindowsDirectoryW, UINT{0}, ERROR_ACCESS_DENIED);
    FAILS(CreateFileW, HANDLE{INVALID_HANDLE_VALUE}, ERROR_ACCESS_DENIED);
    FAILS(WriteFile, BOOL{FALSE}, ERROR_DISK_FULL);
    FAILS(ReadFile, BOOL{FALSE}, ERROR_READ_FAULT);
    FAILS(GetFileInformationByHandle, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(GetFileInformationByHandleEx, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(SetFileInformationByHandle, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(GetFinalPathNameByHandleW, DWORD{0}, ERROR_PATH_NOT_FOUND);
    FAILS(CompareStringOrdinal, int{0}, ERROR_INVALID_PARAMETER);
    RELEASES(CloseHandle, BOOL{FALSE}, ERROR_INVALID_HANDLE);
    FAILS(FindFirstFileW, HANDLE{INVALID_HANDLE_VALUE}, ERROR_ACCESS_DENIED);
    FAILS(FindNextFileW, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    RELEASES(FindClose, BOOL{FALSE}, ERROR_INVALID_HANDLE);
    FAILS(DeleteFileW, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(RemoveDirectoryW, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(CreateProcessW, BOOL{FALSE}, ERROR_FILE_NOT_FOUND);
    FAILS(WaitForSingleObject, DWORD{WAIT_FAILED}, ERROR_INVALID_HANDLE);
    FAILS(GetExitCodeProcess, BOOL{FALSE}, ERROR_INVALID_HANDLE);
    FAILS(CreateMutexW, HANDLE{nullptr}, ERROR_ACCESS_DENIED);
    FAILS(OpenMutexW, HANDLE{nullptr}, ERROR_ACCESS_DENIED);
    RELEASES(ReleaseMutex, BOOL{FALSE}, ERROR_NOT_OWNER);
    FAILS(CreateToolhelp32Snapshot, HANDLE{INVALID_HANDLE_VALUE}, ERROR_NOT_ENOUGH_MEMORY);
    FAILS(Process32FirstW, BOOL{FALSE}, ERROR_NO_MORE_FILES);
    FAILS(Process32NextW, BOOL{FALSE}, ERROR_NO_MORE_FILES);
    FAILS(OpenProcess, HANDLE{nullptr}, ERROR_ACCESS_DENIED);
    FAILS(TerminateProcess, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(LoadStringW, int{0}, ERROR_RESOURCE_NAME_NOT_FOUND);
    FAILS(MessageBoxW, int{0}, ERROR_NOT_ENOUGH_MEMORY);
    FAILS(GetMessageW, BOOL{-1}, ERROR_INVALID_WINDOW_HANDLE);
    FAILS(TranslateMessage, BOOL{FALSE}, ERROR_INVALID_PARAMETER);
    FAILS(DispatchMessageW, LRESULT{0}, ERROR_INVALID_PARAMETER);
    FAILS(SHGetFolderPathW, HRESULT{E_FAIL}, 0);
    FAILS(ShellExecuteExW, BOOL{FALSE}, ERROR_FILE_NOT_FOUND);
    FAILS(InitCommonControlsEx, BOOL{FALSE}, ERROR_NOT_ENOUGH_MEMORY);
    FAILS(UuidCreate, RPC_STATUS{RPC_S_UUID_NO_ADDRESS}, 0);
    FAILS(UuidToStringW, RPC_STATUS{RPC_S_OUT_OF_MEMORY}, 0);
    RELEASES(RpcStringFreeW, RPC_STATUS{RPC_S_INVALID_ARG}, 0);
    FAILS(RegOpenKeyExW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegCreateKeyExW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    RELEASES(RegCloseKey, LSTATUS{ERROR_INVALID_HANDLE}, 0);
    FAILS(RegQueryInfoKeyW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegEnumKeyExW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegEnumValueW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegQueryValueExW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegSetValueExW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(RegDeleteKeyW, LSTATUS{ERROR_ACCESS_DENIED}, 0);
    FAILS(OpenSCManagerW, SC_HANDLE{nullptr}, ERROR_ACCESS_DENIED);
    FAILS(OpenServiceW, SC_HANDLE{nullptr}, ERROR_SERVICE_DOES_NOT_EXIST);
    FAILS(ControlService, BOOL{FALSE}, ERROR_SERVICE_NOT_ACTIVE);
    RELEASES(CloseServiceHandle, BOOL{FALSE}, ERROR_INVALID_HANDLE);
    FAILS(OpenProcessToken, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(GetTokenInformation, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(SetTokenInformation, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(CheckTokenMembership, BOOL{FALSE}, ERROR_ACCESS_DENIED);
    FAILS(ConvertStringSecurityDescriptorToSecurityDescriptorW, BOOL{FALSE}, ERROR_NOT_ENOUGH_MEMORY);
    FAILS(GetSecurityDescriptorOwner, BOOL{FALSE}, ERROR_INVALID_SECURITY_DESCR);
    FAILS(GetSecurityDescriptorDacl, BOOL{FALSE}, ERROR_INVALID_SECURITY_DESCR);
    FAILS(GetSecurityInfo, DWORD{ERROR_ACCESS_DENIED}, 0);
    // GetCurrentProcess, GetCommandLineW, GetLocalTime, Sleep, GetTickCount.
    NeverFails(5);
}

// ---- Stand-ins beneath the sweep ------------------------------------------------------

// A child that has already ended with exit code 0.
BOOL WINAPI EndedChild(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                       LPSTARTUPINFOW, LPPROCESS_INFORMATION started) {
    started->hProcess = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    started->hThread = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    started->dwProcessId = started->dwThreadId = 0;
    return TRUE;
}

BOOL WINAPI ExitCodeZero(HANDLE, LPDWORD code) {
    *code = 0;
    return TRUE;
}

int WINAPI AnswerYes(HWND, LPCWSTR, LPCWSTR, UINT) { return IDYES; }

// Every write, the run log's lines among them, passes here.
BOOL WINAPI ObservedWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    ObserveLogLine(data, size);
    return ::WriteFile(file, data, size, written, overlapped);
}

// ---- The set-up ---------------------------------------------------------------------

const wchar_t kDrivers[] = L"Software\\Corvane\\Audio\\Drivers";
const wchar_t kSettings[] = L"Software\\Corvane\\Audio\\Drivers\\{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}";
const wchar_t kBackup[] =
    L"Software\\Corvane\\Audio\\Drivers\\SettingsBackup_{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}";
const wchar_t kOlderProduct[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B1E6C0A-2D3F-4A7B-9C8D-0E1F2A3B4C02}";
const wchar_t kSweepFolder[] = L"C:\\sweep";
const wchar_t kListedProcess[] = L"C:\\sweep\\SweepTarget.exe";

void Check(bool condition, const char* what) {
    if (condition) return;
    std::printf("set-up failed: %s (%lu)\n", what, ::GetLastError());
    std::exit(2);
}

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    Check(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS, "a value");
}

// Keys are in the 32-bit view unless told otherwise: the launcher keeps the
// driver settings there, whatever its own bitness.
HKEY CreateKey(const wchar_t* path, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key = nullptr;
    Check(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          "a registry key");
    return key;
}

void SeedSettings() {
    HKEY settings = CreateKey(kSettings);
    const wchar_t text[] = L"Studio monitors";
    const DWORD number = 48000;
    const ULONGLONG big = 0x0123456789ABCDEFull;
    const wchar_t multi[] = L"first\0second\0";
    const BYTE blob[] = {16, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0};  // an Int32 blob
    const BYTE raw[] = {1, 2, 3};
    SetValue(settings, L"Name", REG_SZ, text, sizeof(text));
    SetValue(settings, L"Rate", REG_DWORD, &number, sizeof(number));
    SetValue(settings, L"Serial", REG_QWORD, &big, sizeof(big));
    SetValue(settings, L"Outputs", REG_MULTI_SZ, multi, sizeof(multi));
    SetValue(settings, L"Gain", REG_BINARY, blob, sizeof(blob));
    SetValue(settings, L"Raw", REG_BINARY, raw, sizeof(raw));
    ::RegCloseKey(settings);
    HKEY device = CreateKey((std::wstring(kSettings) + L"\\Device 1").c_str());
    SetValue(device, L"Channel", REG_SZ, L"left", sizeof(L"left"));
    ::RegCloseKey(device);
}

// A package left by an earlier run, so that every run, the clean one
// included, deletes an older package before it writes its own.
void SeedOlderPackage() {
    ::SHCreateDirectoryExW(nullptr, L"C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik", nullptr);
    const HANDLE file = ::CreateFileW(L"C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik\\CorvaneInstaller.msi",
                                      GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

// A backup left by an interrupted earlier run.
void SeedLeftoverBackup() {
    HKEY backup = CreateKey(kBackup);
    SetValue(backup, L"Stale", REG_SZ, L"from before", sizeof(L"from before"));
    ::RegCloseKey(backup);
}

// The sweep's own copy of a program; `probe` is its Unix path.
std::wstring CopyProbe(const std::string& probe, const wchar_t* as) {
    const std::wstring unix(probe.begin(), probe.end());
    std::wstring dos = L"Z:" + unix;
    for (auto& c : dos) {
        if (c == L'/') c = L'\\';
    }
    Check(::CopyFileW(dos.c_str(), as, FALSE) != FALSE, "copying the helper program");
    return as;
}

void StartMonitorService(const std::wstring& program) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    Check(manager != nullptr, "the service manager");
    SC_HANDLE service = ::CreateServiceW(manager, L"TolvexOrvikAudioDevMon", L"TolvexOrvikAudioDevMon",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr);
    Check(service != nullptr, "creating the service");
    Check(::StartServiceW(service, 0, nullptr) != FALSE, "starting the service");
    SERVICE_STATUS status{};
    for (int i = 0; i < 100 && ::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING; ++i)
        ::Sleep(50);
    Check(status.dwCurrentState == SERVICE_RUNNING, "the service running");
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
}

HANDLE listedProcess = nullptr;

// The listed process runs before every run (the launcher ends it each time).
void EnsureListedProcessRuns() {
    if (listedProcess && ::WaitForSingleObject(listedProcess, 0) == WAIT_TIMEOUT) return;
    if (listedProcess) ::CloseHandle(listedProcess);
    std::wstring line = std::wstring(L"\"") + kListedProcess + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    Check(CreateProcessRetried(kListedProcess, &line[0], FALSE, kSweepFolder, &startup, &started) != FALSE,
          "starting the listed process");
    ::CloseHandle(started.hThread);
    listedProcess = started.hProcess;
}

// ---- What is compared before and after a run ------------------------------------------

using Tree = std::map<std::wstring, std::wstring>;  // "path|name" -> "type:hex"

void DumpKey(HKEY key, const std::wstring& path, Tree& tree) {
    tree[path + L"|"] = L"key";
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 4096;
        BYTE data[4096];
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::wstring hex = std::to_wstring(type) + L":";
        for (DWORD b = 0; b < size; ++b) hex += L"0123456789abcdef"[data[b] >> 4], hex += L"0123456789abcdef"[data[b] & 15];
        tree[path + L"|" + name] = hex;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY child;
        if (::RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_32KEY, &child) == ERROR_SUCCESS) {
            DumpKey(child, path + L"\\" + name, tree);
            ::RegCloseKey(child);
        }
    }
}

Tree DumpSettings() {
    Tree tree;
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettings, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
        DumpKey(key, L"", tree);
        ::RegCloseKey(key);
    }
    return tree;
}

bool KeyExists(const wchar_t* path) {
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(::towlower(c));
    return text;
}

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    return std::wstring(temp, ::GetTempPathW(MAX_PATH, temp));
}

bool IsUuidName(const std::wstring& name) {
    if (name.size() != 36) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? name[i] != L'-' : !iswxdigit(name[i])) return false;
    }
    return true;
}

using Files = std::map<std::wstring, std::wstring>;  // lower-case path -> size and write time

// Every file below `folder` but those the launcher may change (the working
// folders, the package folder) and those of the sweep itself.
void ListFiles(const std::wstring& folder, const std::vector<std::wstring>& skipped, Files& files) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = Lower(folder + L"\\" + name);
        bool skip = false;
        // A product folder that could not be emptied moves aside under its
        // name with a suffix: still the package folder's.
        for (const auto& s : skipped) skip = skip || path == s || path.rfind(s + L".", 0) == 0;
        if (skip) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // Links lead out of the prefix (Wine links the user's folders to
            // the Unix home folder): nothing the launcher writes is there.
            if (!IsUuidName(name) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ListFiles(folder + L"\\" + name, skipped, files);
        } else {
            files[path] = std::to_wstring(entry.nFileSizeLow) + L"@" + std::to_wstring(entry.ftLastWriteTime.dwLowDateTime);
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
}

std::vector<std::wstring> skippedPaths;

Files ListFiles() {
    Files files;
    ListFiles(L"C:", skippedPaths, files);
    return files;
}

// The working folders left in the user's temporary folder and in the
// Windows folder's SystemTemp and Temp (where an elevated run makes them).
std::vector<std::wstring> WorkingFolders() {
    std::vector<std::wstring> folders;
    wchar_t windows[MAX_PATH];
    const std::wstring windowsFolder(windows, ::GetSystemWindowsDirectoryW(windows, MAX_PATH));
    for (const std::wstring& parent :
         {TempFolder(), windowsFolder + L"\\SystemTemp\\", windowsFolder + L"\\Temp\\"}) {
        WIN32_FIND_DATAW entry;
        HANDLE find = ::FindFirstFileW((parent + L"*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsUuidName(entry.cFileName))
                folders.push_back(parent + entry.cFileName);
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    return folders;
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// The process's handle count. Wine 8 answers GetProcessHandleCount with 0;
// there the count comes from the system's handle list
// (SystemHandleInformation), which it keeps exactly.
DWORD HandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
    struct Entry {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    static std::vector<BYTE> buffer(4 << 20);
    ULONG length = 0;
    if (!query || query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &length) != 0)
        return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    const DWORD self = ::GetCurrentProcessId();
    for (ULONG i = 0; i < entries; ++i) count += entry[i].process == self;
    return count;
}

// ---- One run ------------------------------------------------------------------------------

volatile LONG running = 0;         // a run is under way
volatile DWORD runStarted = 0;     // its start, in ticks
// At native speed; LAUNCHER_TIME_FACTOR (set where programs run emulated)
// multiplies it.
constexpr LONG kRunLimitMs = 30000;
LONG runLimitMs = kRunLimitMs;

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        ::Sleep(500);
        if (running && static_cast<LONG>(::GetTickCount() - runStarted) > runLimitMs) {
            std::printf("run %d (%s failing): did not end within %lu s\n", failAt, failedName ? failedName : "none",
                        static_cast<unsigned long>(runLimitMs / 1000));
            std::fflush(stdout);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    }
}

void OnUnexpectedExit() {
    if (!running) return;
    std::printf("run %d (%s failing): the run ended the process\n", failAt, failedName ? failedName : "none");
    std::fflush(stdout);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
    std::printf("run %d (%s failing): crashed with exception %08lx\n", failAt, failedName ? failedName : "none",
                exception->ExceptionRecord->ExceptionCode);
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct Outcome {
    bool mainSequenceRan;
};

Outcome RunOnce(int k) {
    failAt = k;
    failedName = nullptr;
    calls = 0;
    stepsSeen.clear();
    {
        CInstallerLauncher launcher;
        launcher.SetCommandLine(L"");
        runStarted = ::GetTickCount();
        running = 1;
        launcher.InitInstance();
        running = 0;
    }
    bool main = false;
    for (const auto& step : stepsSeen) main = main || step == "TerminateListedProcesses";
    // A failing step line of its own still shows that the sequence ran.
    if (k > 0 && static_cast<size_t>(k) <= cleanCalls.size() && cleanCalls[k - 1].step == "TerminateListedProcesses")
        main = true;
    return {main};
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (platform::LoadSystemLibraries() != 0) return 2;
    ::SetUnhandledExceptionFilter(OnCrash);
    std::atexit(OnUnexpectedExit);
    const char* probe = std::getenv("SWEEP_PROBE");
    if (const char* factor = std::getenv("LAUNCHER_TIME_FACTOR")) runLimitMs *= std::max(1, std::atoi(factor));
    Check(probe != nullptr, "SWEEP_PROBE names the helper program");

    // ---- the set-up
    ::CreateDirectoryW(kSweepFolder, nullptr);
    ::CreateDirectoryW(L"C:\\e2e", nullptr);
    ::CreateDirectoryW(L"C:\\e2e\\prep", nullptr);  // where the helper writes its log
    CopyProbe(probe, kListedProcess);
    StartMonitorService(CopyProbe(probe, L"C:\\sweep\\monitor_service.exe"));
    ::RegCloseKey(CreateKey(kOlderProduct, KEY_WOW64_64KEY));
    ::RegCloseKey(CreateKey(kDrivers));
    SeedSettings();
    platform::OpenRunLog();
    // The first named object a process makes opens the directory of named
    // objects, and that handle is kept for the process's life; made here, it
    // is not counted against the first run (the launcher's run lock).
    ::CloseHandle(::CreateMutexW(nullptr, FALSE, L"Global\\fault_sweep_warm_up"));
    ::CloseHandle(::CreateMutexW(nullptr, FALSE, L"fault_sweep_warm_up"));
    skippedPaths = {Lower(L"C:\\windows"), Lower(L"C:\\sweep"), Lower(L"C:\\e2e"),
                    Lower(L"C:\\ProgramData\\Corvane\\Installers\\TolvexOrvik")};
    {
        // The sweep's own run log grows with every run.
        WIN32_FIND_DATAW entry;
        HANDLE find = ::FindFirstFileW((TempFolder() + L"fault_sweep_*.log").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            skippedPaths.push_back(Lower(TempFolder() + entry.cFileName));
            ::FindClose(find);
        }
    }
    Api().CreateProcessW = EndedChild;
    Api().GetExitCodeProcess = ExitCodeZero;
    Api().MessageBoxW = AnswerYes;
    Api().WriteFile = ObservedWrite;
    InstallSweep();
    Check(installed * sizeof(void*) == sizeof(WindowsApi), "every entry of the seam is swept");
    ::CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);

    const Tree settings = DumpSettings();
    std::vector<std::string> broken;
    auto rule = [&](int k, bool holds, const char* what) {
        if (holds) return;
        char line[256];
        std::snprintf(line, sizeof(line), "run %d (%s failing, in %s): %s", k, failedName ? failedName : "no call",
                      k > 0 ? cleanCalls[k - 1].step.c_str() : "-", what);
        broken.push_back(line);
    };

    // ---- the clean run, then one run per call
    for (int k = 0;; ++k) {
        if (k > 0 && static_cast<size_t>(k) > cleanCalls.size()) break;
        EnsureListedProcessRuns();
        SeedLeftoverBackup();
        SeedOlderPackage();
        const Files filesBefore = ListFiles();
        const std::vector<std::wstring> foldersBefore = WorkingFolders();
        const DWORD handlesBefore = HandleCount();

        recording = k == 0;
        const Outcome outcome = RunOnce(k);
        recording = false;

        if (k > 0 && (failedName == nullptr || std::string(failedName) != cleanCalls[k - 1].name)) {
            rule(k, false, "the run made other calls than the clean run before the failing one");
        }
        const std::string step = k > 0 ? cleanCalls[k - 1].step : "";
        rule(k, HandleCount() == handlesBefore, "the handle count is not back to its value before the run");
        rule(k, DumpSettings() == settings, "the settings key changed");
        rule(k, !KeyExists(kBackup) || !outcome.mainSequenceRan || step == "DeleteSettingsBackup",
             "the backup key is left");
        std::vector<std::wstring> leftOver;
        for (const auto& folder : WorkingFolders()) {
            bool old = false;
            for (const auto& before : foldersBefore) old = old || before == folder;
            if (!old) leftOver.push_back(folder);
        }
        rule(k, leftOver.empty() || !outcome.mainSequenceRan || step == "RemoveWorkingFolder",
             "the working folder is left");
        for (const auto& folder : leftOver) RemoveFolder(folder);
        const Files filesAfter = ListFiles();
        rule(k, filesAfter == filesBefore, "a file outside the working folder and the package folder changed");
        if (k == 0 && !broken.empty()) break;  // the clean run itself must keep every rule
    }

    std::printf("swept %zu calls\n", cleanCalls.size());
    for (const auto& line : broken) std::printf("%s\n", line.c_str());
    if (::WaitForSingleObject(listedProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(listedProcess, 0);
    return broken.empty() && !cleanCalls.empty() ? 0 : 1;
}
