#include "registry/latin1_text.h"

#include <utility>

namespace Qx {

bool NarrowLatin1(const wchar_t* text, std::size_t length, std::string& narrow) {
    narrow.clear();
    std::string result;
    for (std::size_t i = 0; i < length && text[i] != L'\0'; ++i) {
        // wchar_t is 16-bit on Windows and 32-bit natively; either way only
        // 0x01-0xFF has a single-byte form.
        const auto unit = static_cast<unsigned long>(text[i]);
        if (unit > 0xFF) return false;
        result.push_back(static_cast<char>(unit));
    }
    narrow = std::move(result);
    return true;
}

std::wstring WidenLatin1(const char* text) {
    std::wstring wide;
    for (const char* p = text; *p != '\0'; ++p)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

}  // namespace Qx
