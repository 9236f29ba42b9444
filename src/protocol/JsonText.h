#pragma once

#include "protocol/SafeText.h"

#include <string>
#include <string_view>

namespace vintrace::protocol {

/// `s` as a JSON string literal that any parser accepts and no terminal acts on: quotes,
/// backslashes and C0 controls escaped as JSON requires, DEL, C1 controls and bidi controls as
/// \uNNNN, and bytes that are not UTF-8 replaced by U+FFFD (text from a device or from
/// usb.ids may hold any of them). Appended to `out`.
inline void AppendJsonQuoted(std::string& out, std::string_view s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += '"';
    while (!s.empty()) {
        std::size_t run = 0;
        while (run < s.size() && IsPlainAscii(s[run]) && s[run] != '"') {
            ++run;
        }
        if (run != 0) {
            out.append(s.data(), run);
            s.remove_prefix(run);
            continue;
        }
        const Utf8Char c = DecodeUtf8(s);
        if (c.length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD for a byte that is not UTF-8
            s.remove_prefix(1);
            continue;
        }
        const char32_t u = c.code;
        if (u == '"' || u == '\\') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u == '\n') {
            out += "\\n";
        } else if (u == '\t') {
            out += "\\t";
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || IsBidiControl(u)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kDigits[(u >> shift) & 0x0F];
            }
        } else {
            out.append(s.substr(0, c.length));
        }
        s.remove_prefix(c.length);
    }
    out += '"';
}

/// The same literal as a string of its own.
inline std::string JsonQuote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    AppendJsonQuoted(out, s);
    return out;
}

} // namespace vintrace::protocol
