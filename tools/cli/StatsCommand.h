#pragma once

#include <string>

namespace vintrace::cli {

struct StatsOptions {
    std::string file;
    std::string speed = "full";
    bool json = false;
};

/// `vintrace-cli stats`: counts over a capture as a text table or JSON; the exit status.
int RunStats(const StatsOptions& options);

} // namespace vintrace::cli
