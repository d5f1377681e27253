// Fuzzes the program-name rule and the option parse with arbitrary UTF-16
// command lines. Beyond memory errors (the sanitizers), it checks both
// results against a plain model that follows the rules step by step on a
// shrinking view of the text, so a wrong position or a missed option shows
// up as well as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launcher/command_line_options.h"
#include "platform/command_line.h"

namespace {

bool IsSeparator(wchar_t ch) { return ch >= 1 && ch <= 32; }

std::wstring_view ModelArguments(std::wstring_view line) {
    bool inQuotes = false;
    while (!line.empty() && (inQuotes || !IsSeparator(line.front()))) {
        if (line.front() == L'"') inQuotes = !inQuotes;
        line.remove_prefix(1);
    }
    while (!line.empty() && IsSeparator(line.front())) line.remove_prefix(1);
    return line;
}

// The parse as a sequence of steps, each dropping a prefix of `rest`.
std::wstring ModelOptions(std::wstring_view rest) {
    std::wstring msiArguments;
    for (;;) {
        const std::size_t introducer = rest.find_first_of(L"-/");
        if (introducer == rest.npos) return msiArguments;
        rest.remove_prefix(introducer + 1);
        std::wstring name(rest.substr(0, rest.find_first_of(L"-/\" ")));
        rest.remove_prefix(name.size());
        for (wchar_t& ch : name) {
            if (ch >= L'A' && ch <= L'Z') ch = static_cast<wchar_t>(ch + (L'a' - L'A'));
        }
        if (name == L"quiet") {
            msiArguments = kQuietMsiArguments;
        } else if (name == L"msiargs") {
            const std::size_t open = rest.find_first_not_of(L" \t");
            if (open == rest.npos || open + 1 == rest.size()) continue;
            const std::size_t close = rest.find(rest[open], open + 1);
            if (close == rest.npos) continue;
            msiArguments = rest.substr(open + 1, close - open - 1);
            rest.remove_prefix(close + 1);
        }
    }
}

std::wstring_view View(const CString& text) { return {text.GetString(), std::size_t(text.GetLength())}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring line;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;  // a process command line ends at its first NUL
        line.push_back(unit);
    }
    const CString arguments = CommandLineArguments(line.c_str());
    if (View(arguments) != ModelArguments(line)) std::abort();

    CString msiArguments;
    ParseLauncherOptions(arguments, msiArguments);
    if (View(msiArguments) != ModelOptions(View(arguments))) std::abort();
    return 0;
}
