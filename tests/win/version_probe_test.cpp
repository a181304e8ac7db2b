#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/version_probe.h"

namespace {

TEST(FormatWide, RendersIntegersAndEveryKindOfText) {
    EXPECT_EQ(FormatWide(u"%d.%d.%d.%d", {65535, 0, 10, 200}), u"65535.0.10.200");
    EXPECT_EQ(FormatWide(u"%d|%d", {int32_t{-7}, int32_t{2147483647}}), u"-7|2147483647");
    const char16_t* wide = u"w\u00E9";
    EXPECT_EQ(FormatWide(u"[%s][%s][%s][%s]", {"ansi", std::string("counted"), wide, std::u16string(u"\uD0ED")}),
              u"[ansi][counted][w\u00E9][\uD0ED]");
    // A counted 8-bit string may hold what a zero-terminated one cannot.
    EXPECT_EQ(FormatWide(u"%s", {std::string("ab\0cd", 5)}), u"ab");
}

TEST(FormatWide, GivesNothingForNoArgumentsOrAnUnsupportedKind) {
    EXPECT_EQ(FormatWide(u"literal text", {}), u"");
    EXPECT_EQ(FormatWide(u"%d %d", {1, true}), u"");
    EXPECT_EQ(FormatWide(u"%d %d", {1, 2.5}), u"");
    EXPECT_EQ(FormatWide(u"%d %d", {static_cast<const void*>(nullptr), 1}), u"");
}

TEST(FormatWide, KeepsWithinItsLimits) {
    const std::u16string longText(5000, u'x');
    const std::u16string result = FormatWide(u"%s", {longText});
    EXPECT_LE(result.size(), kMaxFormattedLength);
    EXPECT_GE(result.size(), kMaxFormattedLength - 1);
    EXPECT_EQ(result.find_first_not_of(u'x'), std::u16string::npos);

    // The most arguments a call may pass, then one more.
    std::vector<FormatArgument> many(kMaxFormatArguments, FormatArgument{int32_t{4}});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"44");
    many.push_back(int32_t{4});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"");
}

}  // namespace
