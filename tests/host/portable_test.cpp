// The portable code, natively, under AddressSanitizer and UndefinedBehaviorSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "common/text.h"
#include "launcher/command_line.h"
#include "launcher/fatal_error.h"
#include "launcher/single_instance.h"
#include "update/json_unescape.h"
#include "update/update_query.h"
#include "window/ref_object.h"

namespace {

using TextCase = std::pair<std::u16string, std::u16string>;  // what goes in, what comes out

// Double quotes are written out as \" below; what goes in is exactly what the
// creator of the process would have written, and only argument 1 is read.
TEST(ArgumentOf, ScansTokensByTheLaunchersOwnRules) {
    const TextCase cases[] = {
        {u"\"C:\\Program Files\\Tapwright\\svc.exe\" /inst", u"/inst"},
        {u"svc.exe  /inst more", u"/inst"},    {u"svc \"/inst \"", u"/inst "},
        {u"svc /in\"st\"", u"/in\"st\""},        {u"svc \"/inst and beyond", u"\"/inst and beyond"},
        {u"svc a\"b c\"d next", u"a\"b c\"d"},   {u"svc \"\"", u""},
        {u"svc \"", u"\""},                     {u"svc \"C:\\dir\\\" next", u"C:\\dir\\"},
        {u"svc", u""},
        {u"svc\r\n/inst\x01x", u"/inst"},        // every control code separates arguments,
        {u"svc /inst\u00A0x", u"/inst\u00A0x"},  // the no-break space does not
        {u"svc \\\"a b\\\" c", u"\\\"a b\\\""},  // the backslash escapes nothing
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ArgumentOf(c.first.c_str(), 1), c.second) << (&c - cases);
    EXPECT_EQ(ArgumentOf(u"\"C:\\a b\\svc.exe\" /inst", 0), u"C:\\a b\\svc.exe");
    EXPECT_EQ(ArgumentOf(u"svc a\"b c\"d next", 2), u"next");
    EXPECT_EQ(ArgumentOf(u"svc one", 5), u"");
}

TEST(ExtractDirectory, KeepsEverythingUpToTheLastDelimiter) {
    const TextCase cases[] = {
        {u"C:\\Program Files\\svc.exe", u"C:\\Program Files\\"}, {u"C:/a/svc.exe", u"C:/a/"},
        {u"C:svc.exe", u"C:"}, {u"svc.exe", u""}, {u"", u""},
        {u"\\\\server\\share\\s.exe", u"\\\\server\\share\\"},
        {u"C:\\a/b\\c", u"C:\\a/b\\"}, {u"C:\\a\\b/c", u"C:\\a\\b/"}};
    for (const TextCase& c : cases) EXPECT_EQ(ExtractDirectory(c.first), c.second);
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
    for (auto [code, number] : {std::pair{0xC0000005u, 216u}, {0xC00000FDu, 202u},
                                {0xC0000094u, 200u}, {0xC0000017u, 203u}, {0xE06D7363u, 217u}})
        EXPECT_EQ(RuntimeErrorForException(code), number) << std::hex << code;
}

// Exact keys and whole LCIDs: no trimming, no case folding, no regional fallback.
TEST(Translate, MatchesKeysAndLocalesExactly) {
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 1036), u"Voulez-vous le télécharger?");
    EXPECT_EQ(TranslateFor(u"Do you want to download it?", 2052), u"您要下载吗\uFF1F");
    EXPECT_EQ(TranslateFor(u"It is recommended to download and execute new for stable use.", 1041),
              u"安定的に使用するために新しくダウンロード\u00B7実行することをお勧めします\u3002");
    EXPECT_EQ(TranslateFor(u"Tapwright", 1042) + TranslateFor(u"Tapwright", 1041),
              u"탭라이트Tapwright");
    for (const char16_t* key : {u"Cancel", u"", u"tapwright", u"Please reinstall and run. "})
        EXPECT_EQ(TranslateFor(key, 1042), key);
    for (uint32_t lcid : {1033u, 0u, 3079u, 3084u, 1028u})
        EXPECT_EQ(TranslateFor(u"Please reinstall and run.", lcid), u"Please reinstall and run.");
    UserLcid = 1031;
    EXPECT_EQ(Translate(u"The application configuration file is invalid."),
              u"Die Anwendungskonfigurationsdatei ist ungültig.");
}

// Each maximal invalid subpart becomes one U+FFFD, as browsers decode.
TEST(DecodeUtf8, DecodesEveryLengthAndReplacesInvalidSubparts) {
    const std::u16string r = u"\uFFFD";
    const std::pair<std::string, std::u16string> cases[] = {
        {std::string("a\0\xC3\xA9\xED\x83\xAD\xF0\x9F\x98\x80", 11), std::u16string(u"a\0é탭😀", 6)},
        {"\xC2\x80\xE0\xA0\x80\xF4\x8F\xBF\xBF", u"\u0080\u0800\U0010FFFF"},
        {"\x80\xC3x", r + r + u"x"}, {"\xF0\x9F\x98", r},
        {"\xC0\xAF\xE0\x80\xAF", r + r + r + r + r},                   // overlong forms
        {"\xED\xA0\x80\xF4\x90\x80\x80", r + r + r + r + r + r + r}};  // a surrogate, > U+10FFFF
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(DecodeUtf8(bytes), expected) << bytes;
}

TEST(UnescapeJson, DecodesEscapesAndAbsorbsMalformedOnes) {
    const TextCase cases[] = {
        {u"https:\\/\\/x\\/dl a", u"https://x/dl a"}, {u"\\u41", u"A"},
        {u"\\b\\f\\n\\r\\t\\\"\\'\\/\\\\", u"\b\f\n\r\t\"'/\\"},
        {u"a\\Nb\\x41abc\\", u"ab41abc"},  // no escape letter, or none at all: nothing
        {u"\\\\u0041", u"\\u0041"},        // the second backslash is an escape letter
        {u"\\u0041\\u00e9\\u00E9a\\u0000b", u"A\u00E9\u00E9ab"},
        {u"a\\u00G1b\\u+041c", u"abc"},  // the four characters go even when invalid
        {u"\\uD83D\\uDE00\\uD83Dx", u"\U0001F600\xD83Dx"},
        {u"\\u\uFF10\uFF10\uFF14\uFF11", u""}};  // full-width digits are no digits
    for (const TextCase& c : cases) EXPECT_EQ(UnescapeJson(c.first), c.second) << (&c - cases);
}

// An escaped quote belongs to the value, as in any JSON reader; a reply
// without the exact pattern (an HTML page, a captive portal) carries nothing.
TEST(ExtractUpdateField, CutsTheFirstUpdateMembersValue) {
    const TextCase cases[] = {
        {u"{\"v\":1,\"update\":\"a\\/b\",\"n\":2}", u"a\\/b"}, {u"{\"update\":\"cut off", u""},
        {u"{\"update\":\"first\",\"update\":\"second\"}", u"first"},
        {u"{\"update\": \"https://x\"}", u""}, {u"<html>\"Update\":\"no pattern\"</html>", u""},
        {u"{\"update\":\"q=\\\"a\\\"\"}", u"q=\\\"a\\\""}, {u"{\"update\":\"dangling \\\"}", u""}};
    for (const TextCase& c : cases) EXPECT_EQ(ExtractUpdateField(c.first), c.second);
}

// The shell would run a program path, a UNC path or a custom scheme as readily as it opens a web
// page; and a reply that came over plain HTTP is nobody's. Each row breaks one condition.
TEST(Addresses, OnlyWebAddressesAreOfferedAndOnlyHttpsIsTrusted) {
    const struct {
        const char16_t* address;
        bool offered, trusted;
    } cases[] = {
        {u"https://x/dl", true, true},      {u"http://x", true, false},
        {u"HTTPS://X", true, true},         // ASCII case is ignored,
        {u"hTtP://x/a?b!", true, false},    // and U+0021 is the lowest unit that may stand
        {u"https:/x", false, false},        // both slashes, for either scheme
        {u"http:/x", false, false},         {u"http:x", false, false},
        {u" https://x", false, false},      // at the very start
        {u"https://x/a b", false, true},    {u"https://x/\nl", false, true},
        {u"file:///C:/x", false, false},    {u"C:\\cmd.exe", false, false},
        {u"\\\\server\\s.exe", false, false}, {u"//x/api", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsWebAddress(c.address), c.offered) << (&c - cases);
        EXPECT_EQ(IsSecureAddress(c.address), c.trusted) << (&c - cases);
    }
    EXPECT_FALSE(IsWebAddress(std::u16string(u"https://x\0y", 11)));
    for (unsigned status : {301u, 302u, 303u, 307u, 308u}) EXPECT_TRUE(IsRedirectStatus(status));
    for (unsigned status : {200u, 300u, 304u, 305u, 306u}) EXPECT_FALSE(IsRedirectStatus(status));
}

std::vector<std::string> destroyed;

struct TProbe : TRefObject {
    void Done() override {
        destroyed.push_back(Name);
        TRefObject::Done();
    }
    const char* Name;
};

TProbe* NewProbe(const char* name) {
    TProbe* probe = New<TProbe>();
    probe->Name = name;
    return probe;
}

void* Item(intptr_t value) { return reinterpret_cast<void*>(value); }
std::vector<void*> Items(const TPtrList* list) {
    return std::vector<void*>(list->Items, list->Items + list->Count);
}

TEST(RefObject, LastReleaseRunsCallbackThenOwnedPairsInRegistrationOrder) {
    TProbe* owner = NewProbe("owner");
    AddRef(owner);
    Release(owner);
    Release(nullptr);
    EXPECT_TRUE(owner->RefCount == 0 && destroyed.empty());
    owner->OnRelease = {[](void* data, TRefObject*) {
                            static_cast<std::vector<std::string>*>(data)->push_back("callback");
                        },
                        &destroyed};
    TProbe *gone = NewProbe("gone"), *a = NewProbe("a"), *twice = NewProbe("twice");
    for (TProbe* owned : {gone, a, twice, twice}) AddOwned(owner, owned);
    RemoveOwned(owner, twice);  // only the first pair found goes,
    RemoveOwned(owner, gone);   // and a pair at the end goes whole
    Release(gone);
    void* release = reinterpret_cast<void*>(&Release);
    EXPECT_EQ(Items(owner->OwnedList), (std::vector<void*>{release, twice, release, a}));
    Release(owner);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"gone", "owner", "callback", "a", "twice"}));
}

TEST(PtrList, GrowsByItsStepAndKeepsToItsRanges) {
    TPtrList* list = NewPtrList();
    for (int i = 0; i < 9; ++i) list->Add(Item(i));
    EXPECT_EQ(list->Capacity, 12);  // 4, 8, 12
    list->Insert(0, Item(-1));
    list->Insert(list->Count, Item(9));
    EXPECT_TRUE(list->Get(-1) == nullptr && list->Get(11) == nullptr && list->Get(10) == Item(9));
    list->Delete(11);
    list->DeleteRange(1, -3);
    EXPECT_EQ(list->Remove(Item(4)), 5);
    EXPECT_EQ(list->Remove(Item(4)), -1);
    list->DeleteRange(3, 100);
    EXPECT_EQ(Items(list), (std::vector<void*>{Item(-1), Item(0), Item(1)}));
    TPtrList* unstepped = New<TPtrList>();
    for (int i = 0; i < 6; ++i) unstepped->Add(nullptr);
    EXPECT_EQ(unstepped->Capacity, 6);  // a quarter more each time: 1, 2, 3, 4, 6
    for (TPtrList* made : {list, unstepped}) Release(made);
}

}  // namespace
