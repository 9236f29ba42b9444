// Device trees formatted on two threads come out once each, in order, as on one.
#include "DeviceWriter.h"
#include "support/FileContents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace vintrace::cli {
namespace {

using test::ReadBack;

// Entries of uneven length, so that the two threads' batches differ in cost.
void Format(std::size_t i, std::string& out) {
    out += std::to_string(i);
    out.append(i % 5 == 0 ? 400 : 3, static_cast<char>('a' + i % 26));
    out += '\n';
}

TEST(DeviceWriter, ParallelMatchesSerial) {
    struct Case {
        unsigned threads;
        std::size_t batch;
        std::size_t count;
    };
    // One batch, batches of one, an odd number of batches, a last batch cut short, nothing.
    for (const Case c : {Case{1, 64, 3'000}, Case{2, 64, 40}, Case{2, 1, 3'000}, Case{2, 7, 3'000},
                         Case{2, 1'000, 2'001}, Case{2, 64, 0}}) {
        SCOPED_TRACE(testing::Message()
                     << c.threads << " threads, batch " << c.batch << ", " << c.count);
        std::string want;
        for (std::size_t i = 0; i < c.count; ++i) {
            Format(i, want);
        }
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        int error = -1;
        EXPECT_TRUE(WriteFormatted(f, c.count, Format, c.threads, c.batch, error));
        EXPECT_EQ(error, 0);
        EXPECT_EQ(ReadBack(f), want);
        std::fclose(f);
    }
}

// A full disk ends the writing (the worker too, waiting for a buffer) and says why.
TEST(DeviceWriter, StopsAtAFailedWrite) {
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        std::FILE* full = std::fopen("/dev/full", "w");
        if (full == nullptr) {
            GTEST_SKIP() << "no /dev/full";
        }
        std::setvbuf(full, nullptr, _IONBF, 0);
        std::atomic<std::size_t> formatted{0};
        const auto count = [&formatted](std::size_t i, std::string& out) {
            Format(i, out);
            ++formatted;
        };
        int error = 0;
        EXPECT_FALSE(WriteFormatted(full, 1'000'000, count, threads, 10, error));
        EXPECT_EQ(error, ENOSPC);
        EXPECT_LT(formatted.load(), 1'000u); // it stopped soon after
        std::fclose(full);
    }
}

} // namespace
} // namespace vintrace::cli
