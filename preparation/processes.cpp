// Ending listed processes by image name.
#include <algorithm>

#include "platform/handles.h"
#include "preparation/preparation_steps.h"

namespace preparation {

namespace {

bool IsListed(const std::vector<std::wstring>& imageNames, const wchar_t* exeFile) {
    // std::wstring equality compares code unit by code unit over the whole
    // string: "Tool.exe" does not match "tool.exe".
    return std::find(imageNames.begin(), imageNames.end(), exeFile) != imageNames.end();
}

// Ends one process; true if TerminateProcess succeeded. A process that cannot
// be opened (another user's, a protected one) is passed over.
bool TerminateProcessById(DWORD processId) {
    platform::UniqueHandle process(platform::Api().OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) return false;
    return platform::Api().TerminateProcess(process.get(), 0) != FALSE;
}

}  // namespace

int TerminateProcessesNamed(const std::vector<std::wstring>& imageNames) {
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
        if (IsListed(imageNames, entry.szExeFile) && TerminateProcessById(entry.th32ProcessID)) {
            ++terminated;
        }
    }
    return terminated;
}

}  // namespace preparation
