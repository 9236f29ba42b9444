#pragma once

#include <string>
#include <string_view>

namespace vintrace::cli {

/// `s` as a JSON string literal: quotes, backslashes and control characters escaped (text
/// from a device may hold any of them).
inline std::string JsonQuote(std::string_view s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            out += "\\u00";
            out += kDigits[u >> 4];
            out += kDigits[u & 0x0F];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace vintrace::cli
