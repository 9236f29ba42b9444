// Round trips through the device layer to vintrace-analyzer-emu: one command (find, open,
// ioctl, close) and one whole download of a full recording.

#include "device/AnalyzerCommands.h"
#include "device/DeviceAccess.h"
#include "platform/ShimSettings.h"
#include "support/EmulatorProcess.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace vintrace;

constexpr std::size_t kFullRecording = 2048 + 511 * 512;

// One emulator for the whole run, with a full recording ready to download.
struct Bench {
    test::TempDir root;
    test::EmulatorProcess emu{root.path().string(),
                              {"--memory", std::to_string(kFullRecording), "--fill-seconds", "0"}};
    Bench() {
        platform::SetDeviceRoot(root.path().string());
        device::SetTrigger(15);
        device::BeginAcquisition();
        device::SetArmed(1);
        device::SetStopped(1);
    }
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

void BM_CommandRoundTrip(benchmark::State& state) {
    if (!Shared().emu.ready()) {
        state.SkipWithError("emulator did not start");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device::ReadFifoLevel());
    }
}
BENCHMARK(BM_CommandRoundTrip)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DownloadFullRecording(benchmark::State& state) {
    if (!Shared().emu.ready()) {
        state.SkipWithError("emulator did not start");
        return;
    }
    std::vector<std::uint8_t> buffer(2048);
    std::size_t total = 0;
    for (auto _ : state) {
        platform::HANDLE pipe = device::OpenDataPipe(device::kDataPipeName);
        device::BeginDownload();
        total = 0;
        std::uint32_t asked = 2048;
        for (int block = 0; block < 512; ++block) {
            std::uint32_t count = 0;
            device::TransferBlock(pipe, buffer.data(), asked, count);
            total += count;
            if (count < asked) {
                break;
            }
            asked = 512;
        }
        device::CloseDataPipe(pipe);
    }
    if (total != kFullRecording) {
        state.SkipWithError("download was not whole");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}
BENCHMARK(BM_DownloadFullRecording)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
