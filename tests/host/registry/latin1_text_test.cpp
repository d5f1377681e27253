// Narrow text in the C locale: 0x01-0xFF map to the same byte, both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/latin1_text.h"

namespace {

// Widens into an exact-size buffer, so the sanitizers see any overrun.
std::wstring Widen(const char* text) {
    std::vector<wchar_t> wide(std::strlen(text) + 1, L'?');
    const std::size_t length = Qx::WidenLatin1(text, wide.data());
    EXPECT_EQ(length + 1, wide.size());
    EXPECT_EQ(wide.back(), L'\0');
    return std::wstring(wide.data(), length);
}

TEST(Latin1Text, NarrowTable) {
    struct Case {
        const char* name;
        std::wstring text;
        std::size_t length;  // code units available
        bool ok;
        std::string narrow;
    } cases[] = {
        {"ascii", L"abc", 3, true, "abc"},
        {"u-umlaut and sharp s", L"\u00FC\u00DF", 2, true, "\xFC\xDF"},
        {"0xFF", L"\u00FF", 1, true, "\xFF"},
        {"euro sign fails", L"a\u20ACb", 3, false, ""},
        {"0x100 fails", L"\u0100", 1, false, ""},
        {"stops at NUL", std::wstring(L"ab\0\u20AC", 4), 4, true, "ab"},
        {"no NUL ends at length", L"abcdef", 3, true, "abc"},
        {"empty", L"", 0, true, ""},
    };
    for (const auto& c : cases) {
        std::vector<char> narrow(c.length + 1, 's');  // exact size, stale contents
        EXPECT_EQ(Qx::NarrowLatin1(c.text.data(), c.length, narrow.data()), c.ok) << c.name;
        EXPECT_EQ(std::string(narrow.data()), c.narrow) << c.name;
    }
}

TEST(Latin1Text, WidenKeepsEveryByteValue) {
    EXPECT_EQ(Widen("\xFC\xDF" "a\x01"), std::wstring(L"\u00FC\u00DF" L"a\u0001"));
    EXPECT_EQ(Widen(""), std::wstring());
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    const std::wstring wide = Widen(all.c_str());
    std::vector<char> back(wide.size() + 1);
    ASSERT_TRUE(Qx::NarrowLatin1(wide.data(), wide.size(), back.data()));
    EXPECT_EQ(std::string(back.data()), all);
}

}  // namespace
