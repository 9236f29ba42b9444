// vintrace-load-bench: loads one large capture file the way the application does and reports
// throughput and memory per record.
//
//   vintrace-load-bench --size 1G         generate 1 GB of traffic in a temp dir, load, delete
//   vintrace-load-bench --file cap.dat    load an existing capture
//   vintrace-load-bench --threads 1,2 --runs 5   best of 5 loads on 1 and on 2 threads
//   vintrace-load-bench --size 500M --reset-loop --keep   devices re-enumerating again and again
#include "ResetLoop.h"
#include "TrafficGenerator.h"
#include "capture/CaptureLoader.h"
#include "platform/HeapPolicy.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace vintrace;

void Usage(std::FILE* to) {
    std::fputs("usage: vintrace-load-bench [--size N[K|M|G|Ki|Mi|Gi]] [--file PATH] [--keep]\n"
               "                           [--seed N] [--dir DIR] [--threads N[,N...]] [--runs N]\n"
               "                           [--reset-loop]\n"
               "Loads a capture file with LoadCaptureFile and prints decode throughput and\n"
               "memory. Without --file, generates --size bytes (default 100M; K/M/G are\n"
               "powers of 1000, Ki/Mi/Gi of 1024) of full-speed traffic in DIR (default the\n"
               "temp directory) and deletes it afterwards unless --keep is given. --threads\n"
               "lists the decoding thread counts to compare (default: 1 and one per core;\n"
               "0 is one per core); each is loaded --runs times (default 3) and the fastest\n"
               "load is reported, with the CPU time of every run. --reset-loop generates an\n"
               "emulator recording of a mouse, a serial port and a disk, repeated, so that\n"
               "the devices enumerate again and again.\n",
               to);
}

/// Resident set size now, from /proc/self/statm.
std::size_t CurrentRss() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) {
        return 0;
    }
    unsigned long pages = 0;
    unsigned long resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

/// Anonymous memory of this process mapped by large pages now (0 where the system has none or
/// does not say): how much of a store its blocks' large pages back.
std::size_t LargePageBytes() {
    std::FILE* f = std::fopen("/proc/self/smaps_rollup", "r");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    unsigned long kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "AnonHugePages: %lu kB", &kb) == 1) {
            break;
        }
    }
    std::fclose(f);
    return static_cast<std::size_t>(kb) * 1024;
}

std::size_t PeakRss() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<std::size_t>(u.ru_maxrss) * 1024; // kilobytes on Linux
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// Reads the file once so the measured load finds it in the page cache.
bool Warm(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    while (std::fread(buffer.data(), 1, buffer.size(), f) == buffer.size()) {
    }
    std::fclose(f);
    return true;
}

/// "1,2,4": thread counts to compare.
bool ParseThreads(const char* text, std::vector<unsigned>& out) {
    out.clear();
    for (const char* p = text;;) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(p, &end, 10);
        if (end == p || n > 1024) {
            return false;
        }
        out.push_back(static_cast<unsigned>(n));
        if (*end == '\0') {
            return true;
        }
        if (*end != ',') {
            return false;
        }
        p = end + 1;
    }
}

double Mb(std::size_t bytes) {
    return static_cast<double>(bytes) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    vintrace::platform::ReturnLargeBlocksToSystem(); // as the program and the CLI do
    std::size_t size = 100'000'000;
    std::string path;
    std::string dir = std::filesystem::temp_directory_path().string();
    std::uint64_t seed = 1;
    bool keep = false;
    bool resetLoop = false;
    std::vector<unsigned> threadCounts;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--size" && hasValue && vintrace::bench::ParseSize(argv[i + 1], size)) {
            ++i;
        } else if (arg == "--file" && hasValue) {
            path = argv[++i];
        } else if (arg == "--dir" && hasValue) {
            dir = argv[++i];
        } else if (arg == "--seed" && hasValue) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--threads" && hasValue && ParseThreads(argv[i + 1], threadCounts)) {
            ++i;
        } else if (arg == "--runs" && hasValue && std::atoi(argv[i + 1]) > 0) {
            runs = std::atoi(argv[++i]);
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--reset-loop") {
            resetLoop = true;
        } else {
            std::fprintf(stderr, "vintrace-load-bench: bad argument '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    const bool generated = path.empty();
    if (generated) {
        path = (std::filesystem::path(dir) /
                ("vintrace-load-bench-" + std::to_string(::getpid()) + ".dat"))
                   .string();
        std::printf("generating %.0f MB of %s in %s\n", Mb(size),
                    resetLoop ? "a reset loop" : "traffic", path.c_str());
        std::fflush(stdout);
        if (!(resetLoop ? bench::WriteResetLoopFile(path, size, seed)
                        : bench::WriteTrafficFile(path, size, seed))) {
            std::fprintf(stderr, "vintrace-load-bench: %s: cannot write: %s\n", path.c_str(),
                         std::strerror(errno));
            std::remove(path.c_str());
            return 1;
        }
    }
    if (!Warm(path)) {
        std::fprintf(stderr, "vintrace-load-bench: %s: cannot open: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::error_code ec;
    const std::size_t fileSize = std::filesystem::file_size(path, ec);

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    if (threadCounts.empty()) {
        threadCounts.push_back(1);
        if (cores > 1) {
            threadCounts.push_back(cores);
        }
    }
    for (unsigned& t : threadCounts) {
        t = t == 0 ? cores : t;
    }

    const std::size_t baseline = CurrentRss();
    std::printf("file size            %zu bytes (%.1f MB), %u cores\n", fileSize, Mb(fileSize),
                cores);
    std::size_t records = 0;
    std::size_t stored = 0;
    std::size_t storeMemory = 0;
    std::size_t largePages = 0;
    std::size_t addresses = 0;
    double firstBest = 0;
    std::vector<double> cpuTimes;
    for (const unsigned threads : threadCounts) {
        double best = 0;
        cpuTimes.clear();
        for (int run = 0; run < runs; ++run) {
            capture::PacketList packets;
            capture::EndpointTable table;
            capture::LoadOptions options;
            options.threads = threads;
            const double cpu0 = CpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            const capture::LoadResult result =
                capture::LoadCaptureFile(path, packets, table, options);
            const auto t1 = std::chrono::steady_clock::now();
            cpuTimes.push_back(CpuSeconds() - cpu0);
            if (!result.ok()) {
                std::fprintf(stderr, "vintrace-load-bench: %s: %s\n", path.c_str(),
                             result.reason.c_str());
                if (generated && !keep) {
                    std::remove(path.c_str());
                }
                return 1;
            }
            const double wall = std::chrono::duration<double>(t1 - t0).count();
            best = run == 0 ? wall : std::min(best, wall);
            if (records == 0) {
                records = packets.size();
                for (std::size_t i = 0; i < packets.size(); ++i) {
                    stored += packets[i].bytes.size();
                }
                storeMemory = packets.memoryUsed();
                largePages = LargePageBytes();
                addresses = table.size();
            }
        }
        firstBest = firstBest == 0 ? best : firstBest;
        std::printf("%2u thread%s           best of %d: %.3f s, %.0f MB/s, %.2fx the first; cpu s:",
                    threads, threads == 1 ? " " : "s", runs, best, Mb(fileSize) / best,
                    firstBest / best);
        for (const double c : cpuTimes) {
            std::printf(" %.3f", c);
        }
        // What the work costs whatever else the machine runs: file bytes per CPU second of
        // the cheapest run, all threads together.
        std::printf(" (%.0f MB per cpu s)\n",
                    Mb(fileSize) / *std::min_element(cpuTimes.begin(), cpuTimes.end()));
        std::fflush(stdout);
    }
    const std::size_t peak = PeakRss();
    if (generated && !keep) {
        std::remove(path.c_str());
    }

    const double count = static_cast<double>(records);
    const std::size_t growth = peak > baseline ? peak - baseline : 0;
    const double overRss =
        count > 0 ? (static_cast<double>(growth) - static_cast<double>(stored)) / count : 0;
    const double overStore =
        count > 0 ? (static_cast<double>(storeMemory) - static_cast<double>(stored)) / count : 0;
    std::printf("records              %zu\n", records);
    std::printf("endpoint table       %zu addresses\n", addresses);
    std::printf("stored bytes         %zu (%.1f per record)\n", stored,
                count > 0 ? static_cast<double>(stored) / count : 0.0);
    std::printf("baseline RSS         %.1f MB\n", Mb(baseline));
    std::printf("peak RSS             %.1f MB (growth %.1f MB)\n", Mb(peak), Mb(growth));
    std::printf("store memory         %.1f MB (PacketList::memoryUsed), %.1f MB on large pages\n",
                Mb(storeMemory), Mb(largePages));
    std::printf("bytes/record beyond stored bytes: %.2f by RSS growth, %.2f by store memory\n",
                overRss, overStore);
    return 0;
}
