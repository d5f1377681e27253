// The run log's lines written while a piece of a test runs: the log is made
// in the user's temporary folder under a name of its own, read back and
// deleted.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/run_log.h"
#include "seam.h"

namespace testsupport {

template <typename Body>
std::vector<std::string> LogLinesOf(Body body) {
    wchar_t temp[MAX_PATH];
    const std::wstring folder(temp, ::GetTempPathW(MAX_PATH, temp));
    const std::wstring path = folder + L"captured_20261211_120000.log";
    ::DeleteFileW(path.c_str());
    {
        seam::SeamScope scope;
        // Not elevated, so the log goes to the user's temporary folder; the
        // module's name and the time make its name.
        platform::Api().GetTokenInformation = [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID information, DWORD,
                                                 PDWORD length) WINAPI -> BOOL {
            *static_cast<TOKEN_ELEVATION_TYPE*>(information) = TokenElevationTypeLimited;
            *length = sizeof(TOKEN_ELEVATION_TYPE);
            return TRUE;
        };
        platform::Api().CheckTokenMembership = [](HANDLE, PSID, PBOOL member) WINAPI -> BOOL {
            *member = FALSE;
            return TRUE;
        };
        platform::Api().GetModuleFileNameW = [](HMODULE, LPWSTR out, DWORD size) WINAPI -> DWORD {
            const wchar_t name[] = L"C:\\tests\\captured.exe";
            wcsncpy(out, name, size);
            return static_cast<DWORD>(wcslen(name));
        };
        platform::Api().GetLocalTime = [](LPSYSTEMTIME now) WINAPI {
            *now = {};
            now->wYear = 2026, now->wMonth = 12, now->wDay = 11, now->wHour = 12;
        };
        platform::OpenRunLog();
    }
    body();
    platform::CloseRunLog();
    std::vector<std::string> lines;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        std::string text;
        char chunk[4096];
        DWORD read = 0;
        while (::ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) text.append(chunk, read);
        ::CloseHandle(file);
        for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(text.substr(start, end - start));
        }
    }
    ::DeleteFileW(path.c_str());
    return lines;
}

}  // namespace testsupport
