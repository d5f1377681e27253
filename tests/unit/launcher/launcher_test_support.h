// Stand-ins shared by the launcher and payload unit tests: a recorder for
// child-process starts (CreateProcessW), a filter that hides resources of the test executable,
// another owner of a named mutex, and helpers for files. Install them inside a seam::SeamScope.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/system_functions.h"
#include "platform/windows_api.h"

namespace testsupport {

// Records every CreateProcessW call instead of starting anything. Each start
// gets a signalled event as its "process" (and one as its thread), so the
// real wait returns at once; the exit codes come from `exitCodes` in order
// (0 when it runs out).
struct RunRecorder {
    struct Run {
        std::wstring file;         // the application name
        std::wstring commandLine;  // as passed
        std::wstring parameters;   // the command line after '"file" ', or "<no quoted file>"
        BOOL inheritHandles;
        DWORD creationFlags;
        bool hasEnvironment;
        std::wstring currentDirectory;  // "" for none
        STARTUPINFOW startup;
    };
    static inline std::vector<Run> runs;
    static inline std::deque<DWORD> exitCodes;
    static inline std::vector<HANDLE> processes;
    static inline int processCloses = 0;

    static void Install() {
        runs.clear();
        exitCodes.clear();
        processes.clear();
        processCloses = 0;
        platform::Api().CreateProcessW = &Start;
        platform::Api().GetExitCodeProcess = &ExitCode;
        platform::Api().CloseHandle = &Close;
    }

    static BOOL WINAPI Start(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                             BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR directory,
                             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
        Run run{application ? application : L"", commandLine ? commandLine : L"", L"", inherit, flags,
                environment != nullptr, directory ? directory : L"", *startup};
        const std::wstring quoted = L"\"" + run.file + L"\"";
        if (run.commandLine == quoted) {
            run.parameters = L"";
        } else if (run.commandLine.rfind(quoted + L" ", 0) == 0) {
            run.parameters = run.commandLine.substr(quoted.size() + 1);
        } else {
            run.parameters = L"<no quoted file>";
        }
        runs.push_back(run);
        info->hProcess = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        info->hThread = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        info->dwProcessId = info->dwThreadId = 0;
        processes.push_back(info->hProcess);
        return TRUE;
    }

    static BOOL WINAPI ExitCode(HANDLE, DWORD* code) {
        *code = 0;
        if (!exitCodes.empty()) {
            *code = exitCodes.front();
            exitCodes.pop_front();
        }
        return TRUE;
    }

    static BOOL WINAPI Close(HANDLE handle) {
        if (std::find(processes.begin(), processes.end(), handle) != processes.end()) ++processCloses;
        return ::CloseHandle(handle);
    }
};

// Makes FindResourceW report the named resources of the test executable as
// missing, the way a build without them would.
struct ResourceHider {
    static inline std::set<std::wstring> hidden;
    static inline decltype(platform::WindowsApi::FindResourceW) real = nullptr;

    static void Install(std::initializer_list<const wchar_t*> names) {
        hidden.clear();
        for (const wchar_t* name : names) hidden.insert(name);
        if (platform::Api().FindResourceW != &Find) real = platform::Api().FindResourceW;
        platform::Api().FindResourceW = &Find;
    }

    static HRSRC WINAPI Find(HMODULE module, LPCWSTR name, LPCWSTR type) {
        if (!IS_INTRESOURCE(name) && hidden.count(name)) {
            ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        return real(module, name, type);
    }
};

// Another process's hold on a named mutex, played by a thread: it takes the
// mutex on construction and holds it until `holdMs` have passed or
// Release() is called, then lets go of it, or with `abandon` ends without
// letting go (the mutex then counts as abandoned; its handle stays open
// until destruction, so that the mutex still exists).
class MutexHolder {
public:
    MutexHolder(const std::wstring& name, bool abandon = false, DWORD holdMs = INFINITE)
        : name_(name), abandon_(abandon), holdMs_(holdMs) {
        stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        taken_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = ::CreateThread(nullptr, 0, &Main, this, 0, nullptr);
        ::WaitForSingleObject(taken_, INFINITE);
        if (abandon_) Release();
    }
    ~MutexHolder() {
        Release();
        ::CloseHandle(mutex_);
        ::CloseHandle(thread_);
        ::CloseHandle(taken_);
        ::CloseHandle(stop_);
    }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;

    // Ends the hold now and waits for the thread.
    void Release() {
        ::SetEvent(stop_);
        ::WaitForSingleObject(thread_, INFINITE);
    }
    bool LetGo() const { return letGo_; }  // set just before ReleaseMutex

private:
    static DWORD WINAPI Main(void* self) {
        auto* holder = static_cast<MutexHolder*>(self);
        holder->mutex_ = ::CreateMutexW(nullptr, TRUE, holder->name_.c_str());
        ::SetEvent(holder->taken_);
        ::WaitForSingleObject(holder->stop_, holder->holdMs_);
        if (!holder->abandon_) {
            holder->letGo_ = true;
            ::ReleaseMutex(holder->mutex_);
        }
        return 0;
    }

    std::wstring name_;
    bool abandon_;
    DWORD holdMs_;
    HANDLE stop_ = nullptr, taken_ = nullptr, thread_ = nullptr, mutex_ = nullptr;
    volatile bool letGo_ = false;
};

inline std::wstring SystemFolder() {
    wchar_t buffer[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

// The token query through the seam answers "the limited half of a split
// token": the run counts as not elevated (Wine's own answer is elevated).
inline void NotElevated() {
    platform::Api().GetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID information, DWORD,
                                             PDWORD length) WINAPI -> BOOL {
        *static_cast<TOKEN_ELEVATION_TYPE*>(information) = TokenElevationTypeLimited;
        *length = sizeof(TOKEN_ELEVATION_TYPE);
        return TRUE;
    };
}

// Where an elevated run puts its working folder and its log: the Windows
// folder's SystemTemp when there is one, else its Temp (with "\").
inline std::wstring ElevatedTempFolder() {
    wchar_t buffer[MAX_PATH];
    const std::wstring windows(buffer, ::GetSystemWindowsDirectoryW(buffer, MAX_PATH));
    const DWORD attributes = ::GetFileAttributesW((windows + L"\\SystemTemp").c_str());
    const bool systemTemp = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return windows + (systemTemp ? L"\\SystemTemp\\" : L"\\Temp\\");
}

// Sets an environment variable (null: leaves it alone) and puts it back.
class TemporaryEnvironment {
public:
    TemporaryEnvironment(const wchar_t* name, const wchar_t* value) : name_(name), set_(value != nullptr) {
        if (!set_) return;
        wchar_t old[1024];
        const DWORD length = ::GetEnvironmentVariableW(name, old, 1024);
        had_ = length > 0 && length < 1024;
        if (had_) old_.assign(old, length);
        ::SetEnvironmentVariableW(name, value);
    }
    ~TemporaryEnvironment() {
        if (set_) ::SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr);
    }
    TemporaryEnvironment(const TemporaryEnvironment&) = delete;
    TemporaryEnvironment& operator=(const TemporaryEnvironment&) = delete;

private:
    const wchar_t* name_;
    bool set_;
    bool had_ = false;
    std::wstring old_;
};

inline std::wstring UserTempFolder() {
    wchar_t buffer[MAX_PATH];
    return std::wstring(buffer, ::GetTempPathW(MAX_PATH, buffer));
}

inline std::wstring CommonAppData() {
    wchar_t buffer[MAX_PATH];
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

inline std::wstring PackageFolder() { return CommonAppData() + L"\\Corvane\\Installers\\TolvexOrvik\\"; }

// Deletes a folder with everything in it (no links are expected in it).
inline void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(folder + L"\\" + name);
            } else {
                ::DeleteFileW((folder + L"\\" + name).c_str());
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

inline bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    ::CloseHandle(file);
    return bytes;
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

// NTDLL's NtCreateFile, which the launcher looks up through GetProcAddress,
// handed out as `standIn`; the stand-in reaches the real one as
// realNtCreateFile.
using NtCreateFileFunction = platform::NtCreateFileFunction;
inline NtCreateFileFunction realNtCreateFile = nullptr;
inline NtCreateFileFunction nativeStandIn = nullptr;
inline void ReplaceNtCreateFile(NtCreateFileFunction standIn) {
    realNtCreateFile = reinterpret_cast<NtCreateFileFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    nativeStandIn = standIn;
    platform::Api().GetProcAddress = [](HMODULE module, LPCSTR name) WINAPI -> FARPROC {
        if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) && strcmp(name, "NtCreateFile") == 0) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(nativeStandIn));
        }
        return ::GetProcAddress(module, name);
    };
}

// The Windows path that `handle` leads to ("" when it cannot be told).
inline std::wstring FinalPathOf(HANDLE handle) {
    wchar_t path[1024];
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path, 1024, 0);
    if (length == 0 || length >= 1024) return L"";
    const std::wstring text(path, length);
    return text.rfind(L"\\\\?\\", 0) == 0 ? text.substr(4) : text;
}

// The bare name, and the full path, of what a native call names relative to
// its root folder.
inline std::wstring NativeName(POBJECT_ATTRIBUTES attributes) {
    return std::wstring(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
}
inline std::wstring NativePath(POBJECT_ATTRIBUTES attributes) {
    const std::wstring folder = FinalPathOf(attributes->RootDirectory);  // a drive's root ends in "\\"
    return folder + (folder.empty() || folder.back() != L'\\' ? L"\\" : L"") + NativeName(attributes);
}

// The file name part of a path.
inline std::wstring BaseName(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

}  // namespace testsupport
