// One helper for the end-to-end runs of the preparation steps, copied under
// several names; the name it runs under chooses its part:
//
//   msiexec.exe          stands where the launcher finds msiexec: a run with
//                        "/i" is the driver package's (package_probe.exe
//                        below); any other records its arguments and the
//                        listed processes still running,
//                        exits 1603 when its arguments hold %PREP_FAIL_CODE%,
//                        otherwise hands them to the real engine at
//                        C:\e2e\engine\msiexec.exe and exits with its code;
//   monitor_service.exe  a service that records every control code it gets,
//                        and how many values the settings backup held then;
//   package_probe.exe    stands for the driver package run (also msiexec.exe
//                        with "/i"): records the
//                        backup key's whole tree (32-bit view), whether the
//                        working folder is still there, and then changes the
//                        settings key as a package would;
//   settings_dump.exe    records the settings key's whole tree (32-bit view),
//                        to be run after the launcher;
//   any other name       a process that waits to be ended.
//
// Every record is one UTF-8 line appended to C:\e2e\prep\log.txt, fields
// separated by tabs.
#include <windows.h>
#include <tlhelp32.h>

#include <cwctype>
#include <string>

namespace {

const wchar_t kLog[] = L"C:\\e2e\\prep\\log.txt";
const wchar_t kDump[] = L"C:\\e2e\\prep\\backup.txt";
const wchar_t kSettingsDump[] = L"C:\\e2e\\prep\\settings.txt";
const wchar_t kEngine[] = L"C:\\e2e\\engine\\msiexec.exe";
const wchar_t kSettings[] = L"Software\\Corvane\\Audio\\Drivers\\{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}";
const wchar_t kBackup[] =
    L"Software\\Corvane\\Audio\\Drivers\\SettingsBackup_{6E2A04B7-91C3-4F5D-A8E0-3D7B52C914AF}";
const wchar_t kServiceName[] = L"TolvexOrvikAudioDevMon";

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

void AppendUtf8(const wchar_t* path, const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(20);  // another helper is appending right now
    }
}

void Log(const std::wstring& line) { AppendUtf8(kLog, line + L"\n"); }

// The number of values directly in the backup key, or -1 without the key:
// tells a leftover backup from one just made.
std::wstring BackupValueCount() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackup, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return L"-1";
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    return std::to_wstring(values);
}

// Image names of running processes whose names begin with "prep" (any case),
// comma-separated in snapshot order.
std::wstring ListedAlive() {
    std::wstring names;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return L"?";
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (Lower(entry.szExeFile).rfind(L"prep", 0) == 0 && Lower(entry.szExeFile) != L"prep_probe.exe") {
            names += (names.empty() ? L"" : L",") + std::wstring(entry.szExeFile);
        }
    }
    CloseHandle(snapshot);
    return names;
}

// The command line after the program's own name.
std::wstring Arguments() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

int RunAsPackage();

int RecordMsiexec() {
    const std::wstring args = Arguments();
    // The launcher installs the driver package with "/i": that run is the
    // package's, not a removal.
    if (args.rfind(L"/i ", 0) == 0) return RunAsPackage();
    Log(L"msiexec\t" + args + L"\talive=" + ListedAlive());
    wchar_t fail[128] = {};
    if (GetEnvironmentVariableW(L"PREP_FAIL_CODE", fail, 128) && args.find(fail) != std::wstring::npos) return 1603;
    std::wstring command = L"\"" + std::wstring(kEngine) + L"\" " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(kEngine, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        return static_cast<int>(GetLastError());
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(code);
}

// ---- service ------------------------------------------------------------------
SERVICE_STATUS_HANDLE statusHandle;
SERVICE_STATUS status;
HANDLE stopEvent;

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    Log(L"control " + std::to_wstring(control) + L"\tbackup=" + BackupValueCount());
    if (control == SERVICE_CONTROL_STOP) {
        status.dwCurrentState = SERVICE_STOPPED;
        SetServiceStatus(statusHandle, &status);
        SetEvent(stopEvent);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_RUNNING;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(statusHandle, &status);
    Log(L"service running");
    WaitForSingleObject(stopEvent, INFINITE);
}

int RunService() {
    wchar_t name[] = L"TolvexOrvikAudioDevMon";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}

// ---- package run ---------------------------------------------------------------
std::wstring Hex(const BYTE* data, DWORD size) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex;
    for (DWORD i = 0; i < size; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 15];
    }
    return hex;
}

// One line per key ("key\t<relative path>") and per value
// ("value\t<relative path>\t<name>\t<type>\t<hex data>").
void DumpTree(HKEY key, const std::wstring& relative, std::wstring& out) {
    out += L"key\t" + relative + L"\n";
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::basic_string<BYTE> data(size, 0);
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, &data[0], &size);
        out += L"value\t" + relative + L"\t" + name + L"\t" + std::to_wstring(type) + L"\t" + Hex(data.data(), size) + L"\n";
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY child;
        if (RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_32KEY, &child) == ERROR_SUCCESS) {
            DumpTree(child, relative.empty() ? name : relative + L"\\" + name, out);
            RegCloseKey(child);
        }
    }
}

// A working folder holding the x86 runtime, in the user's temporary folder
// or below the Windows folder's SystemTemp or Temp (an elevated launcher's).
bool WorkingFolderPresent() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t windows[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    bool present = false;
    for (const std::wstring& parent :
         {std::wstring(temp), std::wstring(windows) + L"\\SystemTemp\\", std::wstring(windows) + L"\\Temp\\"}) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((parent + L"*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.cFileName[0] != L'.') {
                const std::wstring runtime = parent + found.cFileName + L"\\vcredist_x86.exe";
                if (GetFileAttributesW(runtime.c_str()) != INVALID_FILE_ATTRIBUTES) present = true;
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    return present;
}

// Appends the tree of one key (32-bit view) to `file`; nothing when the key
// does not exist.
void DumpKey(const wchar_t* path, const wchar_t* file) {
    std::wstring dump;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
        DumpTree(key, L"", dump);
        RegCloseKey(key);
    }
    AppendUtf8(file, dump);
}

int RunAsPackage() {
    DumpKey(kBackup, kDump);
    Log(L"package\tbackup=" + BackupValueCount() + L"\tworking=" +
        (WorkingFolderPresent() ? L"1" : L"0") + L"\talive=" + ListedAlive());
    HKEY settings;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                        &settings, nullptr) == ERROR_SUCCESS) {
        const wchar_t mark[] = L"written by the package";
        RegSetValueExW(settings, L"PackageMark", 0, REG_SZ, reinterpret_cast<const BYTE*>(mark), sizeof(mark));
        RegCloseKey(settings);
    }
    return 0;
}

}  // namespace

int wmain() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring self = Lower(wcsrchr(path, L'\\') + 1);
    if (self == L"msiexec.exe") return RecordMsiexec();
    if (self == L"monitor_service.exe") return RunService();
    if (self == L"package_probe.exe") return RunAsPackage();
    if (self == L"settings_dump.exe") {
        DumpKey(kSettings, kSettingsDump);
        return 0;
    }
    Log(L"started\t" + std::wstring(wcsrchr(path, L'\\') + 1));
    // Ended by the launcher, or by the prefix's teardown; never on its own,
    // so a slow run cannot see a process vanish that the launcher left alone.
    Sleep(INFINITE);
    return 0;
}
