// The stack protector's support: the guard value that functions with local
// buffers place below their return address, and what happens when a
// function finds it changed on return.
//
// Production code is built with -fstack-protector-strong. The toolchain's
// own support library would import ADVAPI32 for its random guard and write
// through the C runtime's stdio; this one imports nothing.
#pragma once

namespace platform {

// Gives the guard a value of this run: the processor's time stamp counter
// mixed with where the stack and the image were placed. It must run first
// thing at the entry point, before any protected function is on the stack,
// and calls nothing (the seam is not yet filled then). Until it runs, and in
// programs that never call it, the guard keeps a fixed value that still
// catches every overrun.
void SeedStackGuard();

}  // namespace platform
