#include "platform/stack_guard.h"

#include <windows.h>

#include <cstdint>
#include <x86intrin.h>

extern "C" {

// Read by every protected function; a fixed value until SeedStackGuard.
std::uintptr_t __stack_chk_guard = static_cast<std::uintptr_t>(0x2B992DDFA232ull);

// A protected function found its guard overwritten: its return address
// cannot be trusted, so nothing more of the program may run. The process
// ends itself with TerminateProcess, which runs no exception handler, no
// DLL detach and no atexit routine, and reports STATUS_STACK_BUFFER_OVERRUN
// as its exit code. The fail-fast interrupt is not used: a system that
// announces it but delivers it as an access violation (32-bit Wine does)
// would dispatch it through the exception handlers, and in a 32-bit process
// those are registered on the very stack that was overwritten.
// KERNEL32 is called directly, not through the seam: nothing a test or an
// attacker put into a table may stand between the overrun and the end.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail() {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    __builtin_trap();
}

extern IMAGE_DOS_HEADER __ImageBase;

}  // extern "C"

namespace platform {

__attribute__((no_stack_protector, noinline)) void SeedStackGuard() {
    volatile int here = 0;
    std::uint64_t mixed = __rdtsc();
    mixed ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)) << 17;
    mixed ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&__ImageBase));
    // A 64-bit finaliser spreads every input bit over the whole value.
    mixed ^= mixed >> 33;
    mixed *= 0xFF51AFD7ED558CCDull;
    mixed ^= mixed >> 33;
    mixed *= 0xC4CEB9FE1A85EC53ull;
    mixed ^= mixed >> 33;
    const auto guard = static_cast<std::uintptr_t>(mixed ^ (mixed >> 32));
    if (guard != 0) __stack_chk_guard = guard;
}

}  // namespace platform
