#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vintrace::protocol {

/// What EscapeText leaves as it is.
struct Keep {
    /// '\n', for views that show several lines.
    bool newlines = false;
    /// '\', for text whose untrusted parts were escaped already (a decoder's output).
    bool backslashes = false;
};

/// Text from a capture or from usb.ids made safe to show on a terminal, in a window or in a
/// TAB-separated line, the same way everywhere: the backslash becomes "\\", C0 controls and DEL
/// "\xNN", C1 controls and the Unicode bidi controls (U+061C, U+200E/F, U+202A–U+202E,
/// U+2066–U+2069) "\uNNNN", and each byte that is not part of valid UTF-8 "\xNN".
std::string EscapeText(std::string_view text, Keep keep = {});
/// EscapeText appended to `out`.
void AppendEscapedText(std::string& out, std::string_view text, Keep keep = {});

/// A byte that every escaping here leaves as it is: printable ASCII but the backslash.
inline bool IsPlainAscii(char c) {
    return c >= 0x20 && c < 0x7F && c != '\\';
}

/// The Unicode Bidi_Control characters, which reorder what a terminal shows.
bool IsBidiControl(char32_t c);

/// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

/// The length of the valid UTF-8 sequence at the start of `text` and its code point; a length
/// of 0 when the first byte does not start one (overlong forms, surrogates and values past
/// U+10FFFF are not valid).
struct Utf8Char {
    std::size_t length = 0;
    char32_t code = 0;
};
Utf8Char DecodeUtf8(std::string_view text);

} // namespace vintrace::protocol
