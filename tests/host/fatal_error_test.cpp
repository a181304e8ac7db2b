#include "launcher/fatal_error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(const RuntimeErrorText& message) { return message.text; }

TEST(FormatRuntimeError, WritesTheNumberAndAllSixteenHexDigits) {
    EXPECT_EQ(Text(FormatRuntimeError(216, 0x140001A2Bull)), u"Runtime error 216 at $0000000140001A2B");
    EXPECT_EQ(Text(FormatRuntimeError(203, 0)), u"Runtime error 203 at $0000000000000000");
    EXPECT_EQ(Text(FormatRuntimeError(0, 0xFFFFFFFFFFFFFFFFull)), u"Runtime error 0 at $FFFFFFFFFFFFFFFF");
    EXPECT_EQ(Text(FormatRuntimeError(4294967295u, 0xabcdefull)),
              u"Runtime error 4294967295 at $0000000000ABCDEF");
}

TEST(RuntimeErrorForException, MapsTheFaultsTheLauncherCanMeet) {
    EXPECT_EQ(RuntimeErrorForException(0xC0000005), kRuntimeErrorAccessViolation);
    EXPECT_EQ(RuntimeErrorForException(0xC00000FD), kRuntimeErrorStackOverflow);
    EXPECT_EQ(RuntimeErrorForException(0xC0000094), kRuntimeErrorDivisionByZero);
    EXPECT_EQ(RuntimeErrorForException(0xC0000017), kRuntimeErrorOutOfMemory);
    EXPECT_EQ(RuntimeErrorForException(0xE06D7363), kRuntimeErrorUnhandled);  // a C++ exception
    EXPECT_EQ(RuntimeErrorForException(0), kRuntimeErrorUnhandled);
}

}  // namespace
