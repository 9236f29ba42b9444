#include "protocol/SafeText.h"
#include "protocol/JsonText.h"
#include "protocol/UsbIds.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

TEST(SafeText, EscapesWhatATerminalWouldActOn) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"Mouse", "Mouse"},
        {std::string("A\0B", 3), "A\\x00B"},
        {"\x1b[31m\x07\x7f", "\\x1b[31m\\x07\\x7f"},
        // The four characters \x1b must not look like an escaped ESC.
        {"\\x1b", "\\\\x1b"},
        // U+009B, a one-character CSI; U+0085 (NEL).
        {"a\xC2\x9B"
         "2Jb\xC2\x85",
         "a\\u009b2Jb\\u0085"},
        // Bidi overrides and isolates: U+202E, U+2066, U+2069, U+200F.
        {"\xE2\x80\xAE"
         "abc\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8F",
         "\\u202eabc\\u2066\\u2069\\u200f"},
        // Printable text beyond ASCII stays: é, €, U+1F600.
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // Not UTF-8: a stray byte, a cut sequence, an overlong '/', a surrogate.
        {"\xFF"
         "a\xE2\x82",
         "\\xffa\\xe2\\x82"},
        {"\xC0\xAF\xED\xA0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},
        {"two\nlines", "two\\x0alines"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeText(c.in), c.out) << c.out;
    }
    EXPECT_EQ(EscapeText("a\\n\nb\x1b", {.newlines = true, .backslashes = true}), "a\\n\nb\\x1b");
}

// Plain runs go out whole; what JSON or a terminal would act on is escaped between them.
TEST(SafeText, JsonQuoteEscapesBetweenPlainRuns) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"", R"("")"},
        {"Mouse 1", R"("Mouse 1")"},
        {R"(say "hi" \ bye)", R"("say \"hi\" \\ bye")"},
        {"a\nb\tc\rd", R"("a\nb\tc\u000dd")"},
        {std::string("x\0y\x7f", 4), R"("x\u0000y\u007f")"},
        // U+0085 (NEL) and U+202E (a bidi override) among printable text beyond ASCII.
        {"\xC3\xA9\xC2\x85\xE2\x80\xAE\xE2\x82\xAC", "\"\xC3\xA9\\u0085\\u202e\xE2\x82\xAC\""},
        // Not UTF-8: each stray or cut byte becomes U+FFFD, the text around it stays.
        {"a\xFF"
         "b\xE2\x82",
         "\"a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JsonQuote(c.in), c.out) << c.out;
    }
    std::string out = "x";
    AppendJsonQuoted(out, "y");
    EXPECT_EQ(out, R"(x"y")");
}

TEST(SafeText, UsbIdsNamesAreValidUtf8) {
    const UsbIds ids = UsbIds::Parse("1bcf  Bad\xFF\xC3 name\x1b\n\t0005  Caf\xC3\xA9\n");
    EXPECT_EQ(ids.vendor(0x1BCF), "Bad\xEF\xBF\xBD\xEF\xBF\xBD name\x1b");
    EXPECT_EQ(ids.product(0x1BCF, 5), "Caf\xC3\xA9");
}

} // namespace
} // namespace vintrace::protocol
