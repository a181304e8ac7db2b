#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "update/json_unescape.h"
#include "update/update_query.h"

namespace {

struct UnescapeCase {
    std::u16string text;
    std::u16string expected;
};

TEST(UnescapeJson, DecodesEscapesAndAbsorbsMalformedOnes) {
    const UnescapeCase cases[] = {
        {u"", u""},
        {u"https://x.example/a b", u"https://x.example/a b"},
        {u"https:\\/\\/x.example\\/dl", u"https://x.example/dl"},
        {u"a\\nb", u"a\nb"},
        {u"\\b\\f\\n\\r\\t", u"\b\f\n\r\t"},
        {u"\\\"\\'\\/\\\\", u"\"'/\\"},
        {u"a\\Nb", u"ab"},           // upper case is no escape letter
        {u"\\x41", u"41"},           // an unknown escape drops both characters
        {u"\\\\", u"\\"},
        {u"\\\\u0041", u"\\u0041"},  // the second backslash is an escape letter
        {u"abc\\", u"abc"},          // a trailing backslash has no letter
        {u"\\u0041", u"A"},
        {u"\\u00e9\\u00E9", u"\u00E9\u00E9"},
        {u"a\\u0000b", u"ab"},
        {u"a\\u00G1b", u"ab"},       // the four characters go even when invalid
        {u"\\u41", u"A"},            // fewer than four at the end
        {u"\\u", u""},
        {u"\\u 041x", u"x"},
        {u"\\u+041x", u"x"},
        {u"\\uD83D\\uDE00", u"\U0001F600"},
        {u"\\uD83Dx", u"\xD83Dx"},   // a lone surrogate passes alone
        {u"\\uFF10\\uFF10\\uFF14\\uFF11", u"\uFF10\uFF10\uFF14\uFF11"},
        {u"\\u\uFF10\uFF10\uFF14\uFF11", u""},  // full-width digits are no digits
        {std::u16string(u"\\u00\0" u"1z", 7), u"z"},
        {u"\\", u""},
    };
    for (const UnescapeCase& c : cases) {
        EXPECT_EQ(UnescapeJson(c.text), c.expected) << "case " << (&c - cases);
    }
}

TEST(ExtractUpdateField, CutsTheFirstUpdateMembersValue) {
    const UnescapeCase cases[] = {
        {u"{\"update\":\"\"}", u""},
        {u"{\"update\":\"abc\"}", u"abc"},
        {u"{\"v\":1,\"update\":\"https:\\/\\/x\\/dl\",\"n\":2}", u"https:\\/\\/x\\/dl"},
        {u"{\"update\":\"first\",\"update\":\"second\"}", u"first"},
        {u"{\"update\":\"cut off", u""},
        {u"{\"update\":\"", u""},
        {u"", u""},
        {u"{\"update\": \"https://x\"}", u""},   // a space before the value's quote
        {u"{\"Update\":\"https://x\"}", u""},
        {u"<html><title>Sign in to the network</title></html>", u""},
        {u"no pattern here, but \"quotes\" later", u""},
        // An escaped quote belongs to the value, as in any JSON reader.
        {u"{\"update\":\"https://x/?q=\\\"a\\\"\"}", u"https://x/?q=\\\"a\\\""},
        {u"{\"update\":\"ends in backslash\\\\\"}", u"ends in backslash\\\\"},
        {u"{\"update\":\"dangling \\\"}", u""},
    };
    for (const UnescapeCase& c : cases) {
        EXPECT_EQ(ExtractUpdateField(c.text), c.expected) << "case " << (&c - cases);
    }
}

TEST(IsWebAddress, AcceptsOnlyHttpAndHttpsWithoutBlanksOrControls) {
    for (const char16_t* address : {u"https://x.example/dl", u"http://x.example", u"HTTPS://X", u"hTtP://x/a?b=c#d",
                                    u"https://x/\u00E9\u4E2D", u"https://"}) {
        EXPECT_TRUE(IsWebAddress(address));
    }
    for (const char16_t* address :
         {u"", u"abc", u"C:\\Windows\\System32\\cmd.exe", u"\\\\server\\share\\setup.exe", u"file:///C:/x",
          u"javascript:alert(1)", u"https://x/\nline", u"https://x/a b", u"https://x/\t", u" https://x",
          u"ftp://x/", u"https:/x", u"https:\\\\x", u"mailto:a@b", u"ms-settings:", u"http:x"}) {
        EXPECT_FALSE(IsWebAddress(address));
    }
    EXPECT_FALSE(IsWebAddress(std::u16string(u"https://x\0y", 11)));
}

TEST(UpdateReply, RawUtf8AndEscapesComeOutAsAJsonReaderReadsThem) {
    const std::string body = "{\"update\":\"https:\\/\\/x.example\\/t\xC3\xA9l\xC3\xA9\\u0063harger\\/\xED\x83\xAD\"}";
    EXPECT_EQ(UnescapeJson(ExtractUpdateField(DecodeUtf8(body))), u"https://x.example/t\u00E9l\u00E9charger/\uD0ED");
}

}  // namespace
