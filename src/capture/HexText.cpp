#include "capture/HexText.h"

#include <charconv>
#include <cstdio>

namespace vintrace::capture {

std::string HexText(unsigned value) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%X", value);
    return s;
}

namespace {
std::optional<std::uint8_t> ParseByte(std::string_view digits, int base) {
    unsigned value = 0;
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    if (digits.empty() || ec != std::errc() || ptr != end || value > 0xFF) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

bool HasHexPrefix(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}
} // namespace

std::optional<std::uint8_t> ParseHexByte(std::string_view text) {
    if (HasHexPrefix(text)) {
        text.remove_prefix(2);
    }
    return ParseByte(text, 16);
}

std::optional<std::uint8_t> ParseByteLiteral(std::string_view text) {
    if (HasHexPrefix(text)) {
        return ParseByte(text.substr(2), 16);
    }
    if (text.size() > 1 && text[0] == '0') {
        return ParseByte(text.substr(1), 8);
    }
    return ParseByte(text, 10);
}

} // namespace vintrace::capture
