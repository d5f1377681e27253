// Ending listed processes by image name.
#include <cwchar>

#include "platform/diagnostics.h"
#include "platform/handles.h"
#include "platform/run_log.h"
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

// How long an ended process is waited for: TerminateProcess only starts its
// end, and until it is gone it holds its image and DLLs, which the next
// steps' installers may have to replace (a files-in-use prompt, or a restart
// that was not needed). Each is waited for at most kProcessGoneMs, all of
// one step together at most kAllGoneMs.
constexpr DWORD kProcessGoneMs = 5000;
constexpr DWORD kAllGoneMs = 15000;

// Ends one process and waits for it to be gone, within `waitLeft` (which it
// lowers by the time waited); true if TerminateProcess succeeded. A process
// that cannot be opened (another user's, a protected one) is passed over.
bool TerminateProcessById(DWORD processId, const wchar_t* name, DWORD& waitLeft) {
    auto& api = platform::Api();
    platform::UniqueHandle process(api.OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return false;
    if (!api.TerminateProcess(process.get(), 0)) return false;

    const DWORD start = api.GetTickCount();
    const DWORD waited = api.WaitForSingleObject(process.get(), waitLeft < kProcessGoneMs ? waitLeft : kProcessGoneMs);
    const DWORD error = GetLastError();
    const DWORD spent = api.GetTickCount() - start;
    waitLeft = spent < waitLeft ? waitLeft - spent : 0;
    wchar_t id[16];
    wchar_t ms[16];
    platform::DecimalText(static_cast<long>(processId), id);
    platform::DecimalText(static_cast<long>(spent), ms);
    const CString ended = CString(L"process ") + name + L" (" + id + L") ended";
    if (waited == WAIT_OBJECT_0) {
        platform::LogLine(ended, L": gone after ", ms, L" ms");
    } else if (waited == WAIT_TIMEOUT) {
        platform::LogLine(ended, L": still there after ", ms, L" ms, the run goes on");
    } else {
        wchar_t code[16];
        platform::LogLine(ended, L": its end could not be waited for (",
                          platform::DecimalText(static_cast<long>(platform::ErrorOr(error, ERROR_GEN_FAILURE)), code),
                          L"), the run goes on");
    }
    return true;
}

}  // namespace

int TerminateProcessesNamed(const wchar_t* const* imageNames, int count) {
    // The snapshot is walked even for an empty list; that costs little and
    // keeps the step the same for every configuration.
    platform::UniqueSnapshot snapshot(platform::Api().CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;

    int terminated = 0;
    DWORD waitLeft = kAllGoneMs;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = platform::Api().Process32FirstW(snapshot.get(), &entry); more;
         more = platform::Api().Process32NextW(snapshot.get(), &entry)) {
        // The buffer is fixed-size; make sure the name ends inside it.
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (IsListed(imageNames, count, entry.szExeFile) &&
            TerminateProcessById(entry.th32ProcessID, entry.szExeFile, waitLeft)) {
            ++terminated;
        }
    }
    return terminated;
}

}  // namespace preparation
