// The bytes the network controls, through every step of the reply up to the address check, and
// the same bytes as UTF-16 through the command-line splitter. Each Check is a promise kept.
#include <algorithm>
#include <codecvt>
#include <locale>
#include <vector>

#include "common/text.h"
#include "launcher/command_line.h"
#include "update/json_unescape.h"
#include "update/update_query.h"

static void Check(bool promise) { if (!promise) __builtin_trap(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::u16string units(reinterpret_cast<const char16_t*>(data), size / 2);

    // No lone surrogate (the shell would mangle it), no more units than bytes; valid UTF-8
    // round-trips and nothing invalid (an overlong quote, an encoded surrogate) passes for it, by
    // the standard library's converter (deprecated, sound on valid text; "\xFF": lone surrogate).
    static std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> utf8("\xFF");
    const std::u16string reply = DecodeUtf8(body);
    const std::string bytes = utf8.to_bytes(reply), text = utf8.to_bytes(units);
    Check(reply.size() <= size && DecodeUtf8(bytes) == reply);
    Check(bytes == body || reply.find(u'\uFFFD') != reply.npos);
    Check(text == "\xFF" || DecodeUtf8(text) == utf8.from_bytes(text));

    // The field follows the first exact "update":" and ends at the first quote not escaped.
    const std::u16string field = ExtractUpdateField(reply);
    const size_t key = reply.find(u"\"update\":\"");
    Check(field.empty() || (key != reply.npos && reply.substr(key + 10).starts_with(field + u'"')));
    size_t i = 0;
    for (; i < field.size(); i += field[i] == u'\\' ? 2 : 1) Check(field[i] != u'"');
    Check(i == field.size());

    const std::u16string address = UnescapeJson(field);  // no escape yields more than it takes
    Check(address.size() <= field.size() && (address == field || field.find(u'\\') != field.npos));

    // The shell runs whatever it is given: only web addresses reach it, and with no blank or
    // control code, which could break their quoting on the way to the browser.
    for (const std::u16string& a : {address, units}) {
        std::u16string head = a.substr(0, 8);  // ASCII letters folded only: no look-alikes
        for (char16_t& c : head) c += c >= u'A' && c <= u'Z' ? 32 : 0;
        const bool web = head.starts_with(u"http://") || head == u"https://";
        Check(!IsWebAddress(a) || (web && std::ranges::min(a) > 0x20));
        Check(IsSecureAddress(a) == (head == u"https://"));
    }

    // The command line, zero-terminated in a block of exactly its size so that AddressSanitizer
    // sees a read past the terminator. A token ends only at a blank or the end, and holds blanks
    // only inside quotes: one outside would let "/inst" hide in a longer argument or pass for one.
    const std::u16string_view command = units.c_str();
    const std::vector<char16_t> line(command.data(), command.data() + command.size() + 1);
    for (const char16_t* p = line.data(); int index : {0, 1, 2, 3}) {
        const char16_t* const start = SkipBlanks(p);
        for (char16_t c : std::u16string_view(p, start)) Check(c && c <= 0x20);
        p = SkipArgument(start);
        Check((p > start || *start == 0) && *p <= 0x20);
        for (bool quoted = false; char16_t c : std::u16string_view(start, p))
            Check((quoted ^= c == u'"') || c > 0x20);
        const bool wrapped = p - start >= 2 && *start == u'"' && p[-1] == u'"';
        Check(ArgumentOf(line.data(), index) == std::u16string(start + wrapped, p - wrapped));
    }
    return 0;
}
