// Grouping a window at a time, on one thread or several, against one pass over the store.
#include "protocol/WindowGrouper.h"
#include "support/BusSequence.h"
#include "support/RandomBus.h"

#include <gtest/gtest.h>

#include <string>

namespace vintrace::protocol {
namespace {

void ExpectSameIndex(const Transactions& got, const Transactions& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << "transaction " << i;
        // Counting a transfer's corrupt members skips blocks the index holds as clean.
        if (want[i].corruptData) {
            ASSERT_EQ(got.nextMaybeCorrupt(i, i), i) << "corrupt transaction " << i;
        }
    }
    ASSERT_NE(got.largestPayloads(), nullptr);
    for (std::uint8_t address = 0; address < 128; ++address) {
        for (std::uint8_t endpoint = 0; endpoint < 16; ++endpoint) {
            for (const Direction d : {Direction::Out, Direction::In}) {
                ASSERT_EQ((*got.largestPayloads())(address, endpoint, d),
                          (*want.largestPayloads())(address, endpoint, d));
            }
        }
    }
}

Transactions GroupByWindows(const capture::PacketList& packets, unsigned threads,
                            std::size_t window) {
    WindowGrouper grouper(packets, threads, window);
    Transactions all;
    std::size_t windows = 0;
    while (grouper.next(all)) {
        ++windows;
    }
    EXPECT_EQ(windows, (packets.size() + window - 1) / window);
    EXPECT_FALSE(grouper.next(all)); // stays at the end
    return all;
}

struct StoreCase {
    const char* name;
    capture::PacketList packets;
    std::vector<std::size_t> windows;
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

TEST(WindowGrouper, GivesTheIndexOfOnePass) {
    const StoreCase cases[] = {
        // Frequent SOFs: most windows start at one; window 1 starts at every record.
        {"random", test::RandomBus(150'000, 3), {1, 7, 4'096, 65'536, 1'000'000}},
        // No SOF at all: every window starts at its first record, and transactions of three
        // and four records cross window bounds, so the index is regrouped from where they end.
        {"no SOF",
         test::BusSequence(Repeat("SETUP 1.0, DATA0 8006000100001200, ACK, IN 1.0, NAK, IN 1.0, "
                                  "DATA1 12010002, ACK, OUT 1.0, DATA1, ACK, IN 2.1, DATA0 0102, "
                                  "ACK, PRE, IN 3.1, DATA0 01, ACK, ",
                                  400)),
         {2, 3, 5, 64, 1'000}},
        {"empty", capture::PacketList{}, {1, 65'536}},
    };
    for (const StoreCase& c : cases) {
        const Transactions want = GroupTransactions(c.packets, 1);
        for (const std::size_t window : c.windows) {
            for (const unsigned threads : {1u, 2u, 3u}) {
                SCOPED_TRACE(std::string(c.name) + ", window " + std::to_string(window) + ", " +
                             std::to_string(threads) + " threads");
                const Transactions got = GroupByWindows(c.packets, threads, window);
                if (want.empty()) {
                    EXPECT_TRUE(got.empty());
                    continue;
                }
                ExpectSameIndex(got, want);
            }
        }
    }
}

// A pass that gives up part-way drops its grouper: the helpers grouping ahead stop.
TEST(WindowGrouper, StopsWhenLeftEarly) {
    const capture::PacketList packets = test::RandomBus(60'000, 9);
    for (const std::size_t read : {0u, 1u, 5u}) {
        WindowGrouper grouper(packets, 3, 1'000);
        Transactions some;
        for (std::size_t w = 0; w < read; ++w) {
            ASSERT_TRUE(grouper.next(some));
        }
        EXPECT_EQ(some.empty(), read == 0);
    }
}

} // namespace
} // namespace vintrace::protocol
