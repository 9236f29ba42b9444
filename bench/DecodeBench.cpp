// Decode throughput of the capture decoder on generated full-speed traffic, from memory and
// from a file that is already in the page cache.
#include "TrafficGenerator.h"
#include "capture/CaptureDecoder.h"
#include "capture/CaptureLoader.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace vintrace;

constexpr std::int64_t kMB = 1'000'000;

const std::vector<std::uint8_t>& Traffic(std::size_t size) {
    static std::map<std::size_t, std::vector<std::uint8_t>> cache;
    auto it = cache.find(size);
    if (it == cache.end()) {
        it = cache.emplace(size, bench::GenerateTraffic(size)).first;
    }
    return it->second;
}

void BM_ParseCaptureFile(benchmark::State& state) {
    const auto& data = Traffic(static_cast<std::size_t>(state.range(0)));
    std::size_t records = 0;
    for (auto _ : state) {
        capture::PacketList list;
        capture::ParseCaptureFile(data, list);
        records = list.size();
        benchmark::DoNotOptimize(records);
        state.PauseTiming(); // releasing the store is not part of decoding
        list.clear();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
    state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_ParseCaptureFile)->Arg(kMB)->Arg(100 * kMB)->Unit(benchmark::kMillisecond);

// The same 100 MB decoded in parallel on 1, 2, 4... threads: bytes per second should grow
// with the threads up to the number of cores (UseRealTime: the threads' CPU time is not
// the measure).
void BM_ParseCaptureFileParallel(benchmark::State& state) {
    const auto& data = Traffic(static_cast<std::size_t>(100 * kMB));
    capture::SliceOptions options;
    options.threads = static_cast<unsigned>(state.range(0));
    std::size_t records = 0;
    for (auto _ : state) {
        capture::PacketList list;
        capture::ParseCaptureFileParallel(data, list, options);
        records = list.size();
        benchmark::DoNotOptimize(records);
        state.PauseTiming();
        list.clear();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
    state.counters["records"] = static_cast<double>(records);
    state.counters["threads"] = static_cast<double>(options.threads);
}
BENCHMARK(BM_ParseCaptureFileParallel)
    ->RangeMultiplier(2)
    ->Range(1, std::max(1, static_cast<int>(std::thread::hardware_concurrency())))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

/// A generated capture file in the temp directory, removed at exit.
class TrafficFile {
public:
    explicit TrafficFile(std::size_t size) {
        path_ =
            (std::filesystem::temp_directory_path() /
             ("vintrace-bench-" + std::to_string(::getpid()) + "-" + std::to_string(size) + ".dat"))
                .string();
        ok_ = bench::WriteTrafficFile(path_, size);
    }
    ~TrafficFile() { std::remove(path_.c_str()); }
    TrafficFile(const TrafficFile&) = delete;
    TrafficFile& operator=(const TrafficFile&) = delete;
    const std::string& path() const { return path_; }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

void BM_LoadCaptureFile(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const TrafficFile file(size);
    if (!file.ok()) {
        state.SkipWithError("cannot write the capture file");
        return;
    }
    std::size_t records = 0;
    for (auto _ : state) {
        capture::PacketList list;
        capture::EndpointTable table;
        const capture::LoadResult r = capture::LoadCaptureFile(file.path(), list, table);
        if (!r.ok()) {
            state.SkipWithError(r.reason.c_str());
            break;
        }
        records = list.size();
        state.PauseTiming();
        list.clear();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
    state.counters["records"] = static_cast<double>(records);
}
// The file was just written, so it is read from the page cache (a warm file).
BENCHMARK(BM_LoadCaptureFile)
    ->Arg(kMB)
    ->Arg(100 * kMB)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
