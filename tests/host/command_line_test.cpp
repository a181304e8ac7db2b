#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ArgumentCase {
    const char16_t* commandLine;
    int index;
    const char16_t* expected;
};

// Double quotes are written out as \" below; what the tests feed in is exactly
// what a creator of the process would have written.
const ArgumentCase kArgumentCases[] = {
    {u"\"C:\\Program Files\\Tapwright\\TapwrightService.exe\" /inst", 1, u"/inst"},
    {u"\"C:\\Program Files\\Tapwright\\TapwrightService.exe\" /inst", 0,
     u"C:\\Program Files\\Tapwright\\TapwrightService.exe"},
    {u"TapwrightService.exe  /inst more", 1, u"/inst"},
    {u"TapwrightService.exe\t/inst more", 1, u"/inst"},
    {u"TapwrightService.exe  /inst more", 2, u"more"},
    {u"svc \"/inst\"", 1, u"/inst"},
    {u"svc \"/inst \"", 1, u"/inst "},
    {u"svc /in\"st\"", 1, u"/in\"st\""},
    {u"svc \"/inst and beyond", 1, u"\"/inst and beyond"},
    {u"svc a\"b c\"d next", 1, u"a\"b c\"d"},
    {u"svc a\"b c\"d next", 2, u"next"},
    {u"svc \"\"", 1, u""},
    {u"svc \"", 1, u"\""},
    {u"svc \"C:\\dir\\\" next", 1, u"C:\\dir\\"},
    {u"svc \"C:\\dir\\\" next", 2, u"next"},
    {u"svc", 1, u""},
    {u"svc one", 5, u""},
    {u"", 1, u""},
    // Every control code separates arguments; the no-break space does not.
    {u"svc\r\n/inst\x01x", 1, u"/inst"},
    {u"svc\r\n/inst\x01x", 2, u"x"},
    {u"svc /inst\u00A0x", 1, u"/inst\u00A0x"},
    // The backslash escapes nothing.
    {u"svc \\\"a b\\\"", 1, u"\\\"a b\\\""},
    {u"   leading   /inst   ", 1, u"/inst"},
};

TEST(ArgumentOf, ScansTokensByTheLaunchersOwnRules) {
    for (const ArgumentCase& c : kArgumentCases) {
        EXPECT_EQ(ArgumentOf(c.commandLine, c.index), std::u16string(c.expected))
            << "index " << c.index << " of case " << (&c - kArgumentCases);
    }
}

TEST(ArgumentOf, KeepsOnlyEnclosingQuotesOff) {
    // Seven code units: the token does not begin with a quote, so none is dropped.
    EXPECT_EQ(ArgumentOf(u"x /in\"st\"", 1).size(), 7u);
    // Six: the quotes enclose "/inst ".
    EXPECT_EQ(ArgumentOf(u"x \"/inst \"", 1).size(), 6u);
    // An unclosed quote runs to the end, blanks included.
    EXPECT_EQ(ArgumentOf(u"x \"a b\tc", 1), u"\"a b\tc");
}

TEST(SkipArgument, StopsBehindTheTokenAndAtTheEnd) {
    const char16_t* text = u"  ab\"c d\"e  f";
    const char16_t* end = SkipArgument(text);
    EXPECT_EQ(end - text, 10);
    EXPECT_EQ(SkipBlanks(end) - text, 12);
    const char16_t* empty = u"";
    EXPECT_EQ(SkipArgument(empty), empty);
    EXPECT_EQ(SkipBlanks(empty), empty);
}

struct DirectoryCase {
    const char16_t* path;
    const char16_t* expected;
};

const DirectoryCase kDirectoryCases[] = {
    {u"C:\\Program Files\\Tapwright\\TapwrightService.exe", u"C:\\Program Files\\Tapwright\\"},
    {u"C:/Program Files/Tapwright/TapwrightService.exe", u"C:/Program Files/Tapwright/"},
    {u"C:TapwrightService.exe", u"C:"},
    {u"TapwrightService.exe", u""},
    {u"C:\\Tapwright\\", u"C:\\Tapwright\\"},
    {u"\\\\server\\share\\dir\\svc.exe", u"\\\\server\\share\\dir\\"},
    {u"", u""},
    // The rightmost of the three delimiters wins, whichever it is.
    {u"C:\\a/b\\c", u"C:\\a/b\\"},
    {u"C:\\a\\b/c", u"C:\\a\\b/"},
    {u"\\\\?\\C:\\x", u"\\\\?\\C:\\"},
    // Nothing is normalised.
    {u"C:\\a\\..\\b\\.\\svc.exe", u"C:\\a\\..\\b\\.\\"},
};

TEST(ExtractDirectory, KeepsEverythingUpToTheLastDelimiter) {
    for (const DirectoryCase& c : kDirectoryCases) {
        EXPECT_EQ(ExtractDirectory(c.path), std::u16string(c.expected))
            << "case " << (&c - kDirectoryCases);
    }
}

}  // namespace
