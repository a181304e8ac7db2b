#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "update/json_unescape.h"
#include "update/update_query.h"

namespace {

struct TextCase {
    std::u16string input;
    std::u16string expected;
};

const std::u16string r = u"\uFFFD";

// Each maximal invalid subpart becomes one U+FFFD, as browsers decode.
TEST(DecodeUtf8, DecodesEveryLengthAndReplacesInvalidSubparts) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"", u""},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"\xC3\xA9\xED\x83\xAD\xF0\x9F\x98\x80", u"\u00E9\uD0ED\U0001F600"},
        {"\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
         u"\u0080\u0800\U00010000\U0010FFFF"},
        {"\x80", r},
        {"\xC3x", r + u"x"},
        {"\xE2\x82", r},
        {"\xF0\x9F\x98", r},
        {"\xC0\xAF", r + r},
        {"\xE0\x80\xAF", r + r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xF5\xFF", r + r},
        {"a\xE2\x82\xACz\xE2\x82", u"a\u20ACz" + r},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(DecodeUtf8(bytes), expected) << bytes;
}

TEST(UnescapeJson, DecodesEscapesAndAbsorbsMalformedOnes) {
    const TextCase cases[] = {
        {u"", u""},
        {u"https:\\/\\/x\\/dl a", u"https://x/dl a"},
        {u"\\b\\f\\n\\r\\t", u"\b\f\n\r\t"},
        {u"\\\"\\'\\/\\\\", u"\"'/\\"},
        {u"a\\Nb", u"ab"},
        {u"\\x41", u"41"},
        {u"\\\\u0041", u"\\u0041"},  // the second backslash is an escape letter
        {u"abc\\", u"abc"},
        {u"\\u0041\\u00e9\\u00E9", u"A\u00E9\u00E9"},
        {u"a\\u0000b", u"ab"},
        {u"a\\u00G1b", u"ab"},  // the four characters go even when invalid
        {u"\\u41", u"A"},
        {u"\\u", u""},
        {u"\\u+041x", u"x"},
        {u"\\uD83D\\uDE00", u"\U0001F600"},
        {u"\\uD83Dx", u"\xD83Dx"},
        {u"\\u\uFF10\uFF10\uFF14\uFF11", u""},  // full-width digits are no digits
    };
    for (const TextCase& c : cases) EXPECT_EQ(UnescapeJson(c.input), c.expected) << (&c - cases);
}

// An escaped quote belongs to the value, as in any JSON reader; a reply
// without the exact pattern (an HTML page, a captive portal) carries nothing.
TEST(ExtractUpdateField, CutsTheFirstUpdateMembersValue) {
    const TextCase cases[] = {
        {u"{\"update\":\"\"}", u""},
        {u"{\"v\":1,\"update\":\"a\\/b\",\"n\":2}", u"a\\/b"},
        {u"{\"update\":\"first\",\"update\":\"second\"}", u"first"},
        {u"{\"update\":\"cut off", u""},
        {u"{\"update\": \"https://x\"}", u""},
        {u"{\"Update\":\"https://x\"}", u""},
        {u"<html>\"no pattern\"</html>", u""},
        {u"{\"update\":\"q=\\\"a\\\"\"}", u"q=\\\"a\\\""},
        {u"{\"update\":\"dangling \\\"}", u""},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ExtractUpdateField(c.input), c.expected) << (&c - cases);
    const std::string body = "{\"update\":\"https:\\/\\/x\\/t\xC3\xA9l\\u0063\\/\xED\x83\xAD\"}";
    EXPECT_EQ(UnescapeJson(ExtractUpdateField(DecodeUtf8(body))), u"https://x/t\u00E9lc/\uD0ED");
}

// The shell would run a program path, a UNC path or a custom scheme as readily
// as it opens a web page; and a reply that came over plain HTTP is nobody's.
TEST(Addresses, OnlyWebAddressesAreOfferedAndOnlyHttpsIsTrusted) {
    for (const char16_t* address :
         {u"https://x/dl", u"http://x", u"HTTPS://X", u"hTtP://x/a?b#c", u"https://x/\u00E9"}) {
        EXPECT_TRUE(IsWebAddress(address));
    }
    for (const char16_t* address :
         {u"", u"abc", u"C:\\cmd.exe", u"\\\\server\\s.exe", u"file:///C:/x", u"https://x/\nl",
          u"https://x/a b", u" https://x", u"ftp://x/", u"https:/x", u"mailto:a@b"}) {
        EXPECT_FALSE(IsWebAddress(address));
    }
    EXPECT_FALSE(IsWebAddress(std::u16string(u"https://x\0y", 11)));
    EXPECT_TRUE(IsSecureAddress(u"https://moved.example/api") && IsSecureAddress(u"HTTPS://x"));
    EXPECT_FALSE(IsSecureAddress(u"http://x/api") || IsSecureAddress(u"") ||
                 IsSecureAddress(u"//x/api"));
    for (unsigned status : {301u, 302u, 303u, 307u, 308u}) EXPECT_TRUE(IsRedirectStatus(status));
    for (unsigned status : {200u, 300u, 304u, 305u, 500u}) EXPECT_FALSE(IsRedirectStatus(status));
}

}  // namespace
