#include "platform/cstring.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <string_view>

// One shared buffer. `refs` counts the CString objects that point to it.
struct CString::Buffer {
    explicit Buffer(std::wstring value) : text(std::move(value)) {}
    std::atomic<int> refs{1};
    std::wstring text;
};

namespace {

int LengthOf(const wchar_t* text) {
    return text ? static_cast<int>(std::char_traits<wchar_t>::length(text)) : 0;
}

int Clamp(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

}  // namespace

CString::CString(const wchar_t* text) : CString(text, LengthOf(text)) {}

CString::CString(const wchar_t* text, int length) {
    if (text && length > 0) buffer_ = new Buffer(std::wstring(text, static_cast<size_t>(length)));
}

CString::CString(const CString& other) noexcept : buffer_(other.buffer_) {
    if (buffer_) buffer_->refs.fetch_add(1, std::memory_order_relaxed);
}

CString::CString(CString&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = nullptr; }

CString& CString::operator=(const CString& other) noexcept {
    if (other.buffer_) other.buffer_->refs.fetch_add(1, std::memory_order_relaxed);
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
    return *this = std::move(copy);
}

CString::~CString() { Release(buffer_); }

void CString::Release(Buffer* buffer) noexcept {
    if (buffer && buffer->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete buffer;
}

CString::Buffer* CString::Writable() {
    if (!buffer_) {
        buffer_ = new Buffer(std::wstring());
    } else if (buffer_->refs.load(std::memory_order_acquire) > 1) {
        Buffer* own = new Buffer(buffer_->text);
        Release(buffer_);
        buffer_ = own;
    }
    return buffer_;
}

int CString::GetLength() const noexcept {
    return buffer_ ? static_cast<int>(buffer_->text.size()) : 0;
}

void CString::Empty() noexcept {
    Release(buffer_);
    buffer_ = nullptr;
}

const wchar_t* CString::GetString() const noexcept { return buffer_ ? buffer_->text.c_str() : L""; }

wchar_t CString::GetAt(int index) const noexcept { return buffer_->text[static_cast<size_t>(index)]; }

CString& CString::operator+=(const CString& text) {
    if (text.IsEmpty()) return *this;
    if (IsEmpty()) return *this = text;
    // Keep `text` alive and unchanged even when it is this very string.
    const CString keep(text);
    Writable()->text.append(keep.GetString(), static_cast<size_t>(keep.GetLength()));
    return *this;
}

CString& CString::operator+=(const wchar_t* text) { return *this += CString(text); }

CString& CString::operator+=(wchar_t ch) {
    Writable()->text.push_back(ch);
    return *this;
}

int CString::Find(wchar_t ch, int start) const noexcept {
    if (start < 0) start = 0;
    if (start >= GetLength()) return -1;
    const size_t at = buffer_->text.find(ch, static_cast<size_t>(start));
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
}

int CString::Find(const wchar_t* sub, int start) const noexcept {
    if (start < 0) start = 0;
    if (start > GetLength()) return -1;
    const size_t at = std::wstring_view(GetString(), static_cast<size_t>(GetLength()))
                          .find(sub ? sub : L"", static_cast<size_t>(start));
    return at == std::wstring_view::npos ? -1 : static_cast<int>(at);
}

int CString::FindOneOf(const wchar_t* set, int start) const noexcept {
    if (start < 0) start = 0;
    if (start >= GetLength() || !set) return -1;
    const size_t at = buffer_->text.find_first_of(set, static_cast<size_t>(start));
    return at == std::wstring::npos ? -1 : static_cast<int>(at);
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
    // Both texts may point into this string's buffer; copy them first.
    const std::wstring from(old, static_cast<size_t>(oldLength));
    const std::wstring to(replacement ? replacement : L"");
    std::wstring& text = Writable()->text;
    int count = 0;
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
        ++count;
    }
    return count;
}

bool operator==(const CString& a, const CString& b) noexcept {
    if (a.buffer_ == b.buffer_) return true;
    return a.GetLength() == b.GetLength() &&
           std::char_traits<wchar_t>::compare(a.GetString(), b.GetString(),
                                              static_cast<size_t>(a.GetLength())) == 0;
}

bool operator==(const CString& a, const wchar_t* b) noexcept {
    const int length = LengthOf(b);
    return a.GetLength() == length &&
           std::char_traits<wchar_t>::compare(a.GetString(), b ? b : L"", static_cast<size_t>(length)) == 0;
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
