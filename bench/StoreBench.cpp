// vintrace-store-bench: hiding and searching over a large capture (10 million records of
// generated full-speed traffic by default; VINTRACE_BENCH_RECORDS overrides).
#include "TrafficGenerator.h"
#include "capture/CaptureDecoder.h"
#include "capture/HidePasses.h"
#include "search/PacketSearch.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

using namespace vintrace;

std::size_t WantedRecords() {
    const char* env = std::getenv("VINTRACE_BENCH_RECORDS");
    return env ? std::strtoull(env, nullptr, 10) : 10'000'000;
}

/// The capture file bytes, generated once: about 36 bytes of file per record.
const std::vector<std::uint8_t>& CaptureBytes() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> out;
        bench::TrafficGenerator generator(7);
        capture::PacketList probe;
        out.reserve(WantedRecords() * 40);
        std::size_t records = 0;
        while (records < WantedRecords()) {
            const std::size_t before = out.size();
            generator.appendFrame(out);
            for (std::size_t i = before; i < out.size(); i += 2) {
                records += out[i] == 1;
            }
        }
        return out;
    }();
    return bytes;
}

void Decode(capture::PacketList& list) {
    list.clear();
    capture::ParseCaptureFile(CaptureBytes(), list);
}

template <typename Hide> void RunHide(benchmark::State& state, Hide hide) {
    capture::PacketList list;
    for (auto _ : state) {
        state.PauseTiming();
        Decode(list);
        state.ResumeTiming();
        hide(list);
    }
    state.counters["records"] = static_cast<double>(list.size());
}

void BM_HideSof(benchmark::State& state) {
    RunHide(state, [](capture::PacketList& l) { capture::HideSof(l, nullptr); });
}
void BM_HideNak(benchmark::State& state) {
    RunHide(state, [](capture::PacketList& l) { capture::HideNak(l, nullptr); });
}
void BM_HideAddress(benchmark::State& state) {
    RunHide(state,
            [](capture::PacketList& l) { capture::HideTransactions(l, 2, std::nullopt, nullptr); });
}

const capture::PacketList& Loaded() {
    static capture::PacketList list = [] {
        capture::PacketList l;
        Decode(l);
        return l;
    }();
    return list;
}

/// Scans the whole capture: the criteria never match.
void RunSearch(benchmark::State& state, const search::SearchCriteria& criteria,
               search::WantedValues wanted = {}) {
    const capture::PacketList& list = Loaded();
    for (auto _ : state) {
        auto match = search::FindNext(list, criteria, wanted, 0);
        benchmark::DoNotOptimize(match);
    }
    state.counters["records"] = static_cast<double>(list.size());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * list.size()));
}

void BM_SearchKind(benchmark::State& state) {
    search::SearchCriteria c;
    c.pidEnabled = true;
    c.pidIndex = 5; // STALL: the generated traffic has none
    RunSearch(state, c);
}

void BM_SearchKindAndAddress(benchmark::State& state) {
    search::SearchCriteria c;
    c.pidEnabled = true;
    c.pidIndex = 5;
    c.addressAnyEndpoint = true;
    RunSearch(state, c, {2, 0});
}

// The worst case: every data packet's payload is turned into text and searched.
void BM_SearchData(benchmark::State& state) {
    search::SearchCriteria c;
    c.dataEnabled = true;
    c.setPattern("0123456789ABCDEF0123456789ABCDEF01"); // 17 bytes nobody sends
    RunSearch(state, c);
}

BENCHMARK(BM_HideSof)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_HideNak)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_HideAddress)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SearchKind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchKindAndAddress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchData)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
