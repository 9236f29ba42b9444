// vintrace-growth-bench: feeds each generated worst case at growing sizes and fails when its
// CPU time grows faster than linearly. A CPU-time limit stops a run that has gone badly wrong.
//
//   vintrace-growth-bench                   every case, sizes base x 1, 2, 4, 8
//   vintrace-growth-bench --case NAME       one case
//   vintrace-growth-bench --write NAME N F  write case NAME for n = N to capture file F
#include "WorstCases.h"

#include "capture/CaptureDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>

namespace {

using namespace vintrace;

constexpr double kWorstExponent = 1.35; // linear plus room for caches and noise
constexpr rlim_t kCpuSeconds = 300;
constexpr double kMeasuredSeconds = 0.2;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

/// CPU time of one run over the capture for `n`: runs repeated until they add up to a time the
/// process clock measures well.
double Measure(const bench::WorstCase& c, std::size_t n) {
    capture::PacketList packets;
    capture::ParseCaptureFile(c.generate(n), packets);
    c.run(packets); // warms the allocator and the caches
    const double start = CpuSeconds();
    int runs = 0;
    double spent = 0;
    do {
        c.run(packets);
        ++runs;
        spent = CpuSeconds() - start;
    } while (spent < kMeasuredSeconds);
    return spent / runs;
}

/// False when the case's cost grows faster than linearly.
bool Check(const bench::WorstCase& c) {
    std::vector<std::size_t> sizes;
    for (std::size_t n = c.base; sizes.size() < 4 && n <= c.limit; n *= 2) {
        sizes.push_back(n);
    }
    std::vector<double> times;
    for (std::size_t n : sizes) {
        times.push_back(std::max(Measure(c, n), 1e-6));
        std::printf("%-20s n=%-8zu %10.4f s\n", std::string(c.name).c_str(), n, times.back());
    }
    const double exponent =
        std::log(times.back() / times.front()) /
        std::log(static_cast<double>(sizes.back()) / static_cast<double>(sizes.front()));
    std::printf("%-20s cost grows as n^%.2f (%s)\n", std::string(c.name).c_str(), exponent,
                std::string(c.what).c_str());
    if (exponent > kWorstExponent) {
        std::fprintf(stderr,
                     "vintrace-growth-bench: %s: cost grows as n^%.2f, more than linearly\n",
                     std::string(c.name).c_str(), exponent);
        return false;
    }
    return true;
}

const bench::WorstCase* Find(std::string_view name) {
    for (const bench::WorstCase& c : bench::WorstCases()) {
        if (c.name == name) {
            return &c;
        }
    }
    std::fprintf(stderr, "vintrace-growth-bench: no case %s\n", std::string(name).c_str());
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    const rlimit cpu{kCpuSeconds, kCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    // Freed memory stays with the process: otherwise large blocks go back to the system after
    // every run and page faults, not the code, set the slope. One arena for every thread: a
    // worker's own arena maps a block larger than its heap afresh each run, whatever the
    // thresholds say.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--write") {
        const bench::WorstCase* c = Find(args[1]);
        if (c == nullptr) {
            return 2;
        }
        const std::vector<std::uint8_t> bytes =
            c->generate(std::strtoull(args[2].c_str(), nullptr, 10));
        std::FILE* out = std::fopen(args[3].c_str(), "wb");
        const bool ok =
            out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (out == nullptr || std::fclose(out) != 0 || !ok) {
            std::fprintf(stderr, "vintrace-growth-bench: %s: cannot be written\n", args[3].c_str());
            return 2;
        }
        return 0;
    }
    bool ok = true;
    if (args.size() == 2 && args[0] == "--case") {
        const bench::WorstCase* c = Find(args[1]);
        return c != nullptr && Check(*c) ? 0 : 1;
    }
    for (const bench::WorstCase& c : bench::WorstCases()) {
        ok = Check(c) && ok;
    }
    return ok ? 0 : 1;
}
