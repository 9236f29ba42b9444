#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vintrace::capture {

/// "0x%0*X": upper-case hexadecimal with at least `digits` digits, zeros in front
/// (26 -> "0x1A"; 26 with 4 digits -> "0x001A"): how every decoder spells a value in hex.
std::string HexText(std::uint32_t value, int digits = 0);

/// Parses a byte written in hexadecimal, with or without "0x"; nothing for any other text
/// (empty, stray characters, more than 255).
std::optional<std::uint8_t> ParseHexByte(std::string_view text);

/// Parses a byte written as a C literal: "0x1A" hexadecimal, "26" decimal, "032" octal.
std::optional<std::uint8_t> ParseByteLiteral(std::string_view text);

} // namespace vintrace::capture
