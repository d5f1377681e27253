#include "platform/diagnostics.h"

#include <io.h>

#include "platform/run_log.h"

namespace platform {

int FormatDecimal(long value, char* out) {
    // Digits are made from the magnitude as unsigned, so the lowest value
    // (whose magnitude a long cannot hold) is printed correctly too.
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = 0;
    if (value < 0) out[length++] = '-';
    while (count > 0) out[length++] = digits[--count];
    out[length] = '\0';
    return length;
}

void PrintFailure(const char* operation, int code) {
    char line[128];
    int length = 0;
    for (const char* p = operation; *p != '\0' && length < 96; ++p) line[length++] = *p;
    for (const char* p = " failed ("; *p != '\0'; ++p) line[length++] = *p;
    length += FormatDecimal(code, line + length);
    line[length++] = ')';
    line[length] = '\0';
    PrintLine(line);
}

void PrintLine(const char* text) {
    char line[256];
    int length = 0;
    for (const char* p = text; *p != '\0' && length < 254; ++p) line[length++] = *p;
    LogText(line, length);
    line[length++] = '\n';
    // The C runtime's unbuffered write to standard output; without a console
    // or redirection it goes nowhere, which is accepted.
    _write(1, line, static_cast<unsigned>(length));
}

int ErrorOr(DWORD error, int fallback) { return error != 0 ? static_cast<int>(error) : fallback; }

}  // namespace platform
