#include "registry/latin1_text.h"

namespace Qx {

bool NarrowLatin1(const wchar_t* text, std::size_t length, char* narrow) {
    std::size_t i = 0;
    for (; i < length && text[i] != L'\0'; ++i) {
        // wchar_t is 16-bit on Windows and 32-bit natively; either way only
        // 0x01-0xFF has a single-byte form.
        const auto unit = static_cast<unsigned long>(text[i]);
        if (unit > 0xFF) {
            narrow[0] = '\0';
            return false;
        }
        narrow[i] = static_cast<char>(unit);
    }
    narrow[i] = '\0';
    return true;
}

std::size_t WidenLatin1(const char* text, wchar_t* wide) {
    std::size_t i = 0;
    for (; text[i] != '\0'; ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    wide[i] = L'\0';
    return i;
}

}  // namespace Qx
