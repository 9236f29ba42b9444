#pragma once

#include "capture/PacketList.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vintrace::bench {

/// A small capture that makes one reader's cost grow with what it repeats or nests, and the
/// work a user's command does on it. A new weak spot is one more row of WorstCases().
struct WorstCase {
    std::string_view name;
    std::string_view what;
    /// The capture (capture-file bytes) for `n` repetitions.
    std::vector<std::uint8_t> (*generate)(std::size_t n);
    /// What `devices`, `transfers` or a window does with it.
    void (*run)(const capture::PacketList& packets);
    /// The smallest `n` worth timing, and the largest the capture allows.
    std::size_t base;
    std::size_t limit;
};

std::span<const WorstCase> WorstCases();

} // namespace vintrace::bench
