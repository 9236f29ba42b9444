// The transfers writer formats on a worker and on the calling thread when the worker falls
// behind; whatever the threads and batch size, the lines come out once each and in order.
#include "TransferWriter.h"
#include "support/FileContents.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace vintrace::cli {
namespace {

using test::ReadBack;

void Format(std::string& out, const ShownTransfer& shown) {
    out += std::to_string(shown.item.firstTransaction);
    if (shown.decoded) {
        out += ' ';
        out += *shown.decoded;
    }
    out += '\n';
}

protocol::TransferItem Item(std::size_t i) {
    protocol::TransferItem item;
    item.firstTransaction = i;
    return item;
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
            Format(want, {Item(i), Text(i)});
        }
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        {
            TransferWriter writer(f, Format, c.threads, c.batch);
            for (std::size_t i = 0; i < c.items; ++i) {
                ASSERT_TRUE(writer.add(Item(i), Text(i)));
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
                refused = !writer.add(Item(i), Text(i));
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
            Format(want, {Item(i), Text(i)});
            ASSERT_TRUE(writer.add(Item(i), Text(i)));
        }
    }
    std::fflush(f);
    const std::string got = ReadBack(f);
    std::fclose(f);
    EXPECT_LT(got.size(), want.size() + 1);
    EXPECT_EQ(want.compare(0, got.size(), got), 0);
    EXPECT_TRUE(got.empty() || got.back() == '\n');
}

} // namespace
} // namespace vintrace::cli
