#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vintrace::capture {

/// "0x%X": upper-case hexadecimal without leading zeros (26 -> "0x1A").
std::string HexText(unsigned value);

/// Parses a byte written in hexadecimal, with or without "0x"; nothing for any other text
/// (empty, stray characters, more than 255).
std::optional<std::uint8_t> ParseHexByte(std::string_view text);

/// Parses a byte written as a C literal: "0x1A" hexadecimal, "26" decimal, "032" octal.
std::optional<std::uint8_t> ParseByteLiteral(std::string_view text);

} // namespace vintrace::capture
