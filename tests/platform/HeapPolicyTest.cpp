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

// Chunks of records and indexes are 256 KiB to 2.5 MiB. Freed, they must leave the process even
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

// Blocks of a large page or more start on a large-page boundary (the system can then map each
// with one page) and, like smaller ones, leave the process when freed; small blocks keep the
// usual alignment.
TEST(HeapPolicy, LargeBlocksStartOnALargePageAndLeaveWhenFreed) {
    using vintrace::platform::kLargePage;
    vintrace::platform::ReturnLargeBlocksToSystem();
    const std::size_t before = Resident();
    constexpr std::size_t kBlocks = 48; // 96 MiB
    // Whole pages, and one and a quarter (a chunk of headers): both start on a boundary.
    auto bytesOf = [](std::size_t i) {
        return i % 2 == 0 ? kLargePage : kLargePage + kLargePage / 4;
    };
    std::vector<vintrace::platform::Block<std::uint8_t>> blocks;
    for (std::size_t i = 0; i < kBlocks; ++i) {
        blocks.push_back(vintrace::platform::NewBackedBlock<std::uint8_t>(bytesOf(i)));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back().get()) % kLargePage, 0u) << i;
        blocks.back()[bytesOf(i) - 1] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t i = 0; i < kBlocks; ++i) {
        ASSERT_EQ(blocks[i][bytesOf(i) - 1], i);
    }
    auto small = vintrace::platform::NewBackedBlock<std::uint64_t>(1000);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.get()) % alignof(std::max_align_t), 0u);
#if defined(__GLIBC__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__) &&                  \
    !defined(__SANITIZE_THREAD__)
    ASSERT_GT(before, 0u);
    EXPECT_GT(Resident(), before + kBlocks * kLargePage * 3 / 4);
    blocks.clear();
    EXPECT_LT(Resident(), before + kBlocks * kLargePage / 10);
#else
    static_cast<void>(before);
#endif
}

} // namespace
