#include "protocol/ChunkedVector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vintrace::protocol {
namespace {

// Chunks of 64 values, so a few hundred cross several.
using Small = ChunkedVector<std::uint32_t, 6>;

void Fill(Small& v, std::vector<std::uint32_t>& model, std::size_t n, std::uint32_t from) {
    for (std::size_t i = 0; i < n; ++i) {
        v.push_back(from + static_cast<std::uint32_t>(i));
        model.push_back(from + static_cast<std::uint32_t>(i));
    }
}

void ExpectValues(const Small& v, const std::vector<std::uint32_t>& model, std::size_t from = 0) {
    ASSERT_EQ(v.size(), model.size());
    for (std::size_t i = from; i < model.size(); ++i) {
        ASSERT_EQ(v[i], model[i]) << "index " << i;
    }
}

// A cleared array refills in the memory it kept; a sliding window reuses the chunk it freed.
TEST(ChunkedVector, ReusesItsMemory) {
    Small block;
    std::vector<std::uint32_t> model;
    Fill(block, model, 50, 0);
    const std::size_t held = block.memoryUsed();
    for (std::uint32_t round = 1; round < 4; ++round) {
        block.clear();
        model.clear();
        EXPECT_TRUE(block.empty());
        Fill(block, model, 50, round * 100);
        ExpectValues(block, model);
        EXPECT_EQ(block.memoryUsed(), held);
    }
    // Past the first chunk, clear() keeps only the first.
    Fill(block, model, 300, 5000);
    block.clear();
    model.clear();
    Fill(block, model, 10, 9);
    ExpectValues(block, model);

    Small window;
    std::vector<std::uint32_t> all;
    std::size_t most = 0;
    for (std::size_t step = 0; step < 40; ++step) {
        Fill(window, all, 40, static_cast<std::uint32_t>(step * 40));
        const std::size_t keep = all.size() - 30;
        window.releaseBefore(keep);
        ExpectValues(window, all, keep & ~std::size_t{63});
        if (step > 4) {
            most = std::max(most, window.memoryUsed());
        }
    }
    // The live values span at most two chunks of 64, plus one spare, plus the chunk table.
    EXPECT_LE(most, 3 * 64 * sizeof(std::uint32_t) + 64 * sizeof(void*));
}

// Joining a part moves its values in order; past the first new chunk the array takes the
// part's own copied chunks (touched memory) and keeps no spare one afterwards.
TEST(ChunkedVector, AppendingAPartReusesItsChunks) {
    struct Case {
        std::size_t head;
        std::size_t part;
    };
    for (const Case c : {Case{0, 10}, Case{10, 30}, Case{64, 64}, Case{100, 40}, Case{100, 300},
                         Case{200, 640}, Case{5, 1000}}) {
        SCOPED_TRACE(testing::Message() << "head " << c.head << ", part " << c.part);
        Small joined;
        Small part;
        std::vector<std::uint32_t> model;
        std::vector<std::uint32_t> partModel;
        Fill(joined, model, c.head, 0);
        Fill(part, partModel, c.part, 100000);
        model.insert(model.end(), partModel.begin(), partModel.end());
        std::vector<const std::uint32_t*> partChunks;
        for (std::size_t i = 0; i < c.part; i += 64) {
            partChunks.push_back(&part[i]);
        }
        Small alone;
        std::vector<std::uint32_t> ignored;
        Fill(alone, ignored, model.size(), 0);

        joined.append(std::move(part));
        ExpectValues(joined, model);
        EXPECT_TRUE(part.empty());
        EXPECT_EQ(joined.memoryUsed(), alone.memoryUsed());
        // Chunks after the first one the join needed come from the part.
        const std::size_t firstNew = (c.head + 63) / 64 * 64;
        for (std::size_t i = firstNew + 64; i < model.size(); i += 64) {
            EXPECT_NE(std::find(partChunks.begin(), partChunks.end(), &joined[i]), partChunks.end())
                << "chunk at " << i << " is fresh memory";
        }
    }
}

} // namespace
} // namespace vintrace::protocol
