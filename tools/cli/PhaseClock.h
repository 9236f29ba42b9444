#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace vintrace::cli {

/// With VINTRACE_PHASES set, how long each step of a run took, on standard error: where a
/// slow run spends its time without a profiler. Where the system counts the process's CPU
/// time, each step also says how many CPUs it kept busy on average: a step near 1 on a machine
/// of two leaves a core idle.
class PhaseClock {
public:
    PhaseClock()
        : on_(std::getenv("VINTRACE_PHASES") != nullptr), last_(Clock::now()),
          lastCpu_(on_ ? CpuSeconds() : -1) {}

    void lap(const char* phase) {
        if (!on_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        const double ms = std::chrono::duration<double, std::milli>(now - last_).count();
        const double cpu = CpuSeconds();
        if (cpu >= 0 && lastCpu_ >= 0 && ms > 0) {
            std::fprintf(stderr, "vintrace-cli: phase %-9s %8.1f ms, %.2f CPUs\n", phase, ms,
                         (cpu - lastCpu_) * 1e3 / ms);
        } else {
            std::fprintf(stderr, "vintrace-cli: phase %-9s %8.1f ms\n", phase, ms);
        }
        last_ = now;
        lastCpu_ = cpu;
    }

private:
    using Clock = std::chrono::steady_clock;

    /// User and system time of every thread of the process so far; -1 where unknown.
    static double CpuSeconds() {
#if defined(__unix__)
        rusage use{};
        if (getrusage(RUSAGE_SELF, &use) == 0) {
            auto seconds = [](const timeval& t) {
                return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
            };
            return seconds(use.ru_utime) + seconds(use.ru_stime);
        }
#endif
        return -1;
    }

    bool on_;
    Clock::time_point last_;
    double lastCpu_;
};

} // namespace vintrace::cli
