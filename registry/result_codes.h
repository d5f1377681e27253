// Result codes of the registry toolkit, in the Windows result-code style.
//
// Kept free of <windows.h> so that the pure parts of the toolkit (the typed
// value and its blob codec) build and are tested natively as well. The values
// equal S_OK, S_FALSE and E_FAIL; callers test only for a negative result.
#pragma once

#include <cstdint>

namespace Qx {

using Result = std::int32_t;

constexpr Result kOk = 0;                                          // S_OK
constexpr Result kFalse = 1;                                       // S_FALSE
constexpr Result kFail = static_cast<Result>(UINT32_C(0x80004005));  // E_FAIL

}  // namespace Qx
