// Diagnostic lines of the payload steps and their result codes.
#pragma once

#include <windows.h>

namespace payload {

// Prints "<operation> failed (<code>)\n" to standard output and flushes it,
// so the line is not lost when the process ends soon after.
void PrintFailure(const char* operation, int code);

// `error` as a result code, or `fallback` when the failing call left the last
// error at 0, which would otherwise read as success.
int ErrorOr(DWORD error, int fallback);

}  // namespace payload
