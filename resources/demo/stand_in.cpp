// Stand-in for an installer the launcher runs (runtime redistributable,
// legacy uninstaller, or msiexec itself). It is built once and copied under
// several names; what it does is steered by environment variables, which
// Wine hands from the Unix side to every Windows process and its children:
//
//   E2E_RECORD      Windows path of a record file. One line is appended per
//                   run, UTF-8, fields separated by tabs:
//                     <own file name> \t <full command line> \t <own path> \t <current folder>
//                     [\t <probe>]
//   E2E_PROBE_KEY   a key path below HKEY_LOCAL_MACHINE; the record then ends
//                   with a fifth field, "1" if that key exists at the time of
//                   the run (in the 32-bit registry view, where the launcher
//                   keeps the driver settings), else "0".
//                   When it exists, one more field follows per value found in
//                   it or its subkeys: "<subkey path\><name>=<data>", the
//                   default value named "@", texts as they stand, DWORD and
//                   QWORD values in decimal, anything else as "hex:<bytes>".
//                   It shows what the launcher had set up around a child.
//   E2E_EXIT_CODES  "name=code;name=code": the exit code for the stand-in run
//                   under that file name (case-insensitive, e.g.
//                   "vcredist_x86.exe=1603"). Default 0. A list of codes,
//                   "msiexec.exe=1618,1618,0", gives the first run under
//                   that name the first code, the second run the second,
//                   and every later run the last (runs are counted in the
//                   record file, so E2E_RECORD must be set).
//   E2E_HOLD        "name=C:\path\file": after recording, the run under that
//                   name waits until the file exists (at most 120 s), so a
//                   test can act while it is in progress.
//   E2E_TIMES       when set, each run appends a second line,
//                   "time\t<own file name>\t<ms since 1970, UTC>".
//   E2E_FORWARD     "name=C:\path\program.exe;...": after recording, run that
//                   program with this run's arguments, wait for it and exit
//                   with its code (unless E2E_EXIT_CODES names one). This lets
//                   a recorder stand where msiexec is and still hand the work
//                   to the real engine.
//   E2E_ATTACK      when set, the run first tries what any other process
//                   might do to the file it was started for (the first
//                   quoted argument that is a file, else its own program
//                   file): read it, open it for writing, delete it, rename it
//                   and rename its folder; whatever succeeds is put back. It
//                   appends "attack\t<file>\tread=ok write=refused ..." to the
//                   record file.
//
// Without the variables it does nothing and exits 0.
//
// Started as "stand_in.exe --hold-mutex NAME MS" it is no installer but a
// busy neighbour: it takes the named mutex, appends "mutex\theld\t<time>"
// to the record file, holds it MS milliseconds, appends
// "mutex\treleased\t<time>" and lets go (times as with E2E_TIMES).
#include <windows.h>

#include <cctype>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "wine_start.h"

namespace {

struct HandleCloser {
    HANDLE h;
    explicit HandleCloser(HANDLE handle) : h(handle) {}
    ~HandleCloser() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;
};

std::wstring GetEnv(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return {};
    std::wstring value(needed, L'\0');
    DWORD got = GetEnvironmentVariableW(name, &value[0], needed);
    value.resize(got < needed ? got : 0);
    return value;
}

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// Looks `name` up in a "key=value;key=value" list; keys compare
// case-insensitively. Returns false when the key is absent.
bool LookUp(const std::wstring& list, const std::wstring& name, std::wstring& value) {
    const std::wstring wanted = Lower(name);
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(L';', pos);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring entry = list.substr(pos, end - pos);
        const size_t eq = entry.find(L'=');
        if (eq != std::wstring::npos && Lower(entry.substr(0, eq)) == wanted) {
            value = entry.substr(eq + 1);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

// The argument text: the command line without the program name, split off
// the way Windows programs do it (double quotes toggle, the name ends at the
// first blank outside quotes, blanks after it are dropped).
std::wstring ArgumentTail(const wchar_t* commandLine) {
    const wchar_t* p = commandLine;
    bool quoted = false;
    while (*p && (quoted || static_cast<unsigned>(*p) > 32)) {
        if (*p == L'"') quoted = !quoted;
        ++p;
    }
    while (*p && static_cast<unsigned>(*p) <= 32) ++p;
    return p;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                            size, nullptr, nullptr);
    return out;
}

struct KeyCloser {
    HKEY h = nullptr;
    ~KeyCloser() {
        if (h) RegCloseKey(h);
    }
};

// Appends the values of `key` and its subkeys, as described at the top, each
// preceded by a tab. `prefix` is the subkey path so far, with a trailing
// backslash unless empty. Tabs and line breaks in data become blanks so that
// the record stays one line.
void AppendValues(HKEY key, const std::wstring& prefix, int depth, std::wstring& out) {
    DWORD maxName = 0, maxData = 0, maxSubkey = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &maxSubkey, nullptr, nullptr, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::wstring name(maxName + 1, L'\0');
    std::basic_string<BYTE> data(maxData + 2, 0);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = maxName + 1, size = maxData, type = 0;
        if (RegEnumValueW(key, i, &name[0], &nameLength, nullptr, &type, &data[0], &size) != ERROR_SUCCESS) break;
        std::wstring text;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            text.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0') text.pop_back();
        } else if (type == REG_DWORD && size == 4) {
            DWORD v;
            std::memcpy(&v, data.data(), 4);
            text = std::to_wstring(v);
        } else if (type == REG_QWORD && size == 8) {
            unsigned long long v;
            std::memcpy(&v, data.data(), 8);
            text = std::to_wstring(v);
        } else {
            static const wchar_t digits[] = L"0123456789abcdef";
            text = L"hex:";
            for (DWORD b = 0; b < size; ++b) {
                text += digits[data[b] >> 4];
                text += digits[data[b] & 15];
            }
        }
        for (auto& c : text)
            if (c == L'\t' || c == L'\r' || c == L'\n') c = L' ';
        out += L"\t" + prefix + (nameLength ? name.substr(0, nameLength) : L"@") + L"=" + text;
    }
    if (depth >= 16) return;  // deep enough for any settings key; guards against odd trees
    std::wstring subkey(maxSubkey + 1, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD length = maxSubkey + 1;
        if (RegEnumKeyExW(key, i, &subkey[0], &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        KeyCloser child;
        if (RegOpenKeyExW(key, subkey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &child.h) == ERROR_SUCCESS)
            AppendValues(child.h, prefix + subkey.substr(0, length) + L"\\", depth + 1, out);
    }
}

// Appends one line; retries briefly while another stand-in holds the file.
void AppendRecord(const std::wstring& recordPath, const std::wstring& line) {
    const std::string bytes = ToUtf8(line + L"\n");
    for (int attempt = 0; attempt < 100; ++attempt) {
        HandleCloser file(CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return;
        Sleep(20);
    }
}

// Runs `program` with `arguments` and returns its exit code, or 1 when it
// could not be started or waited for.
DWORD RunForwarded(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessRetried(program.c_str(), &commandLine[0], FALSE, nullptr, &startup, &info)) return 1;
    HandleCloser process(info.hProcess);
    HandleCloser thread(info.hThread);
    DWORD code = 1;
    if (WaitForSingleObject(process.h, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.h, &code))
        return 1;
    return code;
}

// The first double-quoted argument that names an existing file, or "".
std::wstring QuotedFileArgument(const std::wstring& arguments) {
    for (size_t open = arguments.find(L'"'); open != std::wstring::npos;) {
        const size_t close = arguments.find(L'"', open + 1);
        if (close == std::wstring::npos) break;
        const std::wstring candidate = arguments.substr(open + 1, close - open - 1);
        const DWORD attributes = GetFileAttributesW(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return candidate;
        open = arguments.find(L'"', close + 1);
    }
    return {};
}

// Tries each change another process could make to `file` and its folder,
// undoing any that succeeds, and describes the outcome.
std::wstring Attack(const std::wstring& file) {
    const auto outcome = [](bool done) { return std::wstring(done ? L"done" : L"refused"); };
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    bool read = false;
    {
        HandleCloser reader(CreateFileW(file.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        char byte = 0;
        DWORD got = 0;
        read = reader.h != INVALID_HANDLE_VALUE && ReadFile(reader.h, &byte, 1, &got, nullptr) && got == 1;
    }
    bool write = false;
    {
        HandleCloser writer(CreateFileW(file.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        write = writer.h != INVALID_HANDLE_VALUE;
    }
    const std::wstring moved = file + L".moved";
    const bool renamed = MoveFileW(file.c_str(), moved.c_str()) != FALSE;
    if (renamed) MoveFileW(moved.c_str(), file.c_str());
    const std::wstring folder = file.substr(0, file.rfind(L'\\'));
    const std::wstring movedFolder = folder + L".moved";
    const bool folderRenamed = MoveFileW(folder.c_str(), movedFolder.c_str()) != FALSE;
    if (folderRenamed) MoveFileW(movedFolder.c_str(), folder.c_str());
    // Deleting goes last: it cannot be undone.
    const bool deleted = DeleteFileW(file.c_str()) != FALSE;
    return L"attack\t" + file + L"\tread=" + (read ? L"ok" : L"refused") + L" write=" + outcome(write) +
           L" delete=" + outcome(deleted) + L" rename=" + outcome(renamed) + L" folder=" + outcome(folderRenamed);
}

// Milliseconds since 1970-01-01 UTC, as text.
std::wstring NowText() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return std::to_wstring((ticks - 116444736000000000ULL) / 10000);
}

// How many runs under `name` the record file holds so far.
int RecordedRuns(const std::wstring& recordPath, const std::wstring& name) {
    HandleCloser file(CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) return 0;
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.h, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    const std::string wanted = ToUtf8(Lower(name)) + "\t";
    int runs = 0;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        for (auto& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (line.compare(0, wanted.size(), wanted) == 0) ++runs;
        start = end + 1;
    }
    return runs;
}

// The code for run number `run` (0 for the first) out of "code,code,...".
DWORD CodeForRun(const std::wstring& codes, int run) {
    size_t start = 0;
    for (int i = 0; i < run; ++i) {
        const size_t comma = codes.find(L',', start);
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    return static_cast<DWORD>(std::wcstol(codes.c_str() + start, nullptr, 10));
}

// The "--hold-mutex NAME MS" mode: see the top.
int HoldMutex(const std::wstring& arguments, const std::wstring& recordPath) {
    const size_t nameStart = arguments.find_first_not_of(L' ', std::wstring(L"--hold-mutex").size());
    const size_t nameEnd = arguments.find(L' ', nameStart);
    if (nameStart == std::wstring::npos || nameEnd == std::wstring::npos) return 2;
    const std::wstring name = arguments.substr(nameStart, nameEnd - nameStart);
    const DWORD milliseconds = static_cast<DWORD>(std::wcstol(arguments.c_str() + nameEnd, nullptr, 10));
    HandleCloser mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
    if (!mutex.h || GetLastError() == ERROR_ALREADY_EXISTS) return 3;
    AppendRecord(recordPath, L"mutex\theld\t" + NowText());
    Sleep(milliseconds);
    AppendRecord(recordPath, L"mutex\treleased\t" + NowText());
    ReleaseMutex(mutex.h);
    return 0;
}

}  // namespace

int wmain() {
    wchar_t modulePath[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH * 2);
    const wchar_t* slash = std::wcsrchr(modulePath, L'\\');
    const std::wstring ownName = slash ? slash + 1 : modulePath;

    wchar_t currentFolder[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, currentFolder);

    const wchar_t* commandLine = GetCommandLineW();
    const std::wstring recordPath = GetEnv(L"E2E_RECORD");
    if (ArgumentTail(commandLine).rfind(L"--hold-mutex ", 0) == 0) return HoldMutex(ArgumentTail(commandLine), recordPath);
    const int earlierRuns = recordPath.empty() ? 0 : RecordedRuns(recordPath, ownName);
    std::wstring line = ownName + L"\t" + commandLine + L"\t" + modulePath + L"\t" + currentFolder;
    const std::wstring probeKey = GetEnv(L"E2E_PROBE_KEY");
    if (!probeKey.empty()) {
        KeyCloser key;
        const bool exists =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, probeKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key.h) == ERROR_SUCCESS;
        line += exists ? L"\t1" : L"\t0";
        if (exists) AppendValues(key.h, L"", 0, line);
    }
    if (!recordPath.empty()) AppendRecord(recordPath, line);
    if (!GetEnv(L"E2E_TIMES").empty()) AppendRecord(recordPath, L"time\t" + ownName + L"\t" + NowText());
    if (!GetEnv(L"E2E_ATTACK").empty()) {
        const std::wstring target = QuotedFileArgument(ArgumentTail(commandLine));
        AppendRecord(recordPath, Attack(target.empty() ? std::wstring(modulePath) : target));
    }

    std::wstring holdFile;
    if (LookUp(GetEnv(L"E2E_HOLD"), ownName, holdFile) && !holdFile.empty()) {
        for (int waited = 0; waited < 120000 && GetFileAttributesW(holdFile.c_str()) == INVALID_FILE_ATTRIBUTES;
             waited += 50)
            Sleep(50);
    }

    DWORD exitCode = 0;
    std::wstring target;
    if (LookUp(GetEnv(L"E2E_FORWARD"), ownName, target) && !target.empty())
        exitCode = RunForwarded(target, ArgumentTail(commandLine));

    std::wstring code;
    if (LookUp(GetEnv(L"E2E_EXIT_CODES"), ownName, code) && !code.empty())
        exitCode = CodeForRun(code, earlierRuns);
    return static_cast<int>(exitCode);
}
