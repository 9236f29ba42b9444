#include "platform/HeapPolicy.h"

#include <gtest/gtest.h>

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

} // namespace
