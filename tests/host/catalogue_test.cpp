#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char16_t* const kMessageKeys[] = {
    u"The application configuration file is invalid.",
    u"Please reinstall and run.",
    u"This program has been updated.",
    u"It is recommended to download and execute new for stable use.",
    u"Do you want to download it?",
};

const uint32_t kRecognised[] = {1031, 1036, 1040, 1041, 1042, 1049, 2052};

TEST(Translate, GivesEachRecognisedLanguageItsOwnText) {
    EXPECT_EQ(TranslateFor(u"The application configuration file is invalid.", 1031),
              u"Die Anwendungskonfigurationsdatei ist ungültig.");
    EXPECT_EQ(TranslateFor(u"Please reinstall and run.", 1042), u"다시 설치 후 실행해 주십시오.");
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 1036), u"Voulez-vous le télécharger?");
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 2052), u"您要下载吗\uFF1F");
    EXPECT_EQ(TranslateFor(u"It is recommended to download and execute new for stable use.", 1041),
              u"安定的に使用するために新しくダウンロード\u00B7実行することをお勧めします\u3002");
    EXPECT_EQ(TranslateFor(u"This program has been updated.", 1049), u"Данная программа была обновлена.");
    EXPECT_EQ(TranslateFor(u"Please reinstall and run.", 1040), u"Si prega di reinstallare ed eseguire.");

    // Every message key has a text of its own in every recognised language.
    for (const char16_t* key : kMessageKeys) {
        for (uint32_t lcid : kRecognised) {
            const std::u16string text = TranslateFor(key, lcid);
            EXPECT_NE(text, key) << "LCID " << lcid;
            EXPECT_FALSE(text.empty());
            EXPECT_NE(text.back(), u'\n');
            EXPECT_NE(text.back(), u'\r');
        }
    }
}

TEST(Translate, TranslatesTheTitleOnlyForKorean) {
    EXPECT_EQ(TranslateFor(u"Tapwright", 1042), u"탭라이트");
    for (uint32_t lcid : {1031u, 1036u, 1040u, 1041u, 1049u, 2052u, 1033u, 0u}) {
        EXPECT_EQ(TranslateFor(u"Tapwright", lcid), u"Tapwright") << "LCID " << lcid;
    }
}

TEST(Translate, MatchesKeysAndLocalesExactly) {
    // Not keys: other words, case, blanks.
    for (const char16_t* key : {u"Cancel", u"", u"tapwright", u"Tapwright ", u"please reinstall and run.",
                                u" Please reinstall and run."}) {
        EXPECT_EQ(TranslateFor(key, 1042), key);
    }
    // English, the unset locale, and regional variants of recognised languages.
    for (uint32_t lcid : {1033u, 0u, 3079u, 2055u, 3084u, 1028u, 4100u, 0x10407u}) {
        for (const char16_t* key : kMessageKeys) {
            EXPECT_EQ(TranslateFor(key, lcid), key) << "LCID " << lcid;
        }
    }
}

TEST(Translate, ReadsTheProcessWideLocale) {
    ASSERT_EQ(UserLcid, 0u);
    EXPECT_EQ(Translate(u"Please reinstall and run."), u"Please reinstall and run.");
    UserLcid = 1031;
    EXPECT_EQ(Translate(u"Please reinstall and run."), u"Bitte neu installieren und ausführen.");
    UserLcid = 0;
}

}  // namespace
