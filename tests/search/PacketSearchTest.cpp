#include "search/PacketSearch.h"
#include "support/RecordNames.h"

#include <gtest/gtest.h>

namespace vintrace::search {
namespace {

using test::MakeRecords;

struct Criteria {
    int pid = -1;      // -1: kind criterion off
    int address = -1;  // -1: address criterion off; else the wanted address
    int endpoint = -1; // -1: all endpoints
    const char* data = nullptr;
};

SearchCriteria Make(const Criteria& c) {
    SearchCriteria s;
    s.pidEnabled = c.pid >= 0;
    s.pidIndex = static_cast<std::uint8_t>(c.pid >= 0 ? c.pid : 0);
    s.addressAnyEndpoint = c.address >= 0 && c.endpoint < 0;
    s.addressWithEndpoint = c.address >= 0 && c.endpoint >= 0;
    s.dataEnabled = c.data != nullptr;
    if (c.data) {
        s.setPattern(c.data);
    }
    return s;
}

std::optional<std::size_t> Find(const std::vector<std::string>& records, const Criteria& c,
                                std::size_t start = 0) {
    const WantedValues wanted{static_cast<std::uint8_t>(c.address < 0 ? 0 : c.address),
                              static_cast<std::uint8_t>(c.endpoint < 0 ? 0 : c.endpoint)};
    return FindNext(MakeRecords(records), Make(c), wanted, start);
}

constexpr int kSetup = 0, kOut = 1, kIn = 2, kAck = 3, kNak = 4, kData0 = 6, kData = 8, kSof = 9;
constexpr std::optional<std::size_t> kNone = std::nullopt;

TEST(ChooseRule, ByActiveCriteria) {
    EXPECT_EQ(ChooseRule(Make({})), SearchRule::None);
    EXPECT_EQ(ChooseRule(Make({kAck})), SearchRule::KindOnly);
    EXPECT_EQ(ChooseRule(Make({-1, 3})), SearchRule::AddressOnly);
    EXPECT_EQ(ChooseRule(Make({-1, -1, -1, "AB"})), SearchRule::DataOnly);
    EXPECT_EQ(ChooseRule(Make({kAck, 3, 1})), SearchRule::KindAndAddress);
    EXPECT_EQ(ChooseRule(Make({kAck, -1, -1, "AB"})), SearchRule::KindAndData);
    EXPECT_EQ(ChooseRule(Make({-1, 3, -1, "AB"})), SearchRule::DataAndAddress);
    EXPECT_EQ(ChooseRule(Make({kAck, 3, -1, "AB"})), SearchRule::KindDataAndAddress);
}

TEST(Search, KindOnly) {
    EXPECT_EQ(Find({"SOF", "IN", "DATA1:01", "ACK"}, {kAck}), 3u);
    EXPECT_EQ(Find({"SOF", "IN", "DATA1:01", "ACK"}, {kData}), 2u);
    EXPECT_EQ(Find({"SOF", "IN", "DATA0:01", "ACK"}, {kData}), 2u);
    EXPECT_EQ(Find({"IN", "SOF"}, {kSof}), 1u);
    EXPECT_EQ(Find({"IN", "SOF"}, {kNak}), kNone);
    // The search starts at its start line, and never wraps around.
    EXPECT_EQ(Find({"ACK", "IN", "ACK"}, {kAck}, 1), 2u);
    EXPECT_EQ(Find({"ACK", "IN"}, {kAck}, 1), kNone);
}

TEST(Search, NothingActiveMatchesNothing) {
    EXPECT_EQ(Find({"SETUP", "DATA0:00", "ACK"}, {}), kNone);
    EXPECT_EQ(Find({}, {kAck}), kNone);
}

TEST(Search, AddressOnlyMatchesTokens) {
    EXPECT_EQ(Find({"SOF", "IN2.1", "DATA0:05", "OUT5.3"}, {-1, 5}), 3u);
    EXPECT_EQ(Find({"IN5.1", "OUT5.3"}, {-1, 5, 3}), 1u);
    EXPECT_EQ(Find({"IN5.1", "OUT5.2"}, {-1, 5, 3}), kNone);
}

TEST(Search, DataPatternAtAnyDigit) {
    // 00 A0 B0: the pattern 0A0B starts at the second digit.
    EXPECT_EQ(Find({"SETUP", "DATA0:00A0B0"}, {-1, -1, -1, "0A0B"}), 1u);
    EXPECT_EQ(Find({"DATA1:00A0B0"}, {-1, -1, -1, "A0B"}), 0u);                 // odd length
    EXPECT_EQ(Find({"DATA0:0102", "DATA0:0304"}, {-1, -1, -1, "0203"}), kNone); // across packets
    EXPECT_EQ(Find({"DATA0:01"}, {-1, -1, -1, "0102"}), kNone); // longer than the data
    EXPECT_EQ(Find({"DATA0"}, {-1, -1, -1, "C1"}), kNone);      // no payload; the CRC is not data
    EXPECT_EQ(Find({"DATA0:AB"}, {-1, -1, -1, ""}), kNone);     // an empty pattern never passes
    EXPECT_EQ(Find({"DATA0:AB"}, {-1, -1, -1, "ab"}), kNone);   // case is respected
}

TEST(Search, KindAndAddressFollowsTheLastToken) {
    const std::vector<std::string> records = {"IN5.1", "NAK", "IN6.1", "NAK", "OUT5.2", "ACK"};
    EXPECT_EQ(Find(records, {kNak, 5}), 1u);
    EXPECT_EQ(Find(records, {kNak, 5}, 2), kNone); // IN6.1 resets; only an ACK after OUT5.2
    EXPECT_EQ(Find(records, {kAck, 5}), 5u);
    EXPECT_EQ(Find(records, {kOut, 5}), 4u);
    EXPECT_EQ(Find(records, {kOut, 5, 1}), kNone);
    EXPECT_EQ(Find({"SOF", "IN5.1"}, {kSof, 5}), kNone); // SOF with an address never matches
    // A transaction whose token lies above the start cannot match.
    EXPECT_EQ(Find(records, {kNak, 5}, 1), kNone);
}

TEST(Search, KindAndData) {
    // SETUP with data: the DATA0 of a SETUP transaction, not the one after an OUT.
    EXPECT_EQ(
        Find({"OUT", "DATA0:1234", "ACK", "SETUP", "DATA0:1234", "ACK"}, {kSetup, -1, -1, "1234"}),
        4u);
    // ACK with data: the ACK answering data with the pattern.
    EXPECT_EQ(Find({"OUT", "DATA1:1234", "ACK"}, {kAck, -1, -1, "1234"}), 2u);
    // A NAK in between drops back to idle; the next transaction starts from its token.
    EXPECT_EQ(
        Find({"OUT", "DATA1:1234", "NAK", "OUT", "DATA1:9999", "ACK"}, {kAck, -1, -1, "1234"}),
        kNone);
    EXPECT_EQ(Find({"IN", "DATA1:1234"}, {kData, -1, -1, "34"}), 1u);
    EXPECT_EQ(Find({"IN", "DATA1:1234"}, {kData0, -1, -1, "34"}), kNone);
    EXPECT_EQ(Find({"SOF", "DATA1:1234"}, {kSof, -1, -1, "12"}), kNone);
}

TEST(Search, DataAndAddressNeedsTheTokenRightBefore) {
    EXPECT_EQ(Find({"IN5.1", "DATA0:ABCD"}, {-1, 5, -1, "ABCD"}), 1u);
    EXPECT_EQ(Find({"IN5.1", "SOF", "DATA0:ABCD"}, {-1, 5, -1, "ABCD"}), kNone);
    EXPECT_EQ(Find({"IN4.1", "DATA0:ABCD"}, {-1, 5, -1, "ABCD"}), kNone);
}

TEST(Search, KindDataAndAddress) {
    const std::vector<std::string> records = {"OUT5.1", "DATA1:77", "ACK",
                                              "IN5.1",  "DATA0:77", "ACK"};
    EXPECT_EQ(Find(records, {kIn, 5, -1, "77"}), 4u);
    EXPECT_EQ(Find(records, {kOut, 5, 1, "77"}), 1u);
    EXPECT_EQ(Find(records, {kAck, 5, -1, "77"}), 2u);
    EXPECT_EQ(Find(records, {kData, 5, -1, "77"}), 1u);
    EXPECT_EQ(Find(records, {kAck, 6, -1, "77"}), kNone);
    EXPECT_EQ(Find(records, {kAck, 5, -1, "78"}), kNone);
}

TEST(ResolveWanted, PositionsBecomeValuesOrNothing) {
    capture::EndpointTable table(2);
    table[0].address = 5;
    table[0].endpoints[0] = 1;
    table[0].endpoints[1] = 3;
    table[0].endpointCount = 2;
    table[1].address = 9;
    table[1].endpointCount = 1;
    SearchCriteria c;
    c.addressIndex = 0;
    c.endpointIndex = 2;
    EXPECT_EQ(ResolveWanted(c, table).address, 5);
    EXPECT_EQ(ResolveWanted(c, table).endpoint, 3);
    c.endpointIndex = 0;
    EXPECT_EQ(ResolveWanted(c, table).endpoint, 0);
    c.endpointIndex = 3; // beyond the row's endpoints
    EXPECT_EQ(ResolveWanted(c, table).endpoint, kNoValue);
    c.addressIndex = 255; // no choice
    EXPECT_EQ(ResolveWanted(c, table).address, kNoValue);
    EXPECT_EQ(ResolveWanted(c, {}).address, 0);
    // A value that names nothing matches no token, so the search runs and finds nothing.
    SearchCriteria any = Make({-1, 0});
    EXPECT_EQ(FindNext(MakeRecords({"IN", "OUT5.1"}), any, {kNoValue, kNoValue}, 0), kNone);
}

} // namespace
} // namespace vintrace::search
