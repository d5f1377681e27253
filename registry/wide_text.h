// Owned text and a list of names for the registry toolkit: key paths, key
// and value names. Plain C++ with no Windows header, so it also builds
// natively for the host tests (where wchar_t is 32 bits wide and holds one
// UTF-16 code unit per element).
//
// Memory comes from plain new[]; the process's operator new ends the process
// when memory runs out, so nothing here fails or throws.
#pragma once

#include <cstddef>

namespace Qx {

// Owned, NUL-terminated wide text. Move-only.
class WideText {
public:
    WideText() = default;
    explicit WideText(const wchar_t* text);             // null reads as empty
    WideText(const wchar_t* text, std::size_t length);  // `length` units, no NUL needed
    WideText(WideText&& other) noexcept;
    WideText& operator=(WideText&& other) noexcept;
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;
    ~WideText();

    // Never null; valid until the text is next changed or destroyed.
    const wchar_t* Get() const { return text_ != nullptr ? text_ : L""; }
    // Code units, without the terminating NUL.
    std::size_t Length() const { return length_; }

    // Appends `length` code units of `text`.
    void Append(const wchar_t* text, std::size_t length);

private:
    wchar_t* text_ = nullptr;  // null: the empty text
    std::size_t length_ = 0;
};

// Names in the order they were added. Not copyable.
class NameList {
public:
    NameList() = default;
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;
    ~NameList();

    std::size_t Count() const { return count_; }
    // Entry `index`, which must be below Count().
    const WideText& operator[](std::size_t index) const { return items_[index]; }

    void Clear() { Resize(0); }
    // Adds `length` code units of `name` as the last entry.
    void Add(const wchar_t* name, std::size_t length);
    // Makes the list `count` entries long: the first entries stay as they
    // are, entries added at the end are empty.
    void Resize(std::size_t count);
    // Replaces entry `index`, which must be below Count().
    void Set(std::size_t index, const wchar_t* name, std::size_t length);

private:
    void Reserve(std::size_t capacity);

    WideText* items_ = nullptr;  // entries at Count() and beyond are empty
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace Qx
