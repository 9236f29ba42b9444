// Throughput of pcap export and import and of checking a whole capture, on generated
// full-speed traffic. Bytes processed are bytes of capture file (the .dat form), so the
// figures compare with the loader's. Files go to the temp directory (TMPDIR; a tmpfs such as
// /dev/shm takes the disk out of the figure) and are removed; each conversion writes a new
// file, as a user's would, rather than replacing the last one.
#include "TrafficGenerator.h"
#include "capture/CaptureCheck.h"
#include "capture/CaptureDecoder.h"
#include "capture/PcapFile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace {

using namespace vintrace;

constexpr std::int64_t kMB = 1'000'000;

struct Capture {
    std::vector<std::uint8_t> dat;
    capture::PacketList packets;
};

const Capture& Traffic(std::size_t size) {
    static std::map<std::size_t, Capture> cache;
    auto it = cache.find(size);
    if (it == cache.end()) {
        it = cache.try_emplace(size).first;
        it->second.dat = bench::GenerateTraffic(size);
        capture::ParseCaptureFile(it->second.dat, it->second.packets);
    }
    return it->second;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("vintrace-bench-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

void BM_ExportPcap(benchmark::State& state) {
    const Capture& c = Traffic(static_cast<std::size_t>(state.range(0)));
    const std::string out = TempPath("export.pcap");
    for (auto _ : state) {
        const capture::PcapResult r =
            capture::ExportPcap(c.packets, out, capture::UsbLinkType::FullSpeed, false);
        if (!r.ok()) {
            state.SkipWithError(r.reason.c_str());
            break;
        }
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(c.dat.size()));
    state.counters["records"] = static_cast<double>(c.packets.size());
}
BENCHMARK(BM_ExportPcap)->Arg(100 * kMB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImportPcap(benchmark::State& state) {
    const Capture& c = Traffic(static_cast<std::size_t>(state.range(0)));
    const std::string pcap = TempPath("import.pcap");
    const std::string out = TempPath("import.dat");
    if (!capture::ExportPcap(c.packets, pcap, capture::UsbLinkType::FullSpeed, true).ok()) {
        state.SkipWithError("cannot write the pcap");
        return;
    }
    for (auto _ : state) {
        const capture::PcapResult r = capture::ImportPcap(pcap, out, false);
        if (!r.ok()) {
            state.SkipWithError(r.reason.c_str());
            break;
        }
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
    }
    std::remove(pcap.c_str());
    std::remove(out.c_str());
    // The pcap holds the stored bytes only; a long packet's surplus never reaches it, so the
    // written capture can be a little smaller than the one the records came from.
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(c.dat.size()));
    state.counters["records"] = static_cast<double>(c.packets.size());
}
BENCHMARK(BM_ImportPcap)->Arg(100 * kMB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckCapture(benchmark::State& state) {
    const Capture& c = Traffic(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto findings = capture::CheckCapture(c.packets);
        benchmark::DoNotOptimize(findings.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(c.packets.size()));
    state.counters["records"] = static_cast<double>(c.packets.size());
}
BENCHMARK(BM_CheckCapture)
    ->Arg(100 * kMB)
    ->Arg(360 * kMB) // ~10 million records
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
