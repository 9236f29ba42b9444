#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace vintrace::cli {

/// With VINTRACE_PHASES set, how long each step of a run took, on standard error: where a
/// slow run spends its time without a profiler.
class PhaseClock {
public:
    PhaseClock() : on_(std::getenv("VINTRACE_PHASES") != nullptr), last_(Clock::now()) {}
    void lap(const char* phase) {
        if (!on_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        std::fprintf(stderr, "vintrace-cli: phase %-9s %8.1f ms\n", phase,
                     std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool on_;
    Clock::time_point last_;
};

} // namespace vintrace::cli
