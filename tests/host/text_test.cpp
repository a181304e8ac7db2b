#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DecodeUtf8, DecodesWellFormedTextOfEveryLength) {
    EXPECT_EQ(DecodeUtf8(""), u"");
    EXPECT_EQ(DecodeUtf8("https://x/?a=1&b=\\u00e9"), u"https://x/?a=1&b=\\u00e9");
    EXPECT_EQ(DecodeUtf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(DecodeUtf8("\xC3\xA9t\xC3\xA9"), u"\u00E9t\u00E9");            // two bytes
    EXPECT_EQ(DecodeUtf8("\xED\x83\xAD\xEB\x9D\xBC"), u"\uD0ED\uB77C");     // three: 탭라
    EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");               // four: a surrogate pair
    EXPECT_EQ(DecodeUtf8("\xEF\xBF\xBF\xF4\x8F\xBF\xBF"), u"\uFFFF\U0010FFFF");  // the top of each range
    EXPECT_EQ(DecodeUtf8("\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80"), u"\u0080\u0800\U00010000");  // the bottom
}

TEST(DecodeUtf8, ReplacesEachMaximalInvalidSubpartOnce) {
    const std::u16string r = u"\uFFFD";
    EXPECT_EQ(DecodeUtf8("\x80"), r);                       // a lone continuation byte
    EXPECT_EQ(DecodeUtf8("\xC3"), r);                       // cut off at the end
    EXPECT_EQ(DecodeUtf8("\xC3x"), r + u"x");               // cut off before ASCII, which survives
    EXPECT_EQ(DecodeUtf8("\xE2\x82"), r);                   // a three-byte form missing its last byte
    EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98"), r);               // a four-byte form missing its last byte
    EXPECT_EQ(DecodeUtf8("\xC0\xAF"), r + r);               // overlong slash
    EXPECT_EQ(DecodeUtf8("\xE0\x80\xAF"), r + r + r);       // overlong, three bytes
    EXPECT_EQ(DecodeUtf8("\xED\xA0\x80"), r + r + r);       // an encoded surrogate
    EXPECT_EQ(DecodeUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(DecodeUtf8("\xF5\xFF\xFE"), r + r + r);       // never-valid bytes
    EXPECT_EQ(DecodeUtf8("a\xE2\x82\xACz\xE2\x82"), u"a\u20ACz" + r);
}

}  // namespace
