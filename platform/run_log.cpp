#include "platform/run_log.h"

#include <windows.h>

#include "platform/diagnostics.h"
#include "platform/handles.h"
#include "platform/windows_api.h"

namespace platform {

namespace {

UniqueFile& LogFile() {
    static UniqueFile file;
    return file;
}

void Write(const char* bytes, DWORD count) {
    DWORD written = 0;
    if (LogFile() && count > 0) Api().WriteFile(LogFile().get(), bytes, count, &written, nullptr);
}

// One line on its way to the file: collected as UTF-8 and written in one
// piece (a line longer than the buffer in several).
class Line {
public:
    // Adds `text`; a surrogate without its partner becomes U+FFFD.
    void Add(const wchar_t* text) {
        for (const wchar_t* p = text; *p != L'\0'; ++p) {
            unsigned long point = static_cast<unsigned short>(*p);
            if (point >= 0xD800 && point <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
                point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<unsigned short>(p[1]) - 0xDC00);
                ++p;
            } else if (point >= 0xD800 && point <= 0xDFFF) {
                point = 0xFFFD;
            }
            if (point < 0x80) {
                Put(static_cast<char>(point));
            } else if (point < 0x800) {
                Put(static_cast<char>(0xC0 | (point >> 6)));
                Put(static_cast<char>(0x80 | (point & 0x3F)));
            } else if (point < 0x10000) {
                Put(static_cast<char>(0xE0 | (point >> 12)));
                Put(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
                Put(static_cast<char>(0x80 | (point & 0x3F)));
            } else {
                Put(static_cast<char>(0xF0 | (point >> 18)));
                Put(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
                Put(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
                Put(static_cast<char>(0x80 | (point & 0x3F)));
            }
        }
    }

    void Add(const char* text, int length) {
        for (int i = 0; i < length; ++i) Put(text[i]);
    }

    // Ends the line and writes what is left of it.
    void Finish() {
        Put('\r');
        Put('\n');
        Write(bytes_, used_);
        used_ = 0;
    }

private:
    void Put(char byte) {
        if (used_ == sizeof(bytes_)) {
            Write(bytes_, used_);
            used_ = 0;
        }
        bytes_[used_++] = byte;
    }

    char bytes_[512];
    DWORD used_ = 0;
};

// Appends `digits` decimal digits of `value`, zero-padded, at `out`.
wchar_t* Digits(wchar_t* out, unsigned value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) out[i] = static_cast<wchar_t>(L'0' + value % 10);
    return out + digits;
}

// Copies `text` to `out` and returns the end.
wchar_t* Copy(wchar_t* out, const wchar_t* text) {
    while (*text != L'\0') *out++ = *text++;
    return out;
}

}  // namespace

const wchar_t* DecimalText(long value, wchar_t* out) {
    char narrow[16];
    const int length = FormatDecimal(value, narrow);
    for (int i = 0; i <= length; ++i) out[i] = static_cast<wchar_t>(narrow[i]);
    return out;
}

void OpenRunLog() {
    if (LogFile()) return;
    auto& api = Api();
    // The executable's base name: after the last backslash, before the last dot.
    wchar_t module[MAX_PATH];
    const DWORD moduleLength = api.GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (moduleLength == 0 || moduleLength >= MAX_PATH) return;
    const wchar_t* base = module;
    wchar_t* dot = nullptr;
    for (wchar_t* p = module; *p != L'\0'; ++p) {
        if (*p == L'\\') {
            base = p + 1;
            dot = nullptr;
        } else if (*p == L'.') {
            dot = p;
        }
    }
    if (dot) *dot = L'\0';

    wchar_t path[MAX_PATH + 64];
    const DWORD tempLength = api.GetTempPathW(MAX_PATH, path);
    if (tempLength == 0 || tempLength >= MAX_PATH) return;
    SYSTEMTIME now{};
    api.GetLocalTime(&now);
    wchar_t* end = Copy(path + tempLength, base);
    *end++ = L'_';
    end = Digits(end, now.wYear, 4);
    end = Digits(end, now.wMonth, 2);
    end = Digits(end, now.wDay, 2);
    *end++ = L'_';
    end = Digits(end, now.wHour, 2);
    end = Digits(end, now.wMinute, 2);
    end = Digits(end, now.wSecond, 2);
    // Never another run's log: a new name until one is free.
    for (int attempt = 1; attempt <= 100; ++attempt) {
        wchar_t* tail = end;
        if (attempt > 1) {
            *tail++ = L'_';
            DecimalText(attempt, tail);
            while (*tail != L'\0') ++tail;
        }
        Copy(tail, L".log")[0] = L'\0';
        if (end - path + 16 > MAX_PATH) return;
        LogFile().reset(api.CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (LogFile() || GetLastError() != ERROR_FILE_EXISTS) return;
    }
}

void LogLine(const wchar_t* first, const wchar_t* second, const wchar_t* third, const wchar_t* fourth) {
    if (!LogFile()) return;
    Line line;
    for (const wchar_t* piece : {first, second, third, fourth}) {
        if (piece) line.Add(piece);
    }
    line.Finish();
}

void CloseRunLog() { LogFile().reset(); }

void LogExitCode(int code) {
    wchar_t number[16];
    LogLine(L"exit code: ", DecimalText(code, number));
}

void LogText(const char* text, int length) {
    if (!LogFile()) return;
    Line line;
    line.Add(text, length);
    line.Finish();
}

}  // namespace platform
