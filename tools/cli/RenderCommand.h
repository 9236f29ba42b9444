#pragma once

#include <cstdint>
#include <string>

namespace vintrace::cli {

struct RenderOptions {
    std::string file;
    std::string output;
    std::string wrap = "none"; // none, 16 or 32
    std::uint64_t first = 0;
    std::uint64_t count = 50;
    int width = 800;
    bool force = false; // replace an existing regular file (never the input)
};

/// Paints packet lines first..first+count-1 exactly as the packet list shows them into a PNG,
/// written through a staged file. Returns the process exit status.
int RunRender(const RenderOptions& options);

} // namespace vintrace::cli
