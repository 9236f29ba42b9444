#include "capture/HidePasses.h"
#include "capture/HexText.h"
#include "support/RecordNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vintrace::capture {
namespace {

PacketList Make(const std::vector<std::string>& names) {
    return test::MakeRecords(names);
}
std::vector<std::string> Names(const PacketList& list) {
    return test::RecordNames(list);
}

using Names_t = std::vector<std::string>;

TEST(HideNak, RemovesEachNakWithThePacketItAnswers) {
    const struct {
        Names_t before, after;
    } cases[] = {
        {{"IN", "NAK", "IN", "DATA0", "ACK"}, {"IN", "DATA0", "ACK"}},
        {{"OUT", "DATA1", "NAK"}, {"OUT"}},
        {{"SETUP", "DATA0", "NAK"}, {"SETUP"}},
        {{"NAK", "SOF", "ACK"}, {"SOF", "ACK"}},
        {{"SOF", "NAK", "NAK"}, {"SOF"}},
        {{"OUT", "NAK"}, {"OUT"}}, // an OUT token is not the packet a NAK answers
        {{}, {}},
    };
    for (const auto& c : cases) {
        PacketList list = Make(c.before);
        HideNak(list, nullptr);
        EXPECT_EQ(Names(list), c.after) << ::testing::PrintToString(c.before);
    }
}

TEST(HideTransactions, ByEndpointOrAllEndpoints) {
    const Names_t before = {"SOF", "IN3.1", "DATA1", "ACK", "IN3.2", "NAK"};
    PacketList one = Make(before);
    HideTransactions(one, 3, 1, nullptr);
    EXPECT_EQ(Names(one), (Names_t{"SOF", "IN3.2", "NAK"}));

    PacketList all = Make(before);
    HideTransactions(all, 3, std::nullopt, nullptr);
    EXPECT_EQ(Names(all), (Names_t{"SOF"}));
}

TEST(HideTransactions, RunEndsAtAnyOtherKind) {
    PacketList list = Make({"OUT5.0", "SOF", "DATA0", "ACK"});
    HideTransactions(list, 5, std::nullopt, nullptr);
    EXPECT_EQ(Names(list), (Names_t{"SOF", "DATA0", "ACK"}));

    PacketList twice = Make({"IN5.1", "NAK", "IN5.1", "DATA1", "ACK", "UNKNOWN", "IN5.1"});
    HideTransactions(twice, 5, 1, nullptr);
    EXPECT_EQ(Names(twice), (Names_t{"UNKNOWN"}));
}

TEST(HideSof, RemovesOnlySofs) {
    PacketList list = Make({"SOF", "SETUP", "SOF", "DATA0", "SOF"});
    EXPECT_EQ(HideSof(list, nullptr), 3u);
    EXPECT_EQ(Names(list), (Names_t{"SETUP", "DATA0"}));
}

// A hide on a worker builds the remaining headers beside the list; swapped in, they must give
// the very records the pass in place leaves, bytes included, across chunk and word ends.
TEST(HidePasses, HeadersBuiltAsideMatchThePassInPlace) {
    const Names_t pool = {"SOF", "IN3.1", "OUT3.2", "SETUP5.0", "DATA0:0102", "DATA1:A0",
                          "ACK", "NAK",   "STALL",  "IN5.0",    "UNKNOWN",    "IN3.2"};
    Names_t large;
    std::uint32_t seed = 7;
    for (std::size_t i = 0; i < 3 * 65536 + 77; ++i) {
        seed = seed * 1103515245u + 12345u;
        large.push_back(pool[(seed >> 16) % pool.size()]);
    }
    const std::vector<Names_t> captures = {
        {}, {"SOF"}, {"IN", "NAK", "IN", "DATA0", "ACK"}, {"SOF", "NAK", "NAK"}, large};
    const HidePass passes[] = {HidePass::Sof(), HidePass::Nak(),
                               HidePass::Transactions(3, std::nullopt),
                               HidePass::Transactions(3, 2)};
    for (const Names_t& names : captures) {
        for (const HidePass& pass : passes) {
            PacketList inPlace = Make(names);
            RunHidePass(inPlace, pass, nullptr);
            PacketList aside = Make(names);
            std::optional<PacketList::Headers> kept =
                HeadersAfterHide(aside, pass, nullptr, nullptr);
            ASSERT_TRUE(kept.has_value());
            const PacketList::Headers old = aside.swapHeaders(std::move(*kept));
            EXPECT_EQ(old.size(), names.size());
            ASSERT_EQ(aside.size(), inPlace.size()) << names.size();
            for (std::size_t i = 0; i < aside.size(); ++i) {
                ASSERT_EQ(aside[i], inPlace[i]) << i;
            }
        }
    }

    std::atomic<bool> stop{true};
    const PacketList list = Make(large);
    EXPECT_FALSE(HeadersAfterHide(list, HidePass::Sof(), nullptr, &stop).has_value());
    EXPECT_FALSE(HeadersAfterHide(list, HidePass::Nak(), nullptr, &stop).has_value());
}

struct RecordingProgress : Progress {
    std::vector<std::size_t> positions;
    void setRange(std::size_t) override {}
    void setPosition(std::size_t p) override { positions.push_back(p); }
};

// Marking and removing are two phases: the bar restarts from 0 for the removal, whose steps
// count every record visited.
TEST(HidePasses, ProgressCountsEachPhase) {
    RecordingProgress progress;
    PacketList list = Make({"IN", "NAK", "SOF", "NAK"});
    HideNak(list, &progress);
    // Marking: 4 records visited + 3 marked (two NAKs, the IN); then 0; then removal of 4.
    EXPECT_EQ(progress.positions, (std::vector<std::size_t>{0, 4}));
    RecordingProgress byAddress;
    PacketList tokens = Make({"IN3.1", "DATA0", "SOF"});
    HideTransactions(tokens, 3, 1, &byAddress);
    EXPECT_EQ(byAddress.positions, (std::vector<std::size_t>{0, 3}));
}

TEST(HexText, FormatsAndParsesBytes) {
    // As "0x%0*X" writes them: at least the digits asked for, never fewer than the value has.
    const struct {
        std::uint32_t value;
        int digits;
        const char* text;
    } kHex[] = {{26, 0, "0x1A"},     {0, 0, "0x0"},
                {0, 2, "0x00"},      {0x1A, 4, "0x001A"},
                {0xABC, 2, "0xABC"}, {0x43425355, 8, "0x43425355"},
                {7, 1, "0x7"},       {0xFFFFFFFF, 0, "0xFFFFFFFF"},
                {5, 8, "0x00000005"}};
    for (const auto& h : kHex) {
        EXPECT_EQ(HexText(h.value, h.digits), h.text) << h.value << " in " << h.digits;
    }
    EXPECT_EQ(ParseHexByte("0x1A"), 0x1A);
    EXPECT_EQ(ParseHexByte("1a"), 0x1A);
    EXPECT_EQ(ParseHexByte("0X7f"), 0x7F);
    for (const char* bad : {"", "0x", "xyz", "0x1G", "100", " 1", "Nothing", "All"}) {
        EXPECT_FALSE(ParseHexByte(bad).has_value()) << bad;
    }
    EXPECT_EQ(ParseByteLiteral("0x1A"), 26);
    EXPECT_EQ(ParseByteLiteral("26"), 26);
    EXPECT_EQ(ParseByteLiteral("032"), 26);
    EXPECT_EQ(ParseByteLiteral("0"), 0);
    EXPECT_FALSE(ParseByteLiteral("256").has_value());
    EXPECT_FALSE(ParseByteLiteral("09").has_value());
}

} // namespace
} // namespace vintrace::capture
