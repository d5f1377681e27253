// Owners for the Windows handles that the launcher opens.
//
// Each owner is move-only, closes its handle exactly once (in its destructor,
// in reset() or in Close()), and closes through the seam in windows_api.h, so
// a test can see every close. Handles that are invalid as NULL and handles
// that are invalid as INVALID_HANDLE_VALUE are different types and cannot be
// mixed up.
#pragma once

#include <utility>

#include "platform/windows_api.h"

namespace platform {

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() = default;
    explicit UniqueAny(Type value) : value_(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }

    // Closes the held handle (if any) and takes ownership of `value`.
    void reset(Type value = Traits::Invalid()) {
        if (*this) Traits::Close(value_);
        value_ = value;
    }

    // Gives up ownership without closing.
    Type release() {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }

    // Closes the held handle and returns the address to receive a new one.
    Type* put() {
        reset();
        return &value_;
    }

    // Closes now and reports whether the close succeeded; the caller reads
    // GetLastError right after a false result. Closing nothing succeeds.
    bool Close() {
        if (!*this) return true;
        return Traits::Close(release()) != 0;
    }

private:
    Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {  // processes, events: invalid as NULL
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type h) { return Api().CloseHandle(h); }
};

struct FileHandleTraits {  // files, snapshots: invalid as INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static BOOL Close(Type h) { return Api().CloseHandle(h); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static BOOL Close(Type h) { return Api().FindClose(h); }
};

struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type h) { return Api().CloseServiceHandle(h); }
};

struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type h) { return Api().FreeLibrary(h); }
};

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type h) { return Api().RegCloseKey(h) == ERROR_SUCCESS; }
};

struct RpcStringTraits {
    using Type = RPC_WSTR;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type s) { return Api().RpcStringFreeW(&s) == RPC_S_OK; }
};

struct LocalMemoryTraits {  // blocks the system hands out with LocalAlloc
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static BOOL Close(Type h) { return Api().LocalFree(h) == nullptr; }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFile = UniqueAny<FileHandleTraits>;
using UniqueSnapshot = UniqueAny<FileHandleTraits>;
using UniqueFind = UniqueAny<FindHandleTraits>;
using UniqueService = UniqueAny<ServiceHandleTraits>;
using UniqueLibrary = UniqueAny<LibraryTraits>;
using UniqueHkey = UniqueAny<RegistryKeyTraits>;
using UniqueRpcString = UniqueAny<RpcStringTraits>;
using UniqueLocal = UniqueAny<LocalMemoryTraits>;

}  // namespace platform
