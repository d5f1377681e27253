// The simplest program that does what the launcher does with a payload, as a
// yardstick for bench/full_run.py: it carries one resource (PAYLOAD, type
// EXE), writes its bytes to the file named on the command line with
// WriteFile in pieces of 8 MiB, closes the file, opens it again for reading
// and compares it with the resource, reading 64 KiB at a time. None of the
// launcher's own code is used. It prints how long each of the three took:
//   written in N ms, closed and reopened in N ms, compared in N ms
// Exit code 0 when the copy is the resource's bytes, 1 when it is not, 2 on
// any failure (the failing call is printed).
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kWriteChunk = 8u << 20;
constexpr DWORD kReadChunk = 64u << 10;

int Failed(const char* call) {
    std::printf("%s failed (%lu)\n", call, GetLastError());
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: bench_writer OUTPUT\n");
        return 2;
    }
    const HRSRC resource = FindResourceW(nullptr, L"PAYLOAD", L"EXE");
    const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
    const HGLOBAL loaded = size ? LoadResource(nullptr, resource) : nullptr;
    const auto* bytes = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    if (!bytes) return Failed("LocateResource");

    const DWORD start = GetTickCount();
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failed("CreateFile");
    for (DWORD done = 0; done < size;) {
        const DWORD chunk = size - done < kWriteChunk ? size - done : kWriteChunk;
        DWORD written = 0;
        if (!WriteFile(file, bytes + done, chunk, &written, nullptr) || written != chunk) return Failed("WriteFile");
        done += chunk;
    }
    const DWORD written = GetTickCount();
    if (!CloseHandle(file)) return Failed("CloseHandle");
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failed("CreateFile");
    const DWORD reopened = GetTickCount();

    static BYTE chunk[kReadChunk];
    DWORD compared = 0;
    bool same = true;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk, kReadChunk, &read, nullptr)) return Failed("ReadFile");
        if (read == 0) break;
        if (read > size - compared || std::memcmp(chunk, bytes + compared, read) != 0) {
            same = false;
            break;
        }
        compared += read;
    }
    same = same && compared == size;
    CloseHandle(file);
    const DWORD done = GetTickCount();
    std::printf("written in %lu ms, closed and reopened in %lu ms, compared in %lu ms\n", written - start,
                reopened - written, done - reopened);
    return same ? 0 : 1;
}
