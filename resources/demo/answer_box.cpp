// Answers a message box of another process, for end-to-end runs without a
// user:   answer_box.exe TITLE yes|no [TIMEOUT_MS]
// Waits for a top-level dialog with that exact title, then presses its Yes
// or No button by posting the button's command to the dialog, as a click
// would. Prints the text of the box it answered. Exit codes: 0 answered,
// 1 no such box appeared in time, 2 bad arguments, 3 the box had no such
// button.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: answer_box TITLE yes|no [TIMEOUT_MS]\n");
        return 2;
    }
    const wchar_t* title = argv[1];
    int button = 0;
    if (_wcsicmp(argv[2], L"yes") == 0) button = IDYES;
    if (_wcsicmp(argv[2], L"no") == 0) button = IDNO;
    if (button == 0) return 2;
    const DWORD timeoutMs = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 30000;

    const DWORD start = GetTickCount();
    HWND box = nullptr;
    // #32770 is the window class of dialog boxes, message boxes included. A
    // message box gets its title before its text while it initialises, and
    // is shown only once that is done: wait until it is visible, so that the
    // text read below is the one the user sees.
    while ((box = FindWindowW(L"#32770", title)) == nullptr || !IsWindowVisible(box)) {
        if (GetTickCount() - start > timeoutMs) {
            std::fwprintf(stderr, L"answer_box: no box titled \"%ls\" within %lu ms\n", title,
                          timeoutMs);
            return 1;
        }
        Sleep(50);
    }

    HWND control = GetDlgItem(box, button);
    if (control == nullptr) {
        std::fwprintf(stderr, L"answer_box: the box has no %ls button\n", argv[2]);
        return 3;
    }
    // The static text of a message box has the id 0xFFFF.
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    std::wprintf(L"%ls\n", text);
    std::fflush(stdout);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
    return 0;
}
