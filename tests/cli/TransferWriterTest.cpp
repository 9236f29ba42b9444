// The transfers writer formats on a worker and on the calling thread when the worker falls
// behind; whatever the threads and batch size, the lines come out once each and in order,
// and decoding on the formatting threads says what one decoder in capture order says.
#include "TransferWriter.h"
#include "support/BusSequence.h"
#include "support/FileContents.h"
#include "support/RandomBus.h"

#include "protocol/ClassDecoder.h"
#include "protocol/TransferLines.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

namespace vintrace::cli {
namespace {

using test::ReadBack;

void Format(std::string& out, const ShownTransfer& shown, unsigned = 0) {
    out += std::to_string(shown.item);
    if (shown.decoded) {
        out += ' ';
        out += *shown.decoded;
    }
    out += '\n';
}

// Every third item carries text, some of it long, so that batches differ in cost.
std::optional<std::string> Text(std::size_t i) {
    if (i % 3 != 0) {
        return std::nullopt;
    }
    return std::string(i % 7 == 0 ? 300 : 5, static_cast<char>('a' + i % 26));
}

TEST(TransferWriter, ParallelMatchesSerial) {
    struct Case {
        unsigned threads;
        std::size_t batch;
        std::size_t items;
    };
    // Batches of one, batches that do not divide the items, one batch short of a whole one,
    // far more batches than the queue holds, and nothing at all.
    for (const Case c :
         {Case{1, 64, 5'000}, Case{2, 1, 5'000}, Case{2, 7, 5'000}, Case{2, 4'999, 5'000},
          Case{2, 5'001, 5'000}, Case{2, 16, 200'000}, Case{2, 100, 0}}) {
        SCOPED_TRACE(testing::Message()
                     << c.threads << " threads, batch " << c.batch << ", " << c.items);
        std::string want;
        for (std::size_t i = 0; i < c.items; ++i) {
            Format(want, {i, Text(i)});
        }
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        {
            TransferWriter writer(f, Format, c.threads, c.batch);
            for (std::size_t i = 0; i < c.items; ++i) {
                ASSERT_TRUE(writer.add({i, Text(i)}));
            }
            EXPECT_TRUE(writer.finish());
        }
        const std::string got = ReadBack(f);
        std::fclose(f);
        EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size();
    }
}

// A full disk (or a closed pipe) stops the items coming and shows as a failure with its
// errno, on either path.
TEST(TransferWriter, StopsAtAFailedWrite) {
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        std::FILE* full = std::fopen("/dev/full", "w");
        if (full == nullptr) {
            GTEST_SKIP() << "no /dev/full";
        }
        bool refused = false;
        {
            TransferWriter writer(full, Format, threads, 100);
            for (std::size_t i = 0; i < 1'000'000 && !refused; ++i) {
                refused = !writer.add({i, Text(i)});
            }
            EXPECT_FALSE(writer.finish());
            EXPECT_EQ(writer.error(), ENOSPC);
        }
        EXPECT_TRUE(refused);
        std::fclose(full);
    }
}

// Left without finish (an exception on the way), the worker stops: what went out is whole
// lines in order, and nothing waits for ever.
TEST(TransferWriter, DroppedUnfinishedStopsTheWorker) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::string want;
    {
        TransferWriter writer(f, Format, 2, 10);
        for (std::size_t i = 0; i < 50'000; ++i) {
            Format(want, {i, Text(i)});
            ASSERT_TRUE(writer.add({i, Text(i)}));
        }
    }
    std::fflush(f);
    const std::string got = ReadBack(f);
    std::fclose(f);
    EXPECT_LT(got.size(), want.size() + 1);
    EXPECT_EQ(want.compare(0, got.size(), got), 0);
    EXPECT_TRUE(got.empty() || got.back() == '\n');
}

/// A bus with a bulk-only disk at address 7 (bulk OUT 0x02, IN 0x81): command, data and
/// status wrappers in random order, tags that match or not, NAKs, stalls, retransmissions,
/// bad CRCs, resets, and now and then a burst of random packets.
capture::PacketList RandomDiskBus(std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bus = "SETUP 7.0, DATA0 8006000200002000, ACK, IN 7.0, DATA1 "
                      "0902200001010080320904000002080650000705810240000007050202400000, ACK, "
                      "OUT 7.0, DATA1, ACK, ";
    std::array<int, 2> toggle{}; // OUT, IN
    auto data = [&](int pipe, const std::string& hex) {
        const std::string packet = "DATA" + std::to_string(toggle[pipe]);
        if (random() % 12 == 0) {
            return packet + "! " + hex + ", "; // a bad CRC16, left unanswered
        }
        toggle[pipe] ^= random() % 12 != 0 ? 1 : 0; // else sent again: the ACK was lost
        return packet + " " + hex + ", ACK, ";
    };
    auto hex = [](std::string& out, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i, v >>= 8) {
            char byte[3];
            std::snprintf(byte, sizeof byte, "%02X", v & 0xFF);
            out += byte;
        }
    };
    // INQUIRY, READ CAPACITY(10), REQUEST SENSE, READ(10), TEST UNIT READY with their lengths
    static constexpr std::pair<std::uint8_t, std::uint32_t> kCommands[] = {
        {0x12, 36}, {0x25, 8}, {0x03, 18}, {0x28, 64}, {0x00, 0}};
    std::uint32_t tag = 0;
    for (int step = 0; step < 400; ++step) {
        std::string payload;
        switch (random() % 8) {
        case 0:
        case 1: { // IN, LUN 0, a 10-byte command block (BOT 1.0 5.1)
            const auto [operation, length] = kCommands[random() % std::size(kCommands)];
            tag = random() % 4 == 0 ? tag : static_cast<std::uint32_t>(random());
            payload = "55534243";
            hex(payload, tag, 4);
            hex(payload, length, 4);
            hex(payload, 0x0A0080, 3);
            hex(payload, operation, 1);
            bus += "OUT 7.2, " + data(0, payload + std::string(30, '0'));
            break;
        }
        case 2:
        case 3: // a data stage of some length, the wrapper's or not
            for (auto words = random() % 4; words > 0; --words) {
                hex(payload, static_cast<std::uint32_t>(random()), 4);
            }
            bus += "IN 7.1, " + data(1, payload);
            break;
        case 4: // a status wrapper, mostly with the last command's tag
            payload = "55534253";
            hex(payload, random() % 5 == 0 ? static_cast<std::uint32_t>(random()) : tag, 4);
            hex(payload, 0, 4);
            hex(payload, random() % 3 == 0 ? 1 : 0, 1);
            bus += "IN 7.1, " + data(1, payload);
            break;
        case 5:
            bus += random() % 2 == 0 ? "IN 7.1, NAK, " : "IN 7.1, STALL, ";
            break;
        case 6: // a Bulk-Only Mass Storage Reset
            bus += "SETUP 7.0, DATA0 21FF000000000000, ACK, IN 7.0, DATA1, ACK, ";
            break;
        default:
            bus += "SOF " + std::to_string(random() % 2048) + ", ";
            break;
        }
    }
    const capture::PacketList ordered = test::BusSequence(bus);
    const capture::PacketList noise = test::RandomBus(2'000, seed);
    capture::PacketList packets;
    for (std::size_t i = 0, n = 0; i < ordered.size(); ++i) {
        for (std::size_t k = random() % 200 == 0 ? random() % 8 : 0; k > 0 && n < noise.size();
             --k, ++n) {
            packets.append(noise[n].kind, noise[n].length, noise[n].bytes);
        }
        packets.append(ordered[i].kind, ordered[i].length, ordered[i].bytes);
    }
    return packets;
}
// Decoding moves to the threads that format, with one decoder each; only the mass-storage
// items, whose text depends on the command before them (BOT 1.0 5.2), are decoded in order
// on the caller, shown or not. The lines must be those of one decoder over every item in
// capture order, whatever the threads, batch size and filter.
TEST(TransferWriter, DecodingOnFormattersMatchesOneDecoderInOrder) {
    using protocol::TransferItem;
    struct Filter {
        const char* name;
        bool (*passes)(const TransferItem&);
    };
    const Filter filters[] = {
        {"all", [](const TransferItem&) { return true; }},
        // The commands hidden: their data stages and statuses still name them.
        {"IN only", [](const TransferItem& i) { return i.direction == protocol::Direction::In; }},
        {"every third", [](const TransferItem& i) { return i.firstTransaction % 3 == 0; }},
    };
    int massStorageLines = 0;
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
        const capture::PacketList packets = RandomDiskBus(seed);
        const protocol::Transactions tx = protocol::GroupTransactions(packets);
        const protocol::DescribedTransferList described =
            protocol::AssembleDescribedTransferList(packets, tx);
        const LineFormat format = [&](std::string& out, const TransferItem& item,
                                      std::optional<std::string_view> decoded) {
            protocol::AppendTransferLine(out, packets, tx, item, decoded);
        };
        for (const Filter& filter : filters) {
            std::string want;
            protocol::ClassDecoder serial(packets, tx, described.devices);
            for (const TransferItem item : described.items) {
                const auto decoded = serial.decode(item);
                if (filter.passes(item)) {
                    format(want, item, decoded ? std::optional(decoded->text) : std::nullopt);
                }
            }
            for (std::size_t at = want.find("CSW"); at != std::string::npos;
                 at = want.find("CSW", at + 1)) {
                ++massStorageLines;
            }
            for (const auto& [threads, batch] :
                 {std::pair{1u, 64u}, std::pair{2u, 1u}, std::pair{2u, 3u}, std::pair{2u, 50u}}) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << filter.name << ", "
                                                << threads << " threads, batch " << batch);
                std::FILE* f = std::tmpfile();
                ASSERT_NE(f, nullptr);
                int error = -1;
                EXPECT_TRUE(WriteDecodedTransfers(f, packets, tx, described.devices,
                                                  described.items, filter.passes, format, threads,
                                                  batch, error));
                EXPECT_EQ(error, 0);
                const std::string got = ReadBack(f);
                std::fclose(f);
                EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size();
            }
        }
    }
    // The buses hold what the serial decoder keeps state for.
    EXPECT_GT(massStorageLines, 50);
}

} // namespace
} // namespace vintrace::cli
