// vintrace-load-bench: loads one large capture file the way the application does and reports
// throughput and memory per record.
//
//   vintrace-load-bench --size 1G         generate 1 GB of traffic in a temp dir, load, delete
//   vintrace-load-bench --file cap.dat    load an existing capture
#include "TrafficGenerator.h"
#include "capture/CaptureLoader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace vintrace;

void Usage(std::FILE* to) {
    std::fputs("usage: vintrace-load-bench [--size N[K|M|G|Ki|Mi|Gi]] [--file PATH] [--keep]\n"
               "                           [--seed N] [--dir DIR] [--threads N]\n"
               "Loads a capture file with LoadCaptureFile and prints decode throughput and\n"
               "memory. Without --file, generates --size bytes (default 100M; K/M/G are\n"
               "powers of 1000, Ki/Mi/Gi of 1024) of full-speed traffic in DIR (default the\n"
               "temp directory) and deletes it afterwards unless --keep is given. --threads\n"
               "sets the decoding threads (default: one per core).\n",
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

double Mb(std::size_t bytes) {
    return static_cast<double>(bytes) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t size = 100'000'000;
    std::string path;
    std::string dir = std::filesystem::temp_directory_path().string();
    std::uint64_t seed = 1;
    bool keep = false;
    unsigned threads = 0;
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
        } else if (arg == "--threads" && hasValue) {
            threads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--keep") {
            keep = true;
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
        std::printf("generating %.0f MB of traffic in %s\n", Mb(size), path.c_str());
        std::fflush(stdout);
        if (!bench::WriteTrafficFile(path, size, seed)) {
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

    const std::size_t baseline = CurrentRss();
    capture::PacketList packets;
    capture::EndpointTable table;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    capture::LoadOptions options;
    options.threads = threads;
    const capture::LoadResult result = capture::LoadCaptureFile(path, packets, table, options);
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds() - cpu0;
    const std::size_t peak = PeakRss();

    if (generated && !keep) {
        std::remove(path.c_str());
    }
    if (!result.ok()) {
        std::fprintf(stderr, "vintrace-load-bench: %s: %s\n", path.c_str(), result.reason.c_str());
        return 1;
    }

    std::size_t stored = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        stored += packets[i].bytes.size();
    }
    const double wall = std::chrono::duration<double>(t1 - t0).count();
    const double records = static_cast<double>(packets.size());
    const std::size_t growth = peak > baseline ? peak - baseline : 0;
    const double overRss =
        records > 0 ? (static_cast<double>(growth) - static_cast<double>(stored)) / records : 0;
    const double overStore =
        records > 0
            ? (static_cast<double>(packets.memoryUsed()) - static_cast<double>(stored)) / records
            : 0;

    std::printf("file size            %zu bytes (%.1f MB)\n", fileSize, Mb(fileSize));
    std::printf("records              %zu\n", packets.size());
    std::printf("endpoint table       %zu addresses\n", table.size());
    std::printf("stored bytes         %zu (%.1f per record)\n", stored,
                records > 0 ? static_cast<double>(stored) / records : 0.0);
    std::printf("threads              %s\n",
                threads == 0 ? "one per core" : std::to_string(threads).c_str());
    std::printf("wall time            %.3f s (cpu %.3f s)\n", wall, cpu);
    std::printf("decode throughput    %.0f MB/s\n", Mb(fileSize) / wall);
    std::printf("baseline RSS         %.1f MB\n", Mb(baseline));
    std::printf("peak RSS             %.1f MB (growth %.1f MB)\n", Mb(peak), Mb(growth));
    std::printf("store memory         %.1f MB (PacketList::memoryUsed)\n",
                Mb(packets.memoryUsed()));
    std::printf("bytes/record beyond stored bytes: %.2f by RSS growth, %.2f by store memory\n",
                overRss, overStore);
    return 0;
}
