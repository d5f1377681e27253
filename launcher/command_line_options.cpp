#include "launcher/command_line_options.h"

const wchar_t* const kQuietMsiArguments = L"/i $MSIPATH /quiet";

namespace {

const wchar_t kIntroducers[] = L"-/";
const wchar_t kNameEnds[] = L"-/\" ";

bool IsBlank(wchar_t ch) { return ch == L' ' || ch == L'\t'; }

CString LowerAsciiLetters(const CString& text) {
    CString lowered;
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t ch = text.GetAt(i);
        lowered += (ch >= L'A' && ch <= L'Z') ? static_cast<wchar_t>(ch - L'A' + L'a') : ch;
    }
    return lowered;
}

}  // namespace

int FindFirstNonBlank(const CString& text) {
    for (int i = 0; i < text.GetLength(); ++i) {
        if (!IsBlank(text.GetAt(i))) return i;
    }
    return -1;
}

void ParseLauncherOptions(const CString& commandLine, CString& msiArguments) {
    // `rest` is the text from position `at` on; it is not copied.
    const CString& text = commandLine;
    const int length = text.GetLength();
    int at = 0;
    for (;;) {
        const int introducer = text.FindOneOf(kIntroducers, at);
        if (introducer < 0) return;
        at = introducer + 1;

        int nameEnd = text.FindOneOf(kNameEnds, at);
        if (nameEnd < 0) nameEnd = length;
        const CString name = LowerAsciiLetters(text.Mid(at, nameEnd - at));
        at = nameEnd;

        if (name == L"quiet") {
            msiArguments = kQuietMsiArguments;
        } else if (name == L"msiargs") {
            const int blank = FindFirstNonBlank(text.Mid(at));
            if (blank < 0) continue;
            const int open = at + blank;
            if (open == length - 1) continue;
            const int close = text.Find(text.GetAt(open), open + 1);
            if (close < 0) continue;
            msiArguments = text.Mid(open + 1, close - open - 1);
            at = close + 1;
        }
    }
}
