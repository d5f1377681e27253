// The application's command-line text, as the framework hands it over.
#pragma once

#include "platform/cstring.h"

// The arguments part of a process command line: `commandLine` without the
// program name. The program name runs up to the first code unit from 1 to 32
// (a space or a control character) outside double quotes, each double quote
// switching between inside and outside; that code unit and all directly
// following ones from 1 to 32 are dropped as well. A null or empty command
// line, or one that is only a program name, gives the empty text.
CString CommandLineArguments(const wchar_t* commandLine);
