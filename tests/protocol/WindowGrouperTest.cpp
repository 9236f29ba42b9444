// Grouping a window at a time, on one thread or several, against one pass over the store.
#include "protocol/WindowGrouper.h"
#include "support/BusSequence.h"
#include "support/RandomBus.h"

#include <gtest/gtest.h>

#include <string>

namespace vintrace::protocol {
namespace {

void ExpectSameLargest(const Transactions& got, const Transactions& want) {
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

void ExpectSameIndex(const Transactions& got, const Transactions& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i], want[i]) << "transaction " << i;
        // Counting a transfer's corrupt members skips blocks the index holds as clean.
        if (want[i].corruptData) {
            ASSERT_EQ(got.nextMaybeCorrupt(i, i), i) << "corrupt transaction " << i;
        }
    }
    ExpectSameLargest(got, want);
}

Transactions GroupByWindows(const capture::PacketList& packets, unsigned threads,
                            std::size_t window, DataCheck check = DataCheck::All) {
    WindowGrouper grouper(packets, threads, window, check);
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

// Grouped without checking the data of endpoints other than 0, the index differs only in
// those transactions' corrupt flags, which checkData then sets as a full check does; the
// largest payloads leave out corrupt data either way (8.6.3: its receiver discards it).
TEST(WindowGrouper, DeferredDataChecksGiveTheIndexOfOnePass) {
    const capture::PacketList packets = test::RandomBus(150'000, 17);
    // Checked data is the longest on no pipe of a random bus: a corrupt packet is here.
    const capture::PacketList longestCorrupt = test::BusSequence(
        Repeat("SETUP 2.0, DATA0! 8006000100001200, IN 2.1, DATA0! 0102030405, IN 2.1, "
               "DATA0 0102, ACK, OUT 2.3, DATA1! 0102, OUT 2.3, DATA1 01, ACK, ",
               200));
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        Transactions bus = GroupByWindows(longestCorrupt, threads, 64, DataCheck::EndpointZero);
        ExpectSameLargest(bus, GroupTransactions(longestCorrupt, 1));
        EXPECT_TRUE(bus[0].corruptData); // endpoint 0: checked while grouping
        EXPECT_FALSE(bus[1].corruptData);
        EXPECT_TRUE(bus.checkData(longestCorrupt, 1));
        EXPECT_TRUE(bus[1].corruptData);
    }
    const Transactions want = GroupTransactions(packets, 1);
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        Transactions got = GroupByWindows(packets, threads, 4'096, DataCheck::EndpointZero);
        ASSERT_EQ(got.size(), want.size());
        std::size_t deferred = 0;
        std::size_t checkedOnEndpointZero = 0;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const Transaction w = want[i];
            Transaction g = got[i];
            if (w.corruptData && w.hasToken() && w.endpoint != 0) {
                ASSERT_FALSE(g.corruptData) << "transaction " << i << " was checked";
                ++deferred;
                g.corruptData = true;
            }
            checkedOnEndpointZero += w.corruptData && w.endpoint == 0 ? 1 : 0;
            ASSERT_EQ(g, w) << "transaction " << i;
        }
        EXPECT_GT(deferred, 100u);
        EXPECT_GT(checkedOnEndpointZero, 100u);
        // Checking every entry, some twice, gives the index (and corrupt marks) of one pass.
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got.checkData(packets, i), want[i].corruptData);
        }
        for (std::size_t i = 0; i < got.size(); i += 3) {
            got.checkData(packets, i);
        }
        ExpectSameIndex(got, want);
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
