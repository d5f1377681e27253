#include "registry/wide_text.h"

#include <cstring>
#include <cwchar>
#include <utility>

namespace Qx {

WideText::WideText(const wchar_t* text)
    : WideText(text, text != nullptr ? std::wcslen(text) : 0) {}

WideText::WideText(const wchar_t* text, std::size_t length) { Append(text, length); }

WideText::WideText(WideText&& other) noexcept
    : text_(std::exchange(other.text_, nullptr)), length_(std::exchange(other.length_, 0)) {}

WideText& WideText::operator=(WideText&& other) noexcept {
    if (this != &other) {
        delete[] text_;
        text_ = std::exchange(other.text_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

WideText::~WideText() { delete[] text_; }

void WideText::Append(const wchar_t* text, std::size_t length) {
    if (length == 0) return;
    auto* joined = new wchar_t[length_ + length + 1];
    if (length_ != 0) std::memcpy(joined, text_, length_ * sizeof(wchar_t));
    std::memcpy(joined + length_, text, length * sizeof(wchar_t));
    joined[length_ + length] = L'\0';
    delete[] text_;
    text_ = joined;
    length_ += length;
}

NameList::~NameList() { delete[] items_; }

void NameList::Reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* items = new WideText[capacity];
    for (std::size_t i = 0; i < count_; ++i) items[i] = std::move(items_[i]);
    delete[] items_;
    items_ = items;
    capacity_ = capacity;
}

void NameList::Add(const wchar_t* name, std::size_t length) {
    if (count_ == capacity_) Reserve(capacity_ < 8 ? 8 : capacity_ * 2);
    items_[count_++] = WideText(name, length);
}

void NameList::Resize(std::size_t count) {
    for (std::size_t i = count; i < count_; ++i) items_[i] = WideText();
    Reserve(count);
    count_ = count;
}

void NameList::Set(std::size_t index, const wchar_t* name, std::size_t length) {
    items_[index] = WideText(name, length);
}

}  // namespace Qx
