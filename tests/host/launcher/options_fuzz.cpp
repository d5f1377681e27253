// Fuzzes the program-name rule and the option parse with arbitrary UTF-16
// command lines. Beyond memory errors (the sanitizers), it checks that the
// result is either the quiet template or a piece of the arguments text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "launcher/command_line_options.h"
#include "platform/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring line;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;  // a process command line ends at its first NUL
        line.push_back(unit);
    }
    const CString arguments = CommandLineArguments(line.c_str());
    if (arguments.GetLength() > static_cast<int>(line.size())) std::abort();
    if (line.compare(line.size() - arguments.GetLength(), std::wstring::npos, arguments.GetString()) != 0) {
        std::abort();  // the arguments are a tail of the command line
    }

    CString msiArguments;
    ParseLauncherOptions(arguments, msiArguments);
    if (msiArguments != kQuietMsiArguments && !msiArguments.IsEmpty() &&
        std::wstring(arguments.GetString()).find(msiArguments.GetString()) == std::wstring::npos) {
        std::abort();
    }
    return 0;
}
