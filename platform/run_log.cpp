#include "platform/run_log.h"

#include <windows.h>

#include "platform/diagnostics.h"
#include "platform/elevation.h"
#include "platform/handles.h"
#include "platform/native_files.h"
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
// piece (a line longer than the buffer in several). Characters below 0x20
// are written escaped (CR as "\x0D").
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
            if (point < 0x20) {
                PutEscaped(static_cast<unsigned char>(point));
            } else if (point < 0x80) {
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
        for (int i = 0; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte < 0x20) {
                PutEscaped(byte);
            } else {
                Put(text[i]);
            }
        }
    }

    // Ends the line and writes what is left of it.
    void Finish() {
        Put('\r');
        Put('\n');
        Write(bytes_, used_);
        used_ = 0;
    }

private:
    // A control character as "\x" and two hex digits: the only line ends
    // in the file are those Finish writes, so no text given to the log
    // (a command line, a path) can make a line of its own.
    void PutEscaped(unsigned char byte) {
        const char digits[] = "0123456789ABCDEF";
        Put('\\');
        Put('x');
        Put(digits[byte >> 4]);
        Put(digits[byte & 0xF]);
    }

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

// A name built in a fixed buffer: every piece is measured against the room
// left before it is written, and a piece that does not fit spoils the whole
// name instead of running past the buffer.
class BoundedName {
public:
    // `capacity` code units at `buffer`, of which the first `used` hold the
    // start of the name already.
    BoundedName(wchar_t* buffer, size_t capacity, size_t used) : begin_(buffer), capacity_(capacity), used_(used) {}

    // Appends `count` code units of `text`.
    void Add(const wchar_t* text, size_t count) {
        if (!fits_ || count > capacity_ - used_) {
            fits_ = false;
            return;
        }
        for (size_t i = 0; i < count; ++i) begin_[used_ + i] = text[i];
        used_ += count;
    }

    void Add(const wchar_t* text) {
        size_t count = 0;
        while (text[count] != L'\0') ++count;
        Add(text, count);
    }

    // Appends `digits` decimal digits of `value`, zero-padded.
    void AddDigits(unsigned value, int digits) {
        wchar_t text[10];
        for (int i = digits - 1; i >= 0; --i, value /= 10) text[i] = static_cast<wchar_t>(L'0' + value % 10);
        Add(text, static_cast<size_t>(digits));
    }

    // Ends the name with its NUL; false when any piece did not fit.
    bool Finish() {
        Add(L"", 1);
        return fits_;
    }

    size_t Length() const { return used_; }
    void Shorten(size_t length) {
        if (length < used_) used_ = length;
    }

private:
    wchar_t* begin_;
    size_t capacity_;
    size_t used_;
    bool fits_ = true;
};

}  // namespace

const wchar_t* DecimalText(long value, wchar_t* out) {
    char narrow[16];
    const int length = FormatDecimal(value, narrow);
    for (int i = 0; i <= length; ++i) out[i] = static_cast<wchar_t>(narrow[i]);
    return out;
}

namespace {

// Lines given before the log is open, when KeepLinesUntilLogOpens asked for
// them; at most what the buffer holds, whole lines only (the start-up steps
// before the log print one line at most, e.g. "LoadLibrary failed (126)",
// of at most 254 characters).
struct Pending {
    bool keeping;
    char bytes[256];
    DWORD used;
};
Pending earlyLines;

// Makes the log in `folder` (`folderLength` code units, ending in "\", then
// a NUL), named after `base` (`baseLength` code units) and `now`. True when
// made.
// The log is made relative to the folder, opened once: a temporary folder
// is one where others may make entries, and the name can be guessed, so a
// link put at it beforehand must not take the file elsewhere. Whatever
// stands at a name, a link included, is taken as a name in use.
bool OpenIn(const wchar_t* folder, DWORD folderLength, const wchar_t* base, DWORD baseLength,
            const SYSTEMTIME& now) {
    // The whole path, the attempt's suffix and ".log" included, must fit in
    // MAX_PATH; a longer one means no log, as any other failure to make it.
    wchar_t path[MAX_PATH];
    BoundedName name(path, MAX_PATH, 0);
    name.Add(folder, folderLength);
    name.Add(base, baseLength);
    name.Add(L"_");
    name.AddDigits(now.wYear, 4);
    name.AddDigits(now.wMonth, 2);
    name.AddDigits(now.wDay, 2);
    name.Add(L"_");
    name.AddDigits(now.wHour, 2);
    name.AddDigits(now.wMinute, 2);
    name.AddDigits(now.wSecond, 2);
    const size_t stem = name.Length();
    name.Add(L".log");
    if (!name.Finish()) return false;

    UniqueFile held;
    NativeFiles native;
    if (OpenFolderAt(folder, held) != 0 || native.Find() != 0) return false;
    // Never another run's log: a new name until one is free.
    for (int attempt = 1; attempt <= 100; ++attempt) {
        if (attempt > 1) {
            wchar_t number[16];
            name.Shorten(stem);
            name.Add(L"_");
            name.Add(DecimalText(attempt, number));
            name.Add(L".log");
            if (!name.Finish()) return false;
        }
        const NTSTATUS status =
            native.Open(held.get(), path + folderLength, static_cast<int>(name.Length() - 1 - folderLength),
                        GENERIC_WRITE, FILE_SHARE_READ, FILE_CREATE, LogFile());
        if (status >= 0) return true;
        if (status != kObjectNameCollision) return false;
    }
    return false;
}

}  // namespace

void KeepLinesUntilLogOpens() { earlyLines.keeping = true; }

void OpenRunLog() {
    if (LogFile()) return;
    auto& api = Api();
    // The executable's base name: after the last backslash, before the last
    // dot. Only the length the call reported is read.
    wchar_t module[MAX_PATH];
    const DWORD moduleLength = api.GetModuleFileNameW(nullptr, module, MAX_PATH);
    DWORD base = 0;
    DWORD baseEnd = moduleLength;
    for (DWORD i = 0; i < moduleLength && moduleLength < MAX_PATH; ++i) {
        if (module[i] == L'\\') {
            base = i + 1;
            baseEnd = moduleLength;
        } else if (module[i] == L'.') {
            baseEnd = i;
        }
    }
    if (moduleLength != 0 && moduleLength < MAX_PATH) {
        SYSTEMTIME now{};
        api.GetLocalTime(&now);
        wchar_t folder[MAX_PATH];
        if (RunsElevated()) {
            // An elevated run writes nothing below the user's TEMP: its log
            // goes next to its working folder, in the Windows folder's
            // SystemTemp where it can be made there, else in its Temp.
            for (const wchar_t* name : kElevatedTempFolders) {
                const DWORD length = WindowsSubfolder(name, folder, MAX_PATH);
                if (length != 0 && OpenIn(folder, length, module + base, baseEnd - base, now)) break;
            }
        } else {
            const DWORD length = api.GetTempPathW(MAX_PATH, folder);
            if (length != 0 && length < MAX_PATH) OpenIn(folder, length, module + base, baseEnd - base, now);
        }
    }
    Pending& pending = earlyLines;
    if (LogFile() && pending.used > 0) Write(pending.bytes, pending.used);
    pending.keeping = false;
    pending.used = 0;
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
    if (!LogFile()) {
        // Kept for the log, whole or not at all, when asked to.
        Pending& pending = earlyLines;
        if (pending.keeping && length >= 0 && static_cast<DWORD>(length) + 2 <= sizeof(pending.bytes) - pending.used) {
            for (int i = 0; i < length; ++i) pending.bytes[pending.used++] = text[i];
            pending.bytes[pending.used++] = '\r';
            pending.bytes[pending.used++] = '\n';
        }
        return;
    }
    Line line;
    line.Add(text, length);
    line.Finish();
}

}  // namespace platform
