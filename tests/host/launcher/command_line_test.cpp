// The program-name rule and the option parse, as tables of command lines.
#include <gtest/gtest.h>

#include <string>

#include "launcher/command_line_options.h"
#include "platform/command_line.h"

namespace {

std::wstring Text(const CString& s) { return std::wstring(s.GetString(), s.GetLength()); }

const wchar_t* const kQuiet = L"/i $MSIPATH /quiet";

TEST(CommandLineArguments, DropsTheProgramNameAndTheBlanksAfterIt) {
    struct Case { const wchar_t* line; const wchar_t* want; } cases[] = {
        {L"", L""},
        {L"launcher.exe", L""},
        {L"launcher.exe   ", L""},
        {L"launcher.exe -quiet", L"-quiet"},
        {L"launcher.exe \t\r\n -quiet  x ", L"-quiet  x "},
        {L"\"C:\\Program Files\\l.exe\" -quiet", L"-quiet"},
        {L"\"C:\\Program Files\\l.exe\"-quiet", L""},         // a closing quote does not end the name
        {L"C:\\a\" b\"c.exe d", L"d"},                        // quotes switch anywhere in the name
        {L"\"unterminated name -quiet", L""},
        {L"l.exe\x01x", L"x"},                                // control characters separate too
        {L"l.exe\xA0x", L""},                                 // a no-break space does not
    };
    for (const Case& c : cases) EXPECT_EQ(Text(CommandLineArguments(c.line)), c.want) << c.line;
    EXPECT_TRUE(CommandLineArguments(nullptr).IsEmpty());
}

TEST(FindFirstNonBlank, SkipsSpacesAndTabsOnly) {
    EXPECT_EQ(FindFirstNonBlank(L""), -1);
    EXPECT_EQ(FindFirstNonBlank(L" \t \t"), -1);
    EXPECT_EQ(FindFirstNonBlank(L" \t'x"), 2);
    EXPECT_EQ(FindFirstNonBlank(L"\n"), 0);
}

struct ParseCase {
    const wchar_t* line;
    const wchar_t* want;
};

const ParseCase kParseCases[] = {
    {L"", L""},
    {L"no options here", L""},
    // quiet: either introducer, any case, doubled introducer, inside a word
    {L"-quiet", kQuiet},
    {L"/QuIeT", kQuiet},
    {L"--quiet", kQuiet},
    {L"//quiet", kQuiet},
    {L"abc-quiet", kQuiet},
    {L"\"-quiet\"", kQuiet},
    {L"-quiet\"", kQuiet},
    // a longer name is not quiet
    {L"-quietly", L""},
    {L"-quiet:1", L""},
    {L"-qu", L""},
    {L"-QUİET", L""},                 // only A-Z are lowered
    // a tab belongs to the name; the next option is still seen
    {L"-quiet\t-msiargs \"/x\"", L"/x"},
    {L"-quiet\t", L""},
    // msiargs with a quoted value, with or without blanks before it
    {L"-msiargs \"/i $MSIPATH /qn\"", L"/i $MSIPATH /qn"},
    {L"-msiargs\"/qb\"", L"/qb"},
    {L"/MSIARGS \t \"a b\"", L"a b"},
    {L"-msiargs 'TARGETDIR=\"C:\\a b\" /qn'", L"TARGETDIR=\"C:\\a b\" /qn"},
    {L"-msiargs #x#y#", L"x"},          // ends at the first repeat; "y#" is scanned on
    {L"-msiargs \"\"", L""},
    {L"-quiet -msiargs \"\"", L""},      // the empty value restores the default
    // missing or unterminated values change nothing
    {L"-msiargs", L""},
    {L"-msiargs  \t ", L""},
    {L"-msiargs \"", L""},
    {L"-msiargs \"abc", L""},
    {L"-quiet -msiargs", kQuiet},
    // an unaccepted value is scanned for options; an accepted one is not
    {L"-msiargs \"abc -quiet", kQuiet},
    {L"-msiargs \"-quiet\"", L"-quiet"},
    {L"-msiargs /qn", L""},               // "/" is the delimiter, never closed; "qn" is a name
    {L"-msiargs /qn/ -x", L"qn"},
    {L"-msiargs /qn -quiet", kQuiet},
    // the last option that sets the text wins
    {L"-quiet -msiargs \"/x\"", L"/x"},
    {L"-msiargs \"/x\" -quiet", kQuiet},
    {L"-msiargs \"/x\" -msiargs '/y'", L"/y"},
    // a silent switch other than /quiet is just text
    {L"-msiargs \"/i $MSIPATH /qn\" -other", L"/i $MSIPATH /qn"},
};

TEST(ParseLauncherOptions, TableOfCommandLines) {
    for (const ParseCase& c : kParseCases) {
        CString msiArguments;
        ParseLauncherOptions(c.line, msiArguments);
        EXPECT_EQ(Text(msiArguments), c.want) << "command line: " << testing::PrintToString(std::wstring(c.line));
    }
}

TEST(ParseLauncherOptions, LeavesTheValueAloneWithoutASettingOption) {
    CString msiArguments(L"earlier");
    ParseLauncherOptions(L"-unknown -msiargs \"open", msiArguments);
    EXPECT_EQ(Text(msiArguments), L"earlier");
}

TEST(ParseLauncherOptions, DoesNotChangeTheCommandLine) {
    const CString line(L"-quiet");
    const wchar_t* const before = line.GetString();
    CString msiArguments;
    ParseLauncherOptions(line, msiArguments);
    EXPECT_EQ(line.GetString(), before);
    EXPECT_EQ(Text(line), L"-quiet");
}

}  // namespace
