#include "payload/diagnostics.h"

#include <cstdio>

namespace payload {

void PrintFailure(const char* operation, int code) {
    std::printf("%s failed (%d)\n", operation, code);
    std::fflush(stdout);
}

int ErrorOr(DWORD error, int fallback) { return error != 0 ? static_cast<int>(error) : fallback; }

}  // namespace payload
