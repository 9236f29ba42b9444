// vintrace-group-bench: grouping a large capture into transactions and transfers, and checking
// it (10 million records of generated full-speed traffic by default; VINTRACE_BENCH_RECORDS
// overrides). The check should cost about what the transfers it reads cost to build.
#include "TrafficGenerator.h"
#include "capture/CaptureDecoder.h"
#include "protocol/Devices.h"
#include "protocol/Diagnostics.h"
#include "protocol/Transfers.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

using namespace vintrace;

std::size_t WantedRecords() {
    const char* env = std::getenv("VINTRACE_BENCH_RECORDS");
    return env ? std::strtoull(env, nullptr, 10) : 10'000'000;
}

const capture::PacketList& Loaded() {
    static const capture::PacketList list = [] {
        std::vector<std::uint8_t> bytes;
        bench::TrafficGenerator generator(7);
        bytes.reserve(WantedRecords() * 40);
        std::size_t records = 0;
        while (records < WantedRecords()) {
            const std::size_t before = bytes.size();
            generator.appendFrame(bytes);
            for (std::size_t i = before; i < bytes.size(); i += 2) {
                records += bytes[i] == 1;
            }
        }
        capture::PacketList l;
        capture::ParseCaptureFile(bytes, l);
        return l;
    }();
    return list;
}

const protocol::Transactions& Grouped() {
    static const protocol::Transactions tx = protocol::GroupTransactions(Loaded());
    return tx;
}

void BM_GroupTransactions(benchmark::State& state) {
    const capture::PacketList& packets = Loaded();
    std::size_t transactions = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const protocol::Transactions tx = protocol::GroupTransactions(packets);
        transactions = tx.size();
        bytes = tx.memoryUsed();
        benchmark::DoNotOptimize(transactions);
    }
    state.counters["records"] = static_cast<double>(packets.size());
    state.counters["transactions"] = static_cast<double>(transactions);
    state.counters["index_bytes_per_record"] =
        static_cast<double>(bytes) / static_cast<double>(packets.size());
}

void RunAssemble(benchmark::State& state, bool fold) {
    const capture::PacketList& packets = Loaded();
    const protocol::Transactions& tx = Grouped();
    protocol::TransferOptions options;
    options.fold = fold;
    std::size_t items = 0;
    for (auto _ : state) {
        const auto transfers = protocol::AssembleTransfers(packets, tx, options);
        items = transfers.size();
        benchmark::DoNotOptimize(items);
    }
    state.counters["transactions"] = static_cast<double>(tx.size());
    state.counters["items"] = static_cast<double>(items);
}

void BM_AssembleTransfersFolded(benchmark::State& state) {
    RunAssemble(state, true);
}
void BM_AssembleTransfersUnfolded(benchmark::State& state) {
    RunAssemble(state, false);
}

/// What `transfers` and `check` read: the transfer list grouped by the capture's descriptors.
void BM_AssembleDescribedTransfers(benchmark::State& state) {
    const capture::PacketList& packets = Loaded();
    const protocol::Transactions& tx = Grouped();
    std::size_t items = 0;
    for (auto _ : state) {
        const protocol::DescribedTransfers described =
            protocol::AssembleDescribedTransfers(packets, tx);
        items = described.items.size();
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = static_cast<double>(items);
}

void BM_Diagnose(benchmark::State& state) {
    const capture::PacketList& packets = Loaded();
    const protocol::Transactions& tx = Grouped();
    static const protocol::DescribedTransfers described =
        protocol::AssembleDescribedTransfers(packets, tx);
    std::size_t findings = 0;
    for (auto _ : state) {
        findings = protocol::Diagnose(packets, tx, described.items, described.devices).size();
        benchmark::DoNotOptimize(findings);
    }
    state.counters["records"] = static_cast<double>(packets.size());
    state.counters["findings"] = static_cast<double>(findings);
}

BENCHMARK(BM_GroupTransactions)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_AssembleTransfersFolded)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AssembleTransfersUnfolded)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AssembleDescribedTransfers)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Diagnose)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
