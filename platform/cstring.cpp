#include "platform/cstring.h"

#include <cstddef>
#include <cstring>

// One shared buffer: a header followed by `capacity` + 1 code units, the
// text and its terminating NUL. `refs` counts the CString objects that point
// to it; the program has one thread, so a plain count does.
struct CString::Buffer {
    int refs;
    int length;
    int capacity;
    wchar_t* Text() { return reinterpret_cast<wchar_t*>(this + 1); }
};

namespace {

int LengthOf(const wchar_t* text) {
    if (!text) return 0;
    int length = 0;
    while (text[length] != L'\0') ++length;
    return length;
}

int Clamp(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

// Position of `sub` (`subLength` code units) in text[start, length), or -1.
int Search(const wchar_t* text, int length, const wchar_t* sub, int subLength, int start) {
    for (int at = start; at + subLength <= length; ++at) {
        if (std::memcmp(text + at, sub, static_cast<size_t>(subLength) * sizeof(wchar_t)) == 0) return at;
    }
    return -1;
}

}  // namespace

CString::Buffer* CString::NewBuffer(const wchar_t* text, int length, int capacity) {
    // A capacity beyond the limit (or negative) asks for more than any
    // allocator can give, which ends the program as running out of memory
    // does.
    const size_t units = capacity >= 0 && static_cast<size_t>(capacity) <= kMaxLength
                             ? static_cast<size_t>(capacity) + 1
                             : static_cast<size_t>(-1) / (2 * sizeof(wchar_t));
    auto* buffer = static_cast<Buffer*>(::operator new(sizeof(Buffer) + units * sizeof(wchar_t)));
    buffer->refs = 1;
    buffer->length = length;
    buffer->capacity = capacity;
    if (length > 0) std::memcpy(buffer->Text(), text, static_cast<size_t>(length) * sizeof(wchar_t));
    buffer->Text()[length] = L'\0';
    return buffer;
}

CString::CString(const wchar_t* text) : CString(text, LengthOf(text)) {}

CString::CString(const wchar_t* text, int length) {
    if (text && length > 0) buffer_ = NewBuffer(text, length, length);
}

CString::CString(const CString& other) noexcept : buffer_(other.buffer_) {
    if (buffer_) ++buffer_->refs;
}

CString::CString(CString&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = nullptr; }

CString& CString::operator=(const CString& other) noexcept {
    if (other.buffer_) ++other.buffer_->refs;
    Release(buffer_);
    buffer_ = other.buffer_;
    return *this;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        Release(buffer_);
        buffer_ = other.buffer_;
        other.buffer_ = nullptr;
    }
    return *this;
}

CString& CString::operator=(const wchar_t* text) {
    // `text` may point into this string's own buffer: copy before releasing.
    CString copy(text);
    return *this = static_cast<CString&&>(copy);
}

CString::~CString() { Release(buffer_); }

void CString::Release(Buffer* buffer) noexcept {
    if (buffer && --buffer->refs == 0) ::operator delete(buffer);
}

void CString::Append(const wchar_t* text, int count) {
    if (count <= 0) return;
    const int length = GetLength();
    // Sizes are worked out in size_t and compared with the limit before
    // anything is added, so no int ever overflows.
    if (static_cast<size_t>(count) > kMaxLength - static_cast<size_t>(length)) {
        NewBuffer(nullptr, 0, -1);  // beyond the limit: ends as running out of memory
    }
    const size_t needed = static_cast<size_t>(length) + static_cast<size_t>(count);
    if (!buffer_ || buffer_->refs > 1 || needed > static_cast<size_t>(buffer_->capacity)) {
        // Grow by half again, so that appending code unit by code unit
        // stays linear; never past the limit.
        const size_t grown = needed + needed / 2;
        const size_t capacity = grown < kMaxLength ? grown : kMaxLength;
        Buffer* own = NewBuffer(GetString(), length, static_cast<int>(capacity));
        Release(buffer_);
        buffer_ = own;
    }
    std::memmove(buffer_->Text() + length, text, static_cast<size_t>(count) * sizeof(wchar_t));
    buffer_->length = static_cast<int>(needed);
    buffer_->Text()[needed] = L'\0';
}

wchar_t* CString::GetBufferSetLength(int length) {
    if (length < 0) length = 0;
    const int kept = GetLength() < length ? GetLength() : length;
    if (!buffer_ || buffer_->refs > 1 || length > buffer_->capacity) {
        Buffer* own = NewBuffer(GetString(), kept, length);
        Release(buffer_);
        buffer_ = own;
    }
    wchar_t* text = buffer_->Text();
    for (int i = kept; i <= length; ++i) text[i] = L'\0';
    buffer_->length = length;
    return text;
}

void CString::Truncate(int length) {
    if (length < 0) length = 0;
    if (length >= GetLength()) return;
    GetBufferSetLength(length);
}

int CString::GetLength() const noexcept { return buffer_ ? buffer_->length : 0; }

void CString::Empty() noexcept {
    Release(buffer_);
    buffer_ = nullptr;
}

const wchar_t* CString::GetString() const noexcept { return buffer_ ? buffer_->Text() : L""; }

wchar_t CString::GetAt(int index) const noexcept { return buffer_->Text()[index]; }

CString& CString::operator+=(const CString& text) {
    if (text.IsEmpty()) return *this;
    if (IsEmpty()) return *this = text;
    // Keep `text` alive and unchanged even when it is this very string.
    const CString keep(text);
    Append(keep.GetString(), keep.GetLength());
    return *this;
}

CString& CString::operator+=(const wchar_t* text) { return *this += CString(text); }

CString& CString::operator+=(wchar_t ch) {
    Append(&ch, 1);
    return *this;
}

int CString::Find(wchar_t ch, int start) const noexcept {
    if (start < 0) start = 0;
    for (int at = start; at < GetLength(); ++at) {
        if (GetString()[at] == ch) return at;
    }
    return -1;
}

int CString::Find(const wchar_t* sub, int start) const noexcept {
    if (start < 0) start = 0;
    if (start > GetLength()) return -1;
    return Search(GetString(), GetLength(), sub ? sub : L"", LengthOf(sub), start);
}

int CString::FindOneOf(const wchar_t* set, int start) const noexcept {
    if (start < 0) start = 0;
    if (!set) return -1;
    for (int at = start; at < GetLength(); ++at) {
        for (const wchar_t* s = set; *s != L'\0'; ++s) {
            if (GetString()[at] == *s) return at;
        }
    }
    return -1;
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const {
    const int length = GetLength();
    first = Clamp(first, 0, length);
    count = Clamp(count, 0, length - first);
    if (first == 0 && count == length) return *this;  // share, no copy
    return CString(GetString() + first, count);
}

CString CString::Left(int count) const { return Mid(0, count); }

int CString::Replace(const wchar_t* old, const wchar_t* replacement) {
    const int oldLength = LengthOf(old);
    if (oldLength == 0 || Find(old) < 0) return 0;
    // Both texts may point into this string's buffer: the result is built
    // in a new string and only then takes this one's place.
    const CString from(old, oldLength);
    const CString to(replacement);
    const wchar_t* text = GetString();
    const int length = GetLength();
    CString result;
    int count = 0;
    int done = 0;
    for (int at = Search(text, length, from, oldLength, 0); at >= 0;
         at = Search(text, length, from, oldLength, done)) {
        result.Append(text + done, at - done);
        result += to;
        done = at + oldLength;
        ++count;
    }
    result.Append(text + done, length - done);
    *this = static_cast<CString&&>(result);
    return count;
}

bool operator==(const CString& a, const CString& b) noexcept {
    if (a.buffer_ == b.buffer_) return true;
    return a.GetLength() == b.GetLength() &&
           std::memcmp(a.GetString(), b.GetString(), static_cast<size_t>(a.GetLength()) * sizeof(wchar_t)) == 0;
}

bool operator==(const CString& a, const wchar_t* b) noexcept {
    const int length = LengthOf(b);
    return a.GetLength() == length &&
           std::memcmp(a.GetString(), b ? b : L"", static_cast<size_t>(length) * sizeof(wchar_t)) == 0;
}

CString operator+(const CString& a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, const wchar_t* b) { return a + CString(b); }
CString operator+(const wchar_t* a, const CString& b) { return CString(a) + b; }

CString operator+(const CString& a, wchar_t b) {
    CString result(a);
    result += b;
    return result;
}
