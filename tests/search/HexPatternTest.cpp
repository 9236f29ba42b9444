#include "search/HexPattern.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vintrace::search {
namespace {

std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

TEST(HexPattern, MatchesAtAnyDigit) {
    const std::vector<std::uint8_t> data = {0x00, 0xA0, 0xB0};
    EXPECT_TRUE(HexPattern("0A0B").foundIn(data));
    EXPECT_TRUE(HexPattern("A0B").foundIn(data));
    EXPECT_TRUE(HexPattern("00A0B0").foundIn(data));
    EXPECT_TRUE(HexPattern("0").foundIn(data));
    EXPECT_FALSE(HexPattern("00A0B00").foundIn(data)); // longer than the text
    EXPECT_FALSE(HexPattern("C").foundIn(data));
    EXPECT_FALSE(HexPattern("a0").usable());
    EXPECT_FALSE(HexPattern("").usable());
    EXPECT_FALSE(HexPattern("0A").foundIn({}));
}

// Against the plain definition: the pattern is a substring of the bytes' hex text.
TEST(HexPattern, AgreesWithSearchingTheHexText) {
    std::mt19937 random(42);
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> data(random() % 10);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(random() % 4 * 0x11 + random() % 2); // few values
        }
        std::string pattern;
        const std::size_t length = 1 + random() % 6;
        for (std::size_t i = 0; i < length; ++i) {
            pattern += "0123"[random() % 4];
        }
        const bool expected = HexText(data).find(pattern) != std::string::npos;
        ASSERT_EQ(HexPattern(pattern).foundIn(data), expected)
            << pattern << " in " << HexText(data);
    }
}

} // namespace
} // namespace vintrace::search
