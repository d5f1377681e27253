#include "platform/command_line.h"

namespace {

// A separator after the program name: a space or a control character.
bool IsSeparator(wchar_t ch) { return ch >= 1 && ch <= 32; }

}  // namespace

CString CommandLineArguments(const wchar_t* commandLine) {
    if (!commandLine) return CString();
    const wchar_t* p = commandLine;
    bool inQuotes = false;
    for (; *p != L'\0'; ++p) {
        if (*p == L'"') {
            inQuotes = !inQuotes;
        } else if (!inQuotes && IsSeparator(*p)) {
            break;
        }
    }
    while (*p != L'\0' && IsSeparator(*p)) ++p;
    return CString(p);
}
