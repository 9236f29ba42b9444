#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vintrace::search {

/// What the search looks for; one record for the whole application, edited by the Define
/// Search dialog. Positions, not values: `addressIndex` is a row of the endpoint table and
/// `endpointIndex` 0 for "All" or k for that row's k-th endpoint. A list with nothing
/// chosen stores 255.
struct SearchCriteria {
    bool pidEnabled = false;
    std::uint8_t pidIndex = 0; // 0..7 a kind, 8 DATA0 or DATA1, 9 SOF
    bool addressWithEndpoint = false;
    bool addressAnyEndpoint = false;
    std::uint8_t endpointIndex = 0;
    std::uint8_t addressIndex = 0;
    bool dataEnabled = false;
    std::array<char, 129> dataPattern{}; // zero-terminated hex text
    std::uint8_t dataPatternLength = 0;

    std::string_view pattern() const { return {dataPattern.data(), dataPatternLength}; }
    /// Stores at most 128 characters of `text`.
    void setPattern(std::string_view text);

    friend bool operator==(const SearchCriteria&, const SearchCriteria&) = default;
};

/// A character typed into the pattern field as it is kept: digits, A-F and backspace pass,
/// a-f become upper case, anything else gives 0 (dropped).
constexpr char FilterPatternKey(char key) {
    if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'F') || key == '\b') {
        return key;
    }
    if (key >= 'a' && key <= 'f') {
        return static_cast<char>(key - 'a' + 'A');
    }
    return 0;
}

/// Items of the kind list, by pidIndex.
inline constexpr std::array<std::string_view, 10> kPidItems = {
    "SETUP", "OUT", "IN", "ACK", "NAK", "STALL", "DATA0", "DATA1", "DATA0 or DATA1", "SOF"};

} // namespace vintrace::search
