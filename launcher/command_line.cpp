#include "launcher/command_line.h"

namespace {

// Every control code counts as a blank, not just space and tab: a command line
// written by another program may hold line breaks.
bool IsBlank(char16_t c) { return c >= 0x01 && c <= 0x20; }

constexpr char16_t kQuote = u'"';

}  // namespace

const char16_t* SkipBlanks(const char16_t* p) {
    while (*p != 0 && IsBlank(*p)) {
        ++p;
    }
    return p;
}

// The backslash escapes nothing here, unlike in the C runtime's rules: a
// quoted directory ending in a backslash still closes at its quote.
const char16_t* SkipArgument(const char16_t* p) {
    p = SkipBlanks(p);
    while (*p > 0x20) {
        if (*p == kQuote) {
            ++p;
            while (*p != 0 && *p != kQuote) {
                ++p;
            }
            if (*p == kQuote) {
                ++p;
            }
        } else {
            ++p;
        }
    }
    return p;
}

std::u16string ArgumentOf(const char16_t* commandLine, int index) {
    const char16_t* start = commandLine;
    const char16_t* p = commandLine;
    for (int i = 0; i <= index; ++i) {
        start = SkipBlanks(p);
        p = SkipArgument(start);
    }
    std::u16string token(start, p);
    if (token.size() >= 2 && token.front() == kQuote && token.back() == kQuote) {
        return token.substr(1, token.size() - 2);
    }
    return token;
}

std::u16string ExtractDirectory(const std::u16string& path) {
    const size_t last = path.find_last_of(u":\\/");
    if (last == std::u16string::npos) {
        return {};
    }
    return path.substr(0, last + 1);
}
