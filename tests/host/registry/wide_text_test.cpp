// Owned text and name lists: contents survive appends, moves, growth and
// resizing (under the sanitizers, any stray read or leak shows too).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "registry/wide_text.h"

namespace {

std::wstring Of(const Qx::WideText& text) {
    EXPECT_EQ(text.Get()[text.Length()], L'\0');
    return std::wstring(text.Get(), text.Length());
}

std::vector<std::wstring> Of(const Qx::NameList& list) {
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < list.Count(); ++i) names.push_back(Of(list[i]));
    return names;
}

TEST(WideText, AppendMoveGrowAndResize) {
    Qx::WideText text(L"ab");
    text.Append(L"\\cd", 3);
    Qx::WideText moved(std::move(text));
    EXPECT_EQ(Of(moved), L"ab\\cd");
    EXPECT_EQ(Of(text), L"");
    EXPECT_EQ(Of(Qx::WideText(nullptr)), L"");

    Qx::NameList list;
    std::vector<std::wstring> expected;
    for (int i = 0; i < 40; ++i) {  // several growth steps; the first name is empty
        const std::wstring name(static_cast<std::size_t>(i), static_cast<wchar_t>(L'a' + i % 26));
        list.Add(name.data(), name.size());
        expected.push_back(name);
    }
    EXPECT_EQ(Of(list), expected);
    list.Resize(5);
    expected.resize(5);
    EXPECT_EQ(Of(list), expected);
    list.Resize(9);  // entries added at the end are empty
    expected.resize(9);
    list.Set(7, L"x\0y", 3);
    expected[7] = std::wstring(L"x\0y", 3);
    EXPECT_EQ(Of(list), expected);
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
