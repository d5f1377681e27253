// Narrow <-> UTF-16 text as the standard C locale does it: each code unit
// 0x0001-0x00FF is the byte of the same value and back; a code unit above
// 0x00FF cannot be narrowed. Text stops at its first NUL. Both directions
// write into a buffer of the caller's.
#pragma once

#include <cstddef>

namespace Qx {

// Narrows text[0, length) up to its first NUL into `narrow`, which has room
// for length + 1 chars, and ends it with a NUL. False (and `narrow` empty)
// when a code unit above 0x00FF occurs before that NUL.
bool NarrowLatin1(const wchar_t* text, std::size_t length, char* narrow);

// Widens NUL-terminated narrow text into `wide`, which has room for
// strlen(text) + 1 code units, and ends it with a NUL. Returns the length.
std::size_t WidenLatin1(const char* text, wchar_t* wide);

}  // namespace Qx
