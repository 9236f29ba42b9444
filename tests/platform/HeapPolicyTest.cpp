#include "platform/HeapPolicy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

/// Resident memory of this process in bytes (Linux), or 0 where unknown.
[[maybe_unused]] std::size_t Resident() {
    std::size_t pages = 0;
    std::size_t resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%zu %zu", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * 4096;
}

// Chunks of records and indexes are 256 KiB to 1 MiB. Freed, they must leave the process even
// after a larger block was freed first (which moves glibc's default threshold above them).
TEST(HeapPolicy, FreedChunksLeaveTheProcess) {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "needs glibc's own allocator";
#else
    vintrace::platform::ReturnLargeBlocksToSystem();
    {
        auto big = std::make_unique<char[]>(4u << 20);
        big[0] = 1;
    }
    const std::size_t before = Resident();
    ASSERT_GT(before, 0u);
    constexpr std::size_t kChunk = 640u << 10;
    constexpr std::size_t kChunks = 400; // 250 MiB
    std::vector<std::unique_ptr<char[]>> chunks;
    for (std::size_t i = 0; i < kChunks; ++i) {
        chunks.push_back(std::make_unique<char[]>(kChunk)); // value-initialised: touched
    }
    EXPECT_GT(Resident(), before + kChunks * kChunk / 2);
    chunks.clear();
    EXPECT_LT(Resident(), before + kChunks * kChunk / 10);
#endif
}

// A chunk is filled as soon as it is taken: its pages come in one request when it is allocated,
// not a fault at a time while the loader writes it (and the block still holds what is written).
TEST(HeapPolicy, BackedBlockIsResidentBeforeItIsWritten) {
#if !defined(__linux__)
    GTEST_SKIP() << "backs pages on Linux only";
#else
    constexpr std::size_t kValues = std::size_t{4} << 20; // 32 MiB
    const std::size_t before = Resident();
    ASSERT_GT(before, 0u);
    auto block = vintrace::platform::NewBackedBlock<std::uint64_t>(kValues);
    EXPECT_GT(Resident(), before + kValues * sizeof(std::uint64_t) * 3 / 4);
    for (std::size_t i = 0; i < kValues; i += 4096) {
        block[i] = i;
    }
    for (std::size_t i = 0; i < kValues; i += 4096) {
        ASSERT_EQ(block[i], i);
    }
    // Small blocks and odd sizes are left alone or backed within their own pages.
    vintrace::platform::BackPages(nullptr, 1u << 20);
    auto odd = vintrace::platform::NewBackedBlock<char>((1u << 20) + 3);
    odd[(1u << 20) + 2] = 'x';
    EXPECT_EQ(odd[(1u << 20) + 2], 'x');
#endif
}

} // namespace
