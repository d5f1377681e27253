// Ending listed processes by image name.
#include <cwchar>

#include "platform/handles.h"
#include "preparation/preparation_steps.h"

namespace preparation {

namespace {

bool IsListed(const wchar_t* const* imageNames, int count, const wchar_t* exeFile) {
    if (imageNames == nullptr) return false;
    // wcscmp compares code unit by code unit over the whole string:
    // "Tool.exe" does not match "tool.exe".
    for (int i = 0; i < count; ++i) {
        if (imageNames[i] != nullptr && std::wcscmp(imageNames[i], exeFile) == 0) return true;
    }
    return false;
}

// Ends one process; true if TerminateProcess succeeded. A process that cannot
// be opened (another user's, a protected one) is passed over.
bool TerminateProcessById(DWORD processId) {
    platform::UniqueHandle process(platform::Api().OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) return false;
    return platform::Api().TerminateProcess(process.get(), 0) != FALSE;
}

}  // namespace

int TerminateProcessesNamed(const wchar_t* const* imageNames, int count) {
    // The snapshot is walked even for an empty list; that costs little and
    // keeps the step the same for every configuration.
    platform::UniqueSnapshot snapshot(platform::Api().CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;

    int terminated = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = platform::Api().Process32FirstW(snapshot.get(), &entry); more;
         more = platform::Api().Process32NextW(snapshot.get(), &entry)) {
        // The buffer is fixed-size; make sure the name ends inside it.
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (IsListed(imageNames, count, entry.szExeFile) && TerminateProcessById(entry.th32ProcessID)) {
            ++terminated;
        }
    }
    return terminated;
}

}  // namespace preparation
