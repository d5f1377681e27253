// Ending listed processes: the walk over a snapshot, matched by exact image
// name. The process table is faked through the seam, so nothing real ends.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "log_capture.h"
#include "preparation/preparation_steps.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

struct FakeProcess {
    DWORD id;
    const wchar_t* name;
};

std::vector<FakeProcess> table;
size_t cursor;
std::set<DWORD> openRefused, terminateRefused;
std::vector<DWORD> opened, terminated;
std::map<HANDLE, DWORD> openHandles;  // handles given out and not yet closed
// An ended process goes after goneAfter[id] ms (kNever: never, kWaitFails:
// the wait fails) of the stand-in clock, which only waits advance; the waits
// asked for are kept.
constexpr DWORD kNever = INFINITE;
constexpr DWORD kWaitFails = INFINITE - 1;
std::map<DWORD, DWORD> goneAfter;
std::vector<DWORD> waitsAsked;
DWORD now;

// The step with a list held as standard strings.
int Terminate(const std::vector<std::wstring>& list) {
    std::vector<const wchar_t*> names;
    for (const auto& name : list) names.push_back(name.c_str());
    return preparation::TerminateProcessesNamed(names.data(), static_cast<int>(names.size()));
}

BOOL Fill(PROCESSENTRY32W* entry) {
    if (cursor >= table.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    EXPECT_EQ(entry->dwSize, sizeof(PROCESSENTRY32W));
    entry->th32ProcessID = table[cursor].id;
    wcscpy_s(entry->szExeFile, table[cursor].name);
    return TRUE;
}

class TerminateProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        cursor = 0;
        openRefused.clear();
        terminateRefused.clear();
        opened.clear();
        terminated.clear();
        openHandles.clear();
        Api().Process32FirstW = [](HANDLE, PROCESSENTRY32W* e) WINAPI -> BOOL { cursor = 0; return Fill(e); };
        Api().Process32NextW = [](HANDLE, PROCESSENTRY32W* e) WINAPI -> BOOL { ++cursor; return Fill(e); };
        goneAfter.clear();
        waitsAsked.clear();
        now = 0;
        Api().OpenProcess = [](DWORD access, BOOL inherit, DWORD id) WINAPI -> HANDLE {
            EXPECT_EQ(access, static_cast<DWORD>(PROCESS_TERMINATE | SYNCHRONIZE));
            EXPECT_FALSE(inherit);
            opened.push_back(id);
            if (openRefused.count(id)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            HANDLE stand = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            openHandles[stand] = id;
            return stand;
        };
        Api().TerminateProcess = [](HANDLE h, UINT code) WINAPI -> BOOL {
            EXPECT_EQ(code, 0u);
            const DWORD id = openHandles.at(h);
            if (terminateRefused.count(id)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            terminated.push_back(id);
            return TRUE;
        };
        Api().GetTickCount = []() WINAPI -> DWORD { return now; };
        Api().WaitForSingleObject = [](HANDLE h, DWORD timeout) WINAPI -> DWORD {
            waitsAsked.push_back(timeout);
            const DWORD gone = goneAfter[openHandles.at(h)];
            if (gone == kWaitFails) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            now += gone <= timeout ? gone : timeout;
            return gone <= timeout ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        };
        Api().CloseHandle = [](HANDLE h) WINAPI -> BOOL {
            openHandles.erase(h);
            return ::CloseHandle(h);
        };
    }
    void TearDown() override { EXPECT_TRUE(openHandles.empty()) << "a process handle was not closed"; }

    seam::SeamScope scope;
};

}  // namespace

TEST_F(TerminateProcesses, MatchesWholeNamesExactly) {
    table = {{10, L"Tool.exe"}, {11, L"tool.exe"}, {12, L"Tool.exe"}, {13, L"Tool.exe.bak"},
             {14, L"Tool"},     {15, L"Other.exe"}, {16, L"TOOL.EXE"}};
    struct Case {
        std::vector<std::wstring> list;
        std::vector<DWORD> ended;
    } cases[] = {
        {{L"Tool.exe"}, {10, 12}},                      // both copies, not the other cases
        {{L"Tool.exe", L"Tool.exe"}, {10, 12}},         // listed twice, ended once
        {{L"tool.exe", L"Other.exe"}, {11, 15}},
        {{L"C:\\Program Files\\Tool.exe"}, {}},         // no folder handling
        {{L"Tool.ex"}, {}},
        {{L" Tool.exe"}, {}},
        {{}, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        terminated.clear();
        EXPECT_EQ(Terminate(c.list), static_cast<int>(c.ended.size()));
        EXPECT_EQ(terminated, c.ended);
    }
}

TEST_F(TerminateProcesses, RefusedProcessesStayAndAreNotCounted) {
    table = {{20, L"a.exe"}, {21, L"a.exe"}, {22, L"a.exe"}};
    openRefused = {20};
    terminateRefused = {21};
    EXPECT_EQ(Terminate({L"a.exe"}), 1);
    EXPECT_EQ(opened, (std::vector<DWORD>{20, 21, 22}));
    EXPECT_EQ(terminated, (std::vector<DWORD>{22}));
}

TEST_F(TerminateProcesses, NoSnapshotOrEmptySnapshotEndsNothing) {
    table = {{30, L"a.exe"}};
    {
        seam::SeamScope inner;
        seam::FailWith<&WindowsApi::CreateToolhelp32Snapshot>(INVALID_HANDLE_VALUE, DWORD{ERROR_ACCESS_DENIED});
        EXPECT_EQ(Terminate({L"a.exe"}), 0);
    }
    table.clear();
    EXPECT_EQ(Terminate({L"a.exe"}), 0);
    EXPECT_TRUE(opened.empty());
}

// TerminateProcess only starts a process's end: each one ended is waited for
// before the next step, at most 5 s each and 15 s for all of them, and the
// log says how long. The count is of the processes ended, gone or not.
TEST_F(TerminateProcesses, EachEndedProcessIsWaitedForWithinItsBounds) {
    struct Case {
        std::vector<DWORD> goneAfter;  // per process, in walk order
        std::vector<DWORD> asked;      // the waits asked for
        std::vector<std::string> ends; // what the log says after "process a.exe (id) ended: "
    } cases[] = {
        {{0}, {5000}, {"gone after 0 ms"}},
        {{1200}, {5000}, {"gone after 1200 ms"}},
        {{kNever}, {5000}, {"still there after 5000 ms, the run goes on"}},
        {{kWaitFails}, {5000}, {"its end could not be waited for (6), the run goes on"}},
        // 15 s in all: the fourth gets what is left, the fifth nothing.
        {{kNever, 300, kNever, kNever, 10},
         {5000, 5000, 5000, 4700, 0},
         {"still there after 5000 ms, the run goes on", "gone after 300 ms",
          "still there after 5000 ms, the run goes on", "still there after 4700 ms, the run goes on",
          "still there after 0 ms, the run goes on"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        table.clear();
        goneAfter.clear();
        waitsAsked.clear();
        for (size_t p = 0; p < c.goneAfter.size(); ++p) {
            table.push_back({static_cast<DWORD>(50 + p), L"a.exe"});
            goneAfter[static_cast<DWORD>(50 + p)] = c.goneAfter[p];
        }
        int ended = 0;
        const auto lines = testsupport::LogLinesOf([&] { ended = Terminate({L"a.exe"}); });
        EXPECT_EQ(ended, static_cast<int>(c.goneAfter.size()));
        EXPECT_EQ(waitsAsked, c.asked);
        std::vector<std::string> want;
        for (size_t p = 0; p < c.ends.size(); ++p) {
            want.push_back("process a.exe (" + std::to_string(50 + p) + ") ended: " + c.ends[p]);
        }
        EXPECT_EQ(lines, want);
    }
}

// The real snapshot: the launcher's own process is part of the walk.
TEST(TerminateProcessesWalk, IncludesOwnProcess) {
    seam::SeamScope scope;
    static std::vector<DWORD> seen;
    seen.clear();
    Api().OpenProcess = [](DWORD, BOOL, DWORD id) WINAPI -> HANDLE {
        seen.push_back(id);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    };
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    const std::wstring ownName = wcsrchr(path, L'\\') + 1;
    EXPECT_EQ(Terminate({ownName}), 0);
    EXPECT_NE(std::find(seen.begin(), seen.end(), GetCurrentProcessId()), seen.end());
}

// A settings list is read up to its count, and a missing entry is passed over.
TEST_F(TerminateProcesses, TakesCountedEntriesOnly) {
    table = {{40, L"a.exe"}, {41, L"c.exe"}, {42, L"d.exe"}};
    const wchar_t* const names[] = {L"a.exe", nullptr, L"c.exe", L"d.exe"};
    EXPECT_EQ(preparation::TerminateProcessesNamed(names, 3), 2);
    EXPECT_EQ(terminated, (std::vector<DWORD>{40, 41}));
    terminated.clear();
    EXPECT_EQ(preparation::TerminateProcessesNamed(names, 0), 0);
    EXPECT_EQ(preparation::TerminateProcessesNamed(names, -2), 0);
    EXPECT_EQ(preparation::TerminateProcessesNamed(nullptr, 2), 0);
    EXPECT_TRUE(terminated.empty());
}
