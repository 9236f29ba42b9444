#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vintrace::search {

/// A pattern of hexadecimal digits looked for in the upper-case hex text of some bytes, at
/// any digit (so it may start in the middle of a byte). Matched on the bytes themselves,
/// without building the text.
class HexPattern {
public:
    explicit HexPattern(std::string_view digits);

    /// False for an empty pattern or one with anything but 0-9 and A-F, which no hex text
    /// written in upper case can contain.
    bool usable() const { return usable_; }
    std::size_t digits() const { return digits_; }

    /// True when the pattern occurs in the hex text of `bytes`.
    bool foundIn(std::span<const std::uint8_t> bytes) const;

private:
    /// The pattern cut at byte boundaries: an optional leading nibble (low half of a byte),
    /// whole bytes, an optional trailing nibble (high half of a byte).
    struct Alignment {
        int head = -1;
        std::vector<std::uint8_t> whole;
        int tail = -1;
        std::size_t span = 0; // bytes covered
        bool at(std::span<const std::uint8_t> b, std::size_t k) const;
    };

    bool usable_ = false;
    std::size_t digits_ = 0;
    Alignment even_; // starting on a byte's first digit
    Alignment odd_;  // starting on a byte's second digit
};

} // namespace vintrace::search
