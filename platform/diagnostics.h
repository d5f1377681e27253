// Diagnostic lines and the result codes that go with them.
#pragma once

#include <windows.h>

namespace platform {

// Writes "<operation> failed (<code>)\n" to standard output, the code as a
// signed decimal, and the same line to the run log. The line goes out
// unbuffered, so it is not lost when the process ends soon after.
void PrintFailure(const char* operation, int code);

// Writes `text` and a line break to standard output, unbuffered, and the
// same line to the run log: a run that stops on purpose says why.
void PrintLine(const char* text);

// `error` as a result code, or `fallback` when the failing call left the last
// error at 0, which would otherwise read as success.
int ErrorOr(DWORD error, int fallback);

// `value` as signed decimal text into `out` (room for 12 characters and the
// NUL); returns the number of characters written, without the NUL.
int FormatDecimal(long value, char* out);

}  // namespace platform
