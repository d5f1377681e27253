// Helpers for replacing entries of the Windows seam in unit tests.
//
//   SeamScope scope;                        // restores the whole table at scope end
//   FailWith<&platform::WindowsApi::CreateFileW>(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
//
// FailWith installs a stand-in that sets the given last error and returns the
// given result; FailOnCall(n, ...) lets the first n-1 calls through to the
// real function and fails from call n on (or only call n, with once = true).
#pragma once

#include <windows.h>

#include "platform/windows_api.h"

namespace seam {

// Saves the table on construction and puts it back on destruction.
class SeamScope {
public:
    SeamScope() : saved_(platform::Api()) {}
    ~SeamScope() { platform::Api() = saved_; }
    SeamScope(const SeamScope&) = delete;
    SeamScope& operator=(const SeamScope&) = delete;

private:
    platform::WindowsApi saved_;
};

template <auto Member>
struct Stand;

template <typename R, typename... A, R(WINAPI* platform::WindowsApi::*Member)(A...)>
struct Stand<Member> {
    using Function = R(WINAPI*)(A...);
    static inline R result{};
    static inline DWORD error = 0;
    static inline int calls = 0;          // calls seen since Install
    static inline int failFrom = 1;       // first call number that fails
    static inline bool failOnce = false;  // only call failFrom fails
    static inline Function real = nullptr;

    static R WINAPI Call(A... args) {
        ++calls;
        const bool fail = calls >= failFrom && (!failOnce || calls == failFrom);
        if (!fail) return real(args...);
        ::SetLastError(error);
        return result;
    }

    static void Install(R failResult, DWORD failError, int from, bool once) {
        result = failResult;
        error = failError;
        calls = 0;
        failFrom = from;
        failOnce = once;
        real = platform::Api().*Member;
        platform::Api().*Member = &Call;
    }
};

// Every call of the entry fails with `result` and last error `error`.
template <auto Member, typename R>
void FailWith(R result, DWORD error) {
    Stand<Member>::Install(result, error, 1, false);
}

// Calls before number `n` (counting from 1) reach the real function; call n
// fails, and so do all later ones unless `once` is true.
template <auto Member, typename R>
void FailOnCall(int n, R result, DWORD error, bool once = false) {
    Stand<Member>::Install(result, error, n, once);
}

// How often the stand-in of `Member` has been called since it was installed.
template <auto Member>
int CallCount() {
    return Stand<Member>::calls;
}

}  // namespace seam
