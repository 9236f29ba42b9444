// vintrace-group-bench: grouping a large capture into transactions and transfers, and finding
// its devices (10 million records by default; VINTRACE_BENCH_RECORDS overrides), over two
// inputs: generated full-speed traffic, and devices in a reset loop (an emulator recording
// repeated, so that they enumerate again and again); decoding what its transfers carry; and
// checking it, which should cost about what the transfers it reads cost to build.
#include "ResetLoop.h"
#include "TrafficGenerator.h"
#include "capture/CaptureDecoder.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/Diagnostics.h"
#include "protocol/Frames.h"
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

enum Input { kTraffic, kResetLoop };

capture::PacketList Generate(Input input) {
    std::vector<std::uint8_t> bytes;
    if (input == kResetLoop) {
        // About 17.6 bytes of capture a record.
        bytes = bench::ResetLoopTraffic(WantedRecords() * 35 / 2);
    } else {
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
    }
    capture::PacketList l;
    capture::ParseCaptureFile(bytes, l);
    return l;
}

const capture::PacketList& Loaded(Input input) {
    static capture::PacketList lists[2];
    if (lists[input].empty()) {
        lists[input] = Generate(input);
    }
    return lists[input];
}

const protocol::Transactions& Grouped(Input input) {
    static protocol::Transactions tx[2];
    static bool done[2] = {};
    if (!done[input]) {
        tx[input] = protocol::GroupTransactions(Loaded(input));
        done[input] = true;
    }
    return tx[input];
}

/// The list grouped by the capture's own descriptors, and its devices, kept for the
/// benchmarks that read them.
const protocol::DescribedTransfers& Described(Input input) {
    static protocol::DescribedTransfers described[2];
    static bool done[2] = {};
    if (!done[input]) {
        described[input] = protocol::AssembleDescribedTransfers(Loaded(input), Grouped(input));
        done[input] = true;
    }
    return described[input];
}

void Records(benchmark::State& state, const capture::PacketList& packets) {
    state.counters["records"] = static_cast<double>(packets.size());
}

void BM_GroupTransactions(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    std::size_t transactions = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const protocol::Transactions tx = protocol::GroupTransactions(packets);
        transactions = tx.size();
        bytes = tx.memoryUsed();
        benchmark::DoNotOptimize(transactions);
    }
    Records(state, packets);
    state.counters["transactions"] = static_cast<double>(transactions);
    state.counters["index_bytes_per_record"] =
        static_cast<double>(bytes) / static_cast<double>(packets.size());
}

void RunAssemble(benchmark::State& state, bool fold) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    const protocol::Transactions& tx = Grouped(input);
    protocol::TransferOptions options;
    options.fold = fold;
    std::size_t items = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const protocol::TransferList transfers =
            protocol::AssembleTransferList(packets, tx, options);
        items = transfers.size();
        bytes = transfers.memoryUsed();
        benchmark::DoNotOptimize(items);
    }
    Records(state, packets);
    state.counters["transactions"] = static_cast<double>(tx.size());
    state.counters["items"] = static_cast<double>(items);
    state.counters["index_bytes_per_record"] =
        static_cast<double>(bytes + tx.memoryUsed()) / static_cast<double>(packets.size());
}

void BM_AssembleTransfersFolded(benchmark::State& state) {
    RunAssemble(state, true);
}
void BM_AssembleTransfersUnfolded(benchmark::State& state) {
    RunAssemble(state, false);
}

// What the Transfers window and `vintrace-cli transfers` build: transactions, then the devices
// from control traffic, then the list grouped by their descriptors.
void BM_GroupAndDescribe(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const protocol::Transactions tx = protocol::GroupTransactions(packets);
        const protocol::DescribedTransferList described =
            protocol::AssembleDescribedTransferList(packets, tx);
        bytes = tx.memoryUsed() + described.items.memoryUsed();
        benchmark::DoNotOptimize(bytes);
    }
    Records(state, packets);
    state.counters["index_bytes_per_record"] =
        static_cast<double>(bytes) / static_cast<double>(packets.size());
}

// What `vintrace-cli devices` builds: no transfer list, a window of the transactions.
void BM_DevicesFromControlTraffic(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    std::size_t devices = 0;
    for (auto _ : state) {
        devices = protocol::DeviceModel::FromControlTraffic(packets).devices().size();
        benchmark::DoNotOptimize(devices);
    }
    Records(state, packets);
    state.counters["devices"] = static_cast<double>(devices);
}

void BM_Diagnose(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    const protocol::Transactions& tx = Grouped(input);
    const protocol::DescribedTransfers& described = Described(input);
    std::size_t findings = 0;
    for (auto _ : state) {
        findings = protocol::Diagnose(packets, tx, described.items, described.devices).size();
        benchmark::DoNotOptimize(findings);
    }
    Records(state, packets);
    state.counters["findings"] = static_cast<double>(findings);
}

// What the Transfers window's build and `vintrace-cli transfers` say of each item: every item
// in capture order through one decoder, as a disk's wrappers must be read.
void BM_ClassDecode(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    const protocol::Transactions& tx = Grouped(input);
    const protocol::DescribedTransfers& described = Described(input);
    std::size_t texts = 0;
    for (auto _ : state) {
        protocol::ClassDecoder decoder(packets, tx, described.devices);
        texts = 0;
        for (const protocol::TransferItem item : described.items) {
            texts += decoder.decode(item).has_value();
        }
        benchmark::DoNotOptimize(texts);
    }
    Records(state, packets);
    state.counters["items"] = static_cast<double>(described.items.size());
    state.counters["texts"] = static_cast<double>(texts);
}

// The Transfers window's frame index: one pass over the transactions, a few bytes per
// thousand records, and a look-up per Frame cell it paints.
void BM_FrameIndex(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    const protocol::Transactions& tx = Grouped(input);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const protocol::FrameIndex frames = protocol::FrameIndex::Build(packets, tx);
        bytes = frames.memoryUsed();
        benchmark::DoNotOptimize(bytes);
    }
    Records(state, packets);
    state.counters["index_bytes_per_record"] =
        static_cast<double>(bytes) / static_cast<double>(packets.size());
}

void BM_FrameLookUp(benchmark::State& state) {
    const auto input = static_cast<Input>(state.range(0));
    const capture::PacketList& packets = Loaded(input);
    const protocol::Transactions& tx = Grouped(input);
    const protocol::FrameIndex frames = protocol::FrameIndex::Build(packets, tx);
    // The worst place: the last transaction before a checkpoint.
    std::size_t x = 0;
    for (auto _ : state) {
        x = (x + protocol::FrameIndex::kStride) % tx.size();
        const std::size_t at =
            std::min(x - x % protocol::FrameIndex::kStride + protocol::FrameIndex::kStride - 1,
                     tx.size() - 1);
        benchmark::DoNotOptimize(frames.at(packets, tx, at));
    }
}

void Inputs(benchmark::internal::Benchmark* b) {
    b->ArgName("reset_loop")->Arg(kTraffic)->Arg(kResetLoop);
}

BENCHMARK(BM_GroupTransactions)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_AssembleTransfersFolded)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AssembleTransfersUnfolded)
    ->Apply(Inputs)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_GroupAndDescribe)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ClassDecode)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Diagnose)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FrameIndex)->Apply(Inputs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FrameLookUp)->Apply(Inputs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DevicesFromControlTraffic)
    ->Apply(Inputs)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

BENCHMARK_MAIN();
