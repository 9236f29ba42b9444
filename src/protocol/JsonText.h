#pragma once

#include "protocol/SafeText.h"

#include <string>
#include <string_view>

namespace vintrace::protocol {

/// `s` as a JSON string literal that any parser accepts and no terminal acts on: quotes,
/// backslashes and C0 controls escaped as JSON requires, DEL, C1 controls and bidi controls as
/// \uNNNN, and bytes that are not UTF-8 replaced by U+FFFD (text from a device or from
/// usb.ids may hold any of them).
inline std::string JsonQuote(std::string_view s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::string valid = ValidUtf8(s);
    std::string_view rest = valid;
    std::string out = "\"";
    while (!rest.empty()) {
        const Utf8Char c = DecodeUtf8(rest);
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
            out.append(rest.substr(0, c.length));
        }
        rest.remove_prefix(c.length);
    }
    return out + "\"";
}

} // namespace vintrace::protocol
