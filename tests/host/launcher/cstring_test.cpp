// CString: sharing without leaking changes, and the search and replace rules
// that the option parse and the package-path substitution rely on.
#include <gtest/gtest.h>

#include <string>

#include "platform/cstring.h"

namespace {

std::wstring Text(const CString& s) { return std::wstring(s.GetString(), s.GetLength()); }

TEST(CString, EmptyFormsAreAlikeAndNeverNull) {
    const CString none;
    const CString fromNull(static_cast<const wchar_t*>(nullptr));
    const CString fromEmpty(L"");
    for (const CString* s : {&none, &fromNull, &fromEmpty}) {
        EXPECT_TRUE(s->IsEmpty());
        ASSERT_NE(s->GetString(), nullptr);
        EXPECT_EQ(s->GetString()[0], L'\0');
        EXPECT_EQ(*s, none);
    }
}

TEST(CString, CopiesShareUntilOneChanges) {
    CString a(L"abc");
    CString b = a;
    EXPECT_EQ(a.GetString(), b.GetString());  // one shared buffer
    b += L'd';
    EXPECT_EQ(Text(a), L"abc");
    EXPECT_EQ(Text(b), L"abcd");
    CString c = a;
    c.Replace(L"b", L"X");
    EXPECT_EQ(Text(a), L"abc");
    EXPECT_EQ(Text(c), L"aXc");
    c.Empty();
    EXPECT_EQ(Text(a), L"abc");
}

TEST(CString, SelfAppendAndSelfAssignFromOwnBuffer) {
    CString s(L"ab");
    s += s;
    EXPECT_EQ(Text(s), L"abab");
    s = s.GetString() + 1;  // points into its own buffer
    EXPECT_EQ(Text(s), L"bab");
    CString shared = s;
    const CString& alias = s;
    s = alias;
    EXPECT_EQ(Text(s), L"bab");
    EXPECT_EQ(Text(shared), L"bab");
}

TEST(CString, KeepsEmbeddedNulAndHighCodeUnits) {
    const wchar_t raw[] = {L'a', L'\0', 0xD83D, 0xDE00, L'b'};
    const CString s(raw, 5);
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(s.GetAt(2), static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(s.Find(L'b'), 4);
    EXPECT_EQ(s.Mid(2).GetLength(), 3);
}

TEST(CString, FindAndSubstringsClampToTheText) {
    const CString s(L"a-b/c");
    struct Case { int got; int want; } cases[] = {
        {s.Find(L'-'), 1},        {s.Find(L'-', 2), -1},     {s.Find(L'x'), -1},
        {s.Find(L"b/"), 2},       {s.Find(L"", 5), 5},       {s.Find(L"", 6), -1},
        {s.FindOneOf(L"/-"), 1},  {s.FindOneOf(L"/-", 2), 3}, {s.FindOneOf(L"xy"), -1},
        {s.Find(L'a', 99), -1},   {s.Find(L'a', -3), 0},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    }
    EXPECT_EQ(Text(s.Mid(2)), L"b/c");
    EXPECT_EQ(Text(s.Mid(1, 2)), L"-b");
    EXPECT_EQ(Text(s.Mid(4, 10)), L"c");
    EXPECT_EQ(Text(s.Mid(9)), L"");
    EXPECT_EQ(Text(s.Left(-1)), L"");
    EXPECT_EQ(Text(s.Left(3)), L"a-b");
}

TEST(CString, ReplaceRules) {
    struct Case { const wchar_t* text; const wchar_t* old; const wchar_t* with; const wchar_t* want; int count; };
    const Case cases[] = {
        {L"/i $MSIPATH /quiet", L"$MSIPATH", L"\"C:\\p.msi\"", L"/i \"C:\\p.msi\" /quiet", 1},
        {L"$MSIPATH $MSIPATH", L"$MSIPATH", L"x", L"x x", 2},
        {L"no placeholder", L"$MSIPATH", L"x", L"no placeholder", 0},
        {L"$msipath", L"$MSIPATH", L"x", L"$msipath", 0},          // case-sensitive
        {L"aaa", L"aa", L"b", L"ba", 1},                           // no overlap
        {L"$A", L"$A", L"$A$A", L"$A$A", 1},                       // inserted text not searched
        {L"abc", L"", L"x", L"abc", 0},
        {L"abcabc", L"b", L"", L"acac", 2},
    };
    for (const Case& c : cases) {
        CString s(c.text);
        EXPECT_EQ(s.Replace(c.old, c.with), c.count) << c.text;
        EXPECT_EQ(Text(s), c.want) << c.text;
    }
}

TEST(CString, ConcatenationAndComparison) {
    const CString path = CString(L"C:\\T\\") + L"x.exe";
    EXPECT_EQ(path, L"C:\\T\\x.exe");
    EXPECT_EQ(L"\"" + path + L'"', L"\"C:\\T\\x.exe\"");
    EXPECT_NE(path, CString(L"C:\\T\\x.ex"));
    EXPECT_NE(path, L"C:\\T\\x.exe ");
}

}  // namespace
