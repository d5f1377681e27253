// The launcher's options "quiet" and "msiargs".
//
// Pure functions on code units (no Windows header), shared by the launcher
// and the host tests.
#pragma once

#include "platform/cstring.h"

// The msiexec argument template that the option "quiet" stands for.
// "$MSIPATH" is replaced by the quoted package path when the package runs.
extern const wchar_t* const kQuietMsiArguments;

// Position of the first code unit that is neither a space nor a tab, or -1
// when `text` is empty or holds only spaces and tabs.
int FindFirstNonBlank(const CString& text);

// Scans `commandLine` (the arguments without the program name) for options
// and replaces `msiArguments` whole with what the last option that sets it
// gives; without such an option `msiArguments` is left as it is.
//
// An option begins at any "-" or "/", also inside a word or inside quotes.
// Its name runs up to the next "-", "/", double quote or space (a tab
// belongs to the name) and is compared after turning A-Z into a-z only.
// "quiet" sets kQuietMsiArguments. "msiargs" takes a value: the first code
// unit after the name that is not a space or tab is the delimiter, and the
// text up to its next occurrence is the value; the value's text is not
// scanned for options. Without a closing delimiter the value is ignored and
// the scan goes on right after the name. Other names are ignored.
void ParseLauncherOptions(const CString& commandLine, CString& msiArguments);
