// Narrow <-> UTF-16 text as the standard C locale does it: each code unit
// 0x0001-0x00FF is the byte of the same value and back; a code unit above
// 0x00FF cannot be narrowed. Text stops at its first NUL.
#pragma once

#include <cstddef>
#include <string>

namespace Qx {

// Narrows text[0, length) up to its first NUL. False (and `narrow` empty)
// when a code unit above 0x00FF occurs before that NUL.
bool NarrowLatin1(const wchar_t* text, std::size_t length, std::string& narrow);

// Widens NUL-terminated narrow text.
std::wstring WidenLatin1(const char* text);

}  // namespace Qx
