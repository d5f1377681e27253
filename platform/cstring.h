// CString: the framework's reference-counted text string.
//
// Holds UTF-16 code units (wchar_t on Windows) and is always NUL-terminated,
// so GetString() and the conversion to const wchar_t* can be handed straight
// to Windows. Copies share one buffer; the first change made through a copy
// that shares its buffer gives that copy a buffer of its own (copy on write),
// so a change never shows through another copy. Lengths and positions are
// counts of code units. The string never interprets its contents: surrogate
// pairs and embedded code units of any value pass through unchanged.
//
// This file is plain C++17 with no Windows header, so it also builds natively
// for the host tests (where wchar_t is 32 bits wide and simply holds one code
// unit per element).
#pragma once

#include <cstddef>

class CString {
public:
    CString() noexcept = default;
    CString(const wchar_t* text);              // null reads as empty
    CString(const wchar_t* text, int length);  // `length` code units, no NUL needed
    CString(const CString& other) noexcept;
    CString(CString&& other) noexcept;
    CString& operator=(const CString& other) noexcept;
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const wchar_t* text);
    ~CString();

    int GetLength() const noexcept;
    bool IsEmpty() const noexcept { return GetLength() == 0; }
    void Empty() noexcept;

    // Never null; valid until the string is next changed or destroyed.
    const wchar_t* GetString() const noexcept;
    operator const wchar_t*() const noexcept { return GetString(); }

    // The code unit at `index`, which must be in [0, GetLength()).
    wchar_t GetAt(int index) const noexcept;

    // Writable text for a Windows call that fills or changes it: the string
    // gets an unshared buffer of `length` code units (the old text as far as
    // it reaches, then zeros) and its NUL. Valid until the string is next
    // changed; Truncate then sets the length the call reported.
    wchar_t* GetBufferSetLength(int length);
    // The string's own text, unshared and writable, at its present length.
    wchar_t* GetBuffer() { return GetBufferSetLength(GetLength()); }
    // Shortens the string to `length` code units; a larger length changes
    // nothing.
    void Truncate(int length);

    CString& operator+=(const CString& text);
    CString& operator+=(const wchar_t* text);
    CString& operator+=(wchar_t ch);

    // Position of the first occurrence at or after `start`, or -1. An empty
    // `sub` is found at `start` when `start` is within the string.
    int Find(wchar_t ch, int start = 0) const noexcept;
    int Find(const wchar_t* sub, int start = 0) const noexcept;
    // Position of the first code unit that appears in `set`, or -1.
    int FindOneOf(const wchar_t* set, int start = 0) const noexcept;

    // Substrings; positions and counts are clamped to the string.
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Left(int count) const;

    // Replaces every occurrence of `old` by `replacement`, left to right and
    // without overlap; the search goes on after each inserted text, so the
    // replacement is never searched again. Returns the number of
    // replacements; an empty `old` replaces nothing.
    int Replace(const wchar_t* old, const wchar_t* replacement);

    friend bool operator==(const CString& a, const CString& b) noexcept;
    friend bool operator==(const CString& a, const wchar_t* b) noexcept;
    friend bool operator!=(const CString& a, const CString& b) noexcept { return !(a == b); }
    friend bool operator!=(const CString& a, const wchar_t* b) noexcept { return !(a == b); }

    // The longest text a string holds, in code units; growing past it ends
    // the program as running out of memory does.
    static constexpr std::size_t kMaxLength = 0x3FFFFFFE;

private:
    struct Buffer;
    // A new unshared buffer holding text[0, length) with room for `capacity`
    // code units.
    static Buffer* NewBuffer(const wchar_t* text, int length, int capacity);
    static void Release(Buffer* buffer) noexcept;
    // Appends `count` code units; `text` must not point into this string.
    void Append(const wchar_t* text, int count);

    Buffer* buffer_ = nullptr;  // null: the empty string
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const wchar_t* b);
CString operator+(const wchar_t* a, const CString& b);
CString operator+(const CString& a, wchar_t b);
