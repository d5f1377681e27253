#include "platform/stack_guard.h"

#include <windows.h>

#include <cstdint>
#include <x86intrin.h>

#include "platform/windows_api.h"

extern "C" {

// Read by every protected function; a fixed value until SeedStackGuard.
std::uintptr_t __stack_chk_guard = static_cast<std::uintptr_t>(0x2B992DDFA232ull);

// A protected function found its guard overwritten: its return address
// cannot be trusted, so nothing more of the program may run. The fail-fast
// interrupt with FAST_FAIL_STACK_COOKIE_CHECK_FAILURE (2) ends the process at
// once, runs no handler and is reported by Windows as a stack buffer
// overrun. Where Windows has no fail-fast (Windows 7) the interrupt would
// fault, and the fault would be dispatched through the exception handlers
// that live on the overwritten stack; there the process is ended with the
// same status by TerminateProcess, which runs no handler either.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail() {
    auto& api = platform::Api();
    if (api.IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        __asm__ volatile("int $0x29" : : "c"(2) : "memory");
    }
    api.TerminateProcess(api.GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
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
