#include <gtest/gtest.h>

#include <string>

#include "catalogue/catalogue.h"
#include "launcher/command_line.h"
#include "launcher/fatal_error.h"
#include "launcher/single_instance.h"

namespace {

struct TextCase {
    std::u16string input;
    std::u16string expected;
};

// Double quotes are written out as \" below; what goes in is exactly what the
// creator of the process would have written, and only argument 1 is read.
TEST(ArgumentOf, ScansTokensByTheLaunchersOwnRules) {
    const TextCase cases[] = {
        {u"\"C:\\Program Files\\Tapwright\\svc.exe\" /inst", u"/inst"},
        {u"svc.exe  /inst more", u"/inst"},
        {u"svc \"/inst \"", u"/inst "},
        {u"svc /in\"st\"", u"/in\"st\""},
        {u"svc \"/inst and beyond", u"\"/inst and beyond"},
        {u"svc a\"b c\"d next", u"a\"b c\"d"},
        {u"svc \"\"", u""},
        {u"svc \"", u"\""},
        {u"svc \"C:\\dir\\\" next", u"C:\\dir\\"},
        {u"svc", u""},
        {u"svc\r\n/inst\x01x", u"/inst"},        // every control code separates arguments,
        {u"svc /inst\u00A0x", u"/inst\u00A0x"},  // the no-break space does not
        {u"svc \\\"a b\\\" c", u"\\\"a b\\\""},  // the backslash escapes nothing
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ArgumentOf(c.input.c_str(), 1), c.expected) << (&c - cases);
    EXPECT_EQ(ArgumentOf(u"\"C:\\a b\\svc.exe\" /inst", 0), u"C:\\a b\\svc.exe");
    EXPECT_EQ(ArgumentOf(u"svc a\"b c\"d next", 2), u"next");
    EXPECT_EQ(ArgumentOf(u"svc one", 5), u"");
}

TEST(ExtractDirectory, KeepsEverythingUpToTheLastDelimiter) {
    const TextCase cases[] = {
        {u"C:\\Program Files\\svc.exe", u"C:\\Program Files\\"},
        {u"C:/a/svc.exe", u"C:/a/"},
        {u"C:svc.exe", u"C:"},
        {u"svc.exe", u""},
        {u"", u""},
        {u"\\\\server\\share\\s.exe", u"\\\\server\\share\\"},
        {u"C:\\a/b\\c", u"C:\\a/b\\"},
        {u"C:\\a\\b/c", u"C:\\a\\b/"},
        {u"C:\\a\\..\\.\\s.exe", u"C:\\a\\..\\.\\"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ExtractDirectory(c.input), c.expected) << (&c - cases);
}

// A mutex that exists but cannot be opened (an elevated copy's) is another
// copy's as surely as one that opens; only "no such mutex" lets a copy go on.
TEST(SingleInstance, AnExistingMutexMeansAnotherCopyWhetherItOpensOrNot) {
    EXPECT_TRUE(AnotherCopyHoldsMutex(true, 0));
    EXPECT_TRUE(AnotherCopyHoldsMutex(false, 5));   // ERROR_ACCESS_DENIED
    EXPECT_FALSE(AnotherCopyHoldsMutex(false, 2));  // ERROR_FILE_NOT_FOUND
    EXPECT_TRUE(MutexTakenByThisCopy(true, 0));
    EXPECT_FALSE(MutexTakenByThisCopy(true, 183));  // ERROR_ALREADY_EXISTS
    EXPECT_FALSE(MutexTakenByThisCopy(false, 5));
    EXPECT_TRUE(MutexTakenByThisCopy(false, 6));  // any other failure: go on
}

TEST(FatalError, NamesTheFaultAndAllSixteenHexDigitsOfItsAddress) {
    EXPECT_EQ(std::u16string(FormatRuntimeError(216, 0x140001A2Bull).text),
              u"Runtime error 216 at $0000000140001A2B");
    EXPECT_EQ(std::u16string(FormatRuntimeError(4294967295u, ~0ull).text),
              u"Runtime error 4294967295 at $FFFFFFFFFFFFFFFF");
    for (auto [code, number] : {std::pair{0xC0000005u, 216u},
                                {0xC00000FDu, 202u},
                                {0xC0000094u, 200u},
                                {0xC0000017u, 203u},
                                {0xE06D7363u, 217u}}) {
        EXPECT_EQ(RuntimeErrorForException(code), number) << std::hex << code;
    }
}

TEST(Translate, MatchesKeysAndLocalesExactly) {
    EXPECT_EQ(TranslateFor(u"The application configuration file is invalid.", 1031),
              u"Die Anwendungskonfigurationsdatei ist ungültig.");
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 1036), u"Voulez-vous le télécharger?");
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 2052), u"您要下载吗\uFF1F");
    EXPECT_EQ(TranslateFor(u"It is recommended to download and execute new for stable use.", 1041),
              u"安定的に使用するために新しくダウンロード\u00B7実行することをお勧めします\u3002");
    EXPECT_EQ(TranslateFor(u"Tapwright", 1042), u"탭라이트");
    for (uint32_t lcid : {1031u, 1041u, 2052u})
        EXPECT_EQ(TranslateFor(u"Tapwright", lcid), u"Tapwright");
    for (const char16_t* key : {u"Cancel", u"", u"tapwright", u"Please reinstall and run. "}) {
        EXPECT_EQ(TranslateFor(key, 1042), key);
    }
    // English, the unset locale and regional variants of recognised languages.
    for (uint32_t lcid : {1033u, 0u, 3079u, 2055u, 3084u, 1028u, 4100u}) {
        EXPECT_EQ(TranslateFor(u"Please reinstall and run.", lcid), u"Please reinstall and run.")
            << lcid;
    }
    UserLcid = 1031;
    EXPECT_EQ(Translate(u"Please reinstall and run."), u"Bitte neu installieren und ausführen.");
}

}  // namespace
