#include "protocol/EndpointStream.h"

#include "protocol/Devices.h"
#include "protocol/Transfers.h"
#include "support/BusSequence.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vintrace::protocol {
namespace {

/// A control read at `address`, written as bus packets.
std::string ControlIn(const std::string& address, const std::string& setup,
                      const std::string& data) {
    return "SETUP " + address + ".0, DATA0 " + setup + ", ACK, IN " + address + ".0, DATA1 " +
           data + ", ACK, OUT " + address + ".0, DATA1, ACK, ";
}

// An FT232R (0403:6001) at address 2: bulk IN 0x81 and bulk OUT 0x02 of 64 bytes.
const std::string kFtdi =
    ControlIn("2", "8006000100001200", "120110010000000803040160000601020301") +
    ControlIn("2", "8006000200002000",
              "09022000010100A02D0904000002FFFFFF020705810240000007050202400000");

struct Stream {
    std::string text;
    std::vector<Direction> directions;
    std::size_t in = 0;
    std::size_t out = 0;
};

Stream StreamOf(const std::string& bus, std::uint8_t address, std::uint8_t endpoint,
                std::optional<Direction> direction) {
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers d = AssembleDescribedTransfers(packets, tx);
    const EndpointStream s =
        ReconstructStream(packets, tx, d.devices, d.items, address, endpoint, direction);
    Stream out;
    const auto bytes = s.bytes();
    out.text.assign(bytes.begin(), bytes.end());
    for (const StreamChunk& c : s.chunks) {
        out.directions.push_back(c.direction);
    }
    out.out = s.transfers[0];
    out.in = s.transfers[1];
    return out;
}

TEST(EndpointStream, FtdiDataWithoutStatusHeadersAndRetransmissionsOnce) {
    const std::string bus = kFtdi + "OUT 2.2, DATA0 6869, ACK, "
                                    "IN 2.1, DATA0 31604142, ACK, "
                                    // USB 2.0 8.6.4: the ACK was lost, the device sends the same
                                    // packet again with the same toggle; it counts once.
                                    "IN 2.1, DATA0 31604142, ACK, "
                                    "IN 2.1, NAK, "
                                    "IN 2.1, DATA1 3160, ACK, " // status only: no data
                                    "OUT 2.2, DATA1 0D0A, ACK, "
                                    "IN 2.1, DATA0 316043, ACK, "
                                    "OUT 2.1, DATA0 7878, ACK"; // another endpoint 1, the other way
    const Stream in = StreamOf(bus, 2, 1, Direction::In);
    EXPECT_EQ(in.text, "ABC");
    EXPECT_EQ(in.in, 3u); // "AB", the status-only packet and "C"
    EXPECT_EQ(StreamOf(bus, 2, 2, Direction::Out).text, "hi\r\n");
    // Without a direction, both ways in capture order.
    const Stream both = StreamOf(bus, 2, 1, std::nullopt);
    EXPECT_EQ(both.text, "ABCxx");
    EXPECT_EQ(both.directions,
              (std::vector<Direction>{Direction::In, Direction::In, Direction::Out}));
    EXPECT_EQ(both.out, 1u);
}

TEST(EndpointStream, OtherDevicesKeepEveryByteAndControlIsNoStream) {
    // The same bytes from a device the capture does not describe are data, headers and all.
    const std::string bus = "IN 3.1, DATA0 31604142, ACK, IN 3.1, DATA1 43, ACK, "
                            "SETUP 3.0, DATA0 4003000000000000, ACK, IN 3.0, DATA1, ACK";
    EXPECT_EQ(StreamOf(bus, 3, 1, Direction::In).text, "1`ABC");
    const Stream control = StreamOf(bus, 3, 0, std::nullopt);
    EXPECT_EQ(control.in + control.out, 0u);
    EXPECT_EQ(StreamOf(bus, 4, 1, std::nullopt).in, 0u);
}

struct Built {
    StreamPair pair;
    Conversation conversation;
};

// The conversation of the pair that the item of `address`.`endpoint` (`direction`) is in, read
// `step` items at a time, keeping `keep` bytes.
Built Follow(const std::string& bus, std::uint8_t address, std::uint8_t endpoint,
             Direction direction, std::size_t step, std::uint64_t keep) {
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers d = AssembleDescribedTransfers(packets, tx);
    Built out;
    for (const TransferItem& item : d.items) {
        if (InStream(item, address, endpoint, direction)) {
            out.pair = StreamPairOf(d.devices, item, FirstRecord(tx, item));
            break;
        }
    }
    ConversationBuilder builder(out.pair, keep);
    std::size_t steps = 0;
    while (!builder.Step(packets, tx, d.devices, d.items, step)) {
        EXPECT_LT(++steps, d.items.size() + 2) << "the builder does not move on";
    }
    out.conversation = builder.conversation();
    return out;
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(EndpointStream, ConversationPairsTheInterfacesEndpointsBothWays) {
    // The FTDI port's IN is 0x81 and its OUT 0x02: one conversation whichever is chosen
    // (USB 2.0 9.6.6: the interface's endpoints, each with its own direction bit).
    const std::string bus = kFtdi + "OUT 2.2, DATA0 6869, ACK, "
                                    "OUT 2.2, DATA1 0D0A, ACK, "
                                    "IN 2.1, DATA0 31604142, ACK, "
                                    "IN 2.1, DATA1 3160, ACK, "
                                    "IN 2.1, DATA0 316043, ACK, "
                                    "OUT 2.2, DATA0 21, ACK";
    const StreamPair ftdi{2, 2, 1};
    struct Case {
        const char* name;
        std::uint8_t endpoint;
        Direction direction;
        std::size_t step;
        std::uint64_t keep;
        std::vector<std::pair<Direction, std::string>> chunks;
        bool cut;
    };
    const std::vector<Case> cases = {
        {"from IN",
         1,
         Direction::In,
         1000,
         1000,
         {{Direction::Out, "hi\r\n"}, {Direction::In, "ABC"}, {Direction::Out, "!"}},
         false},
        {"from OUT, one item a step",
         2,
         Direction::Out,
         1,
         1000,
         {{Direction::Out, "hi\r\n"}, {Direction::In, "ABC"}, {Direction::Out, "!"}},
         false},
        {"kept up to the limit",
         1,
         Direction::In,
         3,
         5,
         {{Direction::Out, "hi\r\n"}, {Direction::In, "A"}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Built b = Follow(bus, 2, c.endpoint, c.direction, c.step, c.keep);
        EXPECT_EQ(b.pair, ftdi);
        std::vector<std::pair<Direction, std::string>> chunks;
        for (const StreamChunk& chunk : b.conversation.chunks) {
            chunks.emplace_back(chunk.direction, Text(chunk.bytes));
        }
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(b.conversation.cut, c.cut);
        // The counts go on past the limit: 5 bytes out in 3 transfers, 3 in over 3.
        EXPECT_EQ(b.conversation.bytes[0], 5u);
        EXPECT_EQ(b.conversation.bytes[1], 3u);
        EXPECT_EQ(b.conversation.transfers[0], 3u);
        EXPECT_EQ(b.conversation.transfers[1], 3u);
    }
    const Built all = Follow(bus, 2, 1, Direction::In, 1000, 1000);
    EXPECT_EQ(Text(all.conversation.bytesOf(Direction::Out)), "hi\r\n!");
    EXPECT_EQ(Text(all.conversation.bytesOf(std::nullopt)), "hi\r\nABC!");
}

TEST(EndpointStream, UndescribedEndpointPairsWithItsOwnNumber) {
    // No descriptors: endpoint 1 both ways is the best guess; endpoint 2 is another stream.
    const std::string bus = "OUT 3.1, DATA0 6162, ACK, IN 3.1, DATA0 63, ACK, "
                            "OUT 3.2, DATA0 7A, ACK";
    const Built b = Follow(bus, 3, 1, Direction::Out, 10, 100);
    EXPECT_EQ(b.pair, (StreamPair{3, 1, 1}));
    EXPECT_EQ(Text(b.conversation.bytesOf(std::nullopt)), "abc");

    // A HID interface with one interrupt IN endpoint talks one way: an OUT 1 the device does
    // not describe is no part of its conversation.
    const std::string hid =
        ControlIn("4", "8006000200001900",
                  "09021900010100A032090400000103010200070581030400" + std::string("0A")) +
        "IN 4.1, DATA0 0102, ACK, OUT 4.1, DATA0 AA, ACK, IN 4.1, DATA1 03, ACK";
    const Built oneWay = Follow(hid, 4, 1, Direction::In, 10, 100);
    EXPECT_EQ(oneWay.pair, (StreamPair{4, std::nullopt, 1}));
    EXPECT_EQ(oneWay.conversation.bytesOf(std::nullopt), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(oneWay.conversation.transfers[0], 0u);
}

} // namespace
} // namespace vintrace::protocol
