#include "capture/HexText.h"

#include <charconv>
#include <cstddef>

namespace vintrace::capture {

std::string HexText(std::uint32_t value, int digits) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    char text[8];
    int n = 0;
    do {
        text[7 - n++] = kDigits[value & 0x0F];
        value >>= 4;
    } while (value != 0);
    const std::size_t zeros = digits > n ? static_cast<std::size_t>(digits - n) : 0;
    std::string s;
    s.reserve(2 + zeros + static_cast<std::size_t>(n));
    s += "0x";
    s.append(zeros, '0');
    s.append(text + 8 - n, static_cast<std::size_t>(n));
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
