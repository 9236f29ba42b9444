#include "protocol/TransferFilter.h"
#include "session/CaptureSession.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

constexpr std::uint8_t Status(TransferStatus s) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(s));
}
constexpr std::uint16_t Type(TransferType t) {
    return static_cast<std::uint16_t>(1u << static_cast<unsigned>(t));
}

TransferFilter F(std::optional<std::uint8_t> address = {},
                 std::optional<EndpointChoice> endpoint = {}, std::uint8_t statuses = 0,
                 std::uint16_t types = 0, std::vector<std::uint8_t> classes = {}) {
    TransferFilter f;
    f.address = address;
    f.endpoint = endpoint;
    f.statuses = statuses;
    f.types = types;
    f.classes = std::move(classes);
    return f;
}

// The filter box reads addresses and endpoints as the command line's --address and
// --endpoint do (C literals), and words of status, type and class in any order.
TEST(TransferFilterText, ParsesWhatTheCommandLineTakesAndWords) {
    const std::optional<EndpointChoice> none;
    const struct {
        const char* text;
        std::optional<TransferFilter> expected;
    } cases[] = {
        {"", F()},
        {"   ", F()},
        {" 5 ", F(5, none)},
        {"0x5", F(5, none)},
        {"0X1a", F(26, none)},
        {"010", F(8, none)}, // octal, as a C literal
        {"5.1", F(5, EndpointChoice{1, std::nullopt})},
        {"127.15", F(127, EndpointChoice{15, std::nullopt})},
        {"0x7F.017", F(127, EndpointChoice{15, std::nullopt})},
        // 9.6.6: bit 7 of an endpoint address is the direction.
        {"0x5.0x81", F(5, EndpointChoice{1, Direction::In})},
        {"5.0x8F", F(5, EndpointChoice{15, Direction::In})},
        {"STALL", F({}, none, Status(TransferStatus::Stall))},
        {"stall error", F({}, none, Status(TransferStatus::Stall) | Status(TransferStatus::Error))},
        {"5 stall", F(5, none, Status(TransferStatus::Stall))},
        {"bulk interrupt",
         F({}, none, 0, Type(TransferType::Bulk) | Type(TransferType::Interrupt), {})},
        {"hid 3.1", F(3, EndpointChoice{1, std::nullopt}, 0, 0, {0x03})},
        {"cdc", F({}, none, 0, 0, {0x02, 0x0A})},
        {"isochronous incomplete msc",
         F({}, none, Status(TransferStatus::Incomplete), Type(TransferType::Isochronous), {0x08})},
        // Refused: out of range, malformed, unknown words, two addresses.
        {"128", std::nullopt},
        {"0x80", std::nullopt},
        {"-1", std::nullopt},
        {"5.16", std::nullopt},
        {"5.0x90", std::nullopt},
        {"5.0x7F", std::nullopt},
        {"5.", std::nullopt},
        {"0x", std::nullopt},
        {"0x2x", std::nullopt},
        {"1.2.3", std::nullopt},
        {"5 6", std::nullopt},
        {"x", std::nullopt},
        {"stal", std::nullopt},
        {"hid x", std::nullopt},
    };
    for (const auto& c : cases) {
        const TransferFilterParse parsed = ParseTransferFilter(c.text);
        EXPECT_EQ(parsed.filter, c.expected) << c.text;
        // A refusal says why; a filter needs no excuse.
        EXPECT_EQ(parsed.error.rfind("not a filter: ", 0) == 0, !c.expected) << c.text;
    }
}

TransferItem Item(TransferType type, std::uint8_t address, std::uint8_t endpoint, Direction d,
                  TransferStatus status) {
    TransferItem item;
    item.type = type;
    item.address = address;
    item.endpoint = endpoint;
    item.direction = d;
    item.status = status;
    return item;
}

TEST(TransferFilterMatch, NarrowsByAddressEndpointStatusAndType) {
    const capture::PacketList packets;
    const Transactions tx;
    const TransferItem bulkIn =
        Item(TransferType::Bulk, 5, 1, Direction::In, TransferStatus::Stall);
    const TransferItem bulkOut = Item(TransferType::Bulk, 5, 1, Direction::Out, TransferStatus::Ok);
    const TransferItem control =
        Item(TransferType::Control, 5, 0, Direction::In, TransferStatus::Ok);
    const TransferItem other =
        Item(TransferType::Interrupt, 6, 1, Direction::In, TransferStatus::Error);
    // SOFs and malformed items carry no address: an address never passes them.
    const TransferItem sof = Item(TransferType::Sof, 5, 1, Direction::Out, TransferStatus::Ok);
    const struct {
        const char* filter;
        std::vector<bool> passes; // bulkIn, bulkOut, control, other, sof
    } cases[] = {
        {"", {true, true, true, true, true}},
        {"5", {true, true, true, false, false}},
        {"5.1", {true, true, false, false, false}},
        {"5.0x81", {true, false, false, false, false}},
        {"stall", {true, false, false, false, false}},
        {"ok", {false, true, true, false, true}},
        {"stall error", {true, false, false, true, false}},
        {"5 ok", {false, true, true, false, false}},
        {"control", {false, false, true, false, false}},
        {"bulk interrupt 5", {true, true, false, false, false}},
        {"sof", {false, false, false, false, true}},
        // The capture describes no device: no item has a class.
        {"hid", {false, false, false, false, false}},
    };
    for (const auto& c : cases) {
        const auto filter = ParseTransferFilter(c.filter).filter;
        ASSERT_TRUE(filter) << c.filter;
        const TransferFilterMatch match(*filter, packets, tx, nullptr);
        const std::vector<bool> got = {match(bulkIn), match(bulkOut), match(control), match(other),
                                       match(sof)};
        EXPECT_EQ(got, c.passes) << c.filter;
    }
}

// A class word passes the items that go to an interface of that class: data on its
// endpoints and requests whose wIndex names it (9.3.4). The badge's second device has a CDC
// ACM function and a HID keyboard.
TEST(TransferFilterMatch, ClassFollowsTheInterfaceAnItemGoesTo) {
    session::CaptureSession session;
    ASSERT_TRUE(session.open(VINTRACE_TEST_DATA "/fs-badge.dat").ok());
    const TransferList& items = session.transferList(true);
    const auto passes = [&](const char* text, std::size_t firstRecord) {
        const auto filter = ParseTransferFilter(text).filter;
        EXPECT_TRUE(filter);
        const TransferFilterMatch match(*filter, session.packets(), session.transactions(),
                                        &session.devices());
        for (const TransferItem item : items) {
            if (FirstRecord(session.transactions(), item) == firstRecord) {
                return match(item);
            }
        }
        ADD_FAILURE() << "no item begins at " << firstRecord;
        return false;
    };
    const struct {
        std::size_t record;
        const char* what;
        bool cdc;
        bool hid;
    } cases[] = {
        {6, "GET_DESCRIPTOR DEVICE (to the device)", false, false},
        {208, "SET_LINE_CODING", true, false},
        {1680, "SET_LINE_CODING of the second device", true, false},
        {1731, "GET_DESCRIPTOR REPORT (to the HID interface)", false, true},
        {1758, "SET_REPORT", false, true},
        {1776, "NAKed polls of the keyboard's endpoint 0x83", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(passes("cdc", c.record), c.cdc) << c.what;
        EXPECT_EQ(passes("hid", c.record), c.hid) << c.what;
        EXPECT_EQ(passes("hid cdc", c.record), c.cdc || c.hid) << c.what;
    }
    // A type narrows the class: the keyboard's polls are HID but no control transfer.
    EXPECT_TRUE(passes("polling hid", 1776));
    EXPECT_FALSE(passes("control hid", 1776));
}

} // namespace
} // namespace vintrace::protocol
