// Compile-time checks, no code: each function type of system_functions.h is
// the type of the system headers' own declaration of that function, calling
// convention included. This file is built for Windows 10, for which the
// headers declare every one of them (the launcher itself is built for
// Windows 7 and looks the newer ones up).
#undef _WIN32_WINNT
#undef WINVER
#define _WIN32_WINNT 0x0A00
#define WINVER 0x0A00

#include "platform/system_functions.h"

#include <type_traits>

namespace platform {

#define PLATFORM_DECLARED_AS(function)                                                      \
    static_assert(std::is_same_v<function##Function, decltype(&::function)>, #function \
                  "Function differs from the system's declaration of " #function)

PLATFORM_DECLARED_AS(IsWow64Process);
PLATFORM_DECLARED_AS(IsWow64Process2);
PLATFORM_DECLARED_AS(SetDefaultDllDirectories);
PLATFORM_DECLARED_AS(SetProcessMitigationPolicy);
PLATFORM_DECLARED_AS(RegDeleteKeyExW);
PLATFORM_DECLARED_AS(NtCreateFile);
PLATFORM_DECLARED_AS(NtSetInformationFile);
PLATFORM_DECLARED_AS(RtlNtStatusToDosError);

#undef PLATFORM_DECLARED_AS

}  // namespace platform
