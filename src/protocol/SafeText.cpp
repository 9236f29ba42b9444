#include "protocol/SafeText.h"

namespace vintrace::protocol {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

void AppendByte(std::string& out, unsigned char b) {
    out += "\\x";
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
}

} // namespace

bool IsBidiControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

Utf8Char DecodeUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return {1, lead};
    }
    std::size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        least = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) {
            return {};
        }
        code = code << 6 | (b & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    return {length, code};
}

std::string EscapeText(std::string_view text, Keep keep) {
    std::string out;
    out.reserve(text.size());
    AppendEscapedText(out, text, keep);
    return out;
}

void AppendEscapedText(std::string& out, std::string_view text, Keep keep) {
    while (!text.empty()) {
        // Printable ASCII but the backslash stays as it is: a run of it goes out at once.
        std::size_t run = 0;
        while (run < text.size() && IsPlainAscii(text[run])) {
            ++run;
        }
        if (run != 0) {
            out.append(text.data(), run);
            text.remove_prefix(run);
            continue;
        }
        const Utf8Char c = DecodeUtf8(text);
        if (c.length == 0) {
            AppendByte(out, static_cast<unsigned char>(text[0]));
            text.remove_prefix(1);
            continue;
        }
        if (c.code == '\\') {
            out += keep.backslashes ? "\\" : "\\\\";
        } else if (c.code == '\n' && keep.newlines) {
            out += '\n';
        } else if (c.code < 0x20 || c.code == 0x7F) {
            AppendByte(out, static_cast<unsigned char>(c.code));
        } else if ((c.code >= 0x80 && c.code <= 0x9F) || IsBidiControl(c.code)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kDigits[(c.code >> shift) & 0x0F];
            }
        } else {
            out.append(text.substr(0, c.length));
        }
        text.remove_prefix(c.length);
    }
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = DecodeUtf8(text).length;
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

} // namespace vintrace::protocol
