// The program's allocator: the C runtime's heap, and an orderly end when it
// is exhausted.
//
// Nothing in the launcher can go on without the memory it asks for, and no
// code raises or catches exceptions. So an allocation that fails ends the
// process through the C runtime's exit with ERROR_NOT_ENOUGH_MEMORY (8) as
// its exit code: static objects are destroyed, nothing is shown, and a
// silent deployment is not held up by an error box.
#include <windows.h>

#include <cstdlib>

#include "platform/diagnostics.h"
#include "platform/run_log.h"

namespace {

[[noreturn]] void OutOfMemory() {
    platform::PrintFailure("Allocate", ERROR_NOT_ENOUGH_MEMORY);
    platform::LogExitCode(ERROR_NOT_ENOUGH_MEMORY);
    std::exit(ERROR_NOT_ENOUGH_MEMORY);
}

void* Allocate(size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (!block) OutOfMemory();
    return block;
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
