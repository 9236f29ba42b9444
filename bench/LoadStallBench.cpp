// vintrace-stall-bench: how long the main window's event loop stands still while it opens a
// large capture, once loading it at once (as every capture was loaded before) and once in the
// background; then, over the capture loaded in the background, each step of the Transfers
// window: opening it, a click on a packet in the middle and near the end, End in the tree,
// unfolding, hiding SOFs and reloading with it open; then the same with the Devices window open
// (the Transfers window closed). A 1 ms timer runs throughout; the longest gap between its
// ticks is the longest time the window could not repaint, move or take a key. On a virtual
// machine "steal" says how much CPU time the host took from the guest during that gap (summed
// over its CPUs): a gap mostly stolen is the host's, not the window's. "CPUs still" gives, for
// each CPU, the longest time within that gap that a thread pinned to it, which only sleeps 1 ms
// at a time, did not run: a CPU held back from every thread stands still there too, while a
// window busy with its own work leaves both tickers running within a few milliseconds.
//
//   vintrace-stall-bench --size 1G
//   vintrace-stall-bench --size 64Mi --sync-only    (what a capture at the threshold costs)
//   vintrace-stall-bench --size 360M --no-transfers (loads only)
//   vintrace-stall-bench --size 64Mi --check        (then View > Problems... over it: the
//                                                    checker runs on a worker)
//   vintrace-stall-bench --size 360M --devices-at-once (the Devices window's rows built on
//                                                    the window's thread, for comparison)
//   vintrace-stall-bench --size 12G --idle          (nothing to do for 20 s, holding 12 GB: how
//                                                    long the machine alone stands still)
//   vintrace-stall-bench --size 9G --churn          (the same while a thread takes 9 GB and
//                                                    hands it back, again and again, and
//                                                    another computes)
//   vintrace-stall-bench --size 360M --reset-loop   (devices enumerated again and again:
//                                                    tens of thousands of device rows)
#include "ResetLoop.h"
#include "TrafficGenerator.h"
#include "app/CommandEvent.h"
#include "app/TDevicesForm.h"
#include "app/TMainForm.h"
#include "app/TProblemsForm.h"
#include "app/TTransfersForm.h"
#include "capture/Command.h"
#include "device/DriverAnalyzer.h"
#include "platform/HeapPolicy.h"
#include "protocol/Transfers.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

namespace {

struct Stall {
    double totalMs = 0;   // from the request to the capture on screen
    double longestMs = 0; // the longest gap between two ticks of the event loop
    std::size_t records = 0;
    double peakMb = 0;  // the highest resident memory during the step; 0 where unknown
    double startMb = 0; // resident memory before and after the step
    double endMb = 0;
    /// CPU time the host gave to others while the longest stall lasted (a virtual machine's
    /// steal time, summed over its CPUs): a stall the guest could not have avoided.
    double stolenMs = 0;
    /// Per CPU, the longest time within the longest stall that its pinned ticker stood still.
    std::string cpusStill = "-";
};

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Samples the machine's steal time every 2 ms while it lives, to tell how much of a stall
/// the host took (Linux, /proc/stat; nothing elsewhere).
class StealSamples {
public:
    StealSamples() {
#ifdef __linux__
        if (Read() < 0) {
            return;
        }
        sampler_ = std::thread([this] {
            while (!done_.load()) {
                const long long ticks = Read();
                samples_.emplace_back(SteadyNs(), ticks);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
#endif
    }
    ~StealSamples() {
        stop();
    }
    StealSamples(const StealSamples&) = delete;
    StealSamples& operator=(const StealSamples&) = delete;

    void stop() {
        done_ = true;
        if (sampler_.joinable()) {
            sampler_.join();
        }
    }
    /// Steal time between the last sample before `from` and the first after `to` (call after
    /// stop()).
    double stolenMs(long long from, long long to) const {
        long long before = -1;
        long long after = -1;
        for (const auto& [at, ticks] : samples_) {
            if (at <= from) {
                before = ticks;
            }
            if (at >= to && after < 0) {
                after = ticks;
            }
        }
#ifdef __linux__
        if (before >= 0 && after >= before) {
            return static_cast<double>(after - before) * 1000.0 /
                   static_cast<double>(sysconf(_SC_CLK_TCK));
        }
#endif
        return 0;
    }

private:
    /// The eighth figure of the "cpu" line, in clock ticks; -1 when unreadable.
    static long long Read() {
        std::FILE* f = std::fopen("/proc/stat", "r");
        if (f == nullptr) {
            return -1;
        }
        long long v[8] = {};
        const int n = std::fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1],
                                  &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
        std::fclose(f);
        return n == 8 ? v[7] : -1;
    }

    std::atomic<bool> done_{false};
    std::vector<std::pair<long long, long long>> samples_;
    std::thread sampler_;
};

/// A thread pinned to each CPU the bench may use, waking every millisecond and noting when:
/// which CPU stood still for every thread while the window did.
class CpuTickers {
public:
    CpuTickers() {
#ifdef __linux__
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
            return;
        }
        for (int cpu = 0; cpu < CPU_SETSIZE && tickers_.size() < 16; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) {
                continue;
            }
            Ticker& ticker = *tickers_.emplace_back(std::make_unique<Ticker>());
            ticker.ticks.reserve(std::size_t{1} << 16);
            ticker.thread = std::thread([this, &ticker, cpu] {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                pthread_setaffinity_np(pthread_self(), sizeof one, &one);
                while (!done_.load()) {
                    ticker.ticks.push_back(SteadyNs());
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
#endif
    }
    ~CpuTickers() {
        stop();
    }
    CpuTickers(const CpuTickers&) = delete;
    CpuTickers& operator=(const CpuTickers&) = delete;

    void stop() {
        done_ = true;
        for (auto& ticker : tickers_) {
            if (ticker->thread.joinable()) {
                ticker->thread.join();
            }
        }
    }
    /// Per CPU, the longest time within [from, to] that its ticker did not run, in ms and
    /// joined by '/' (call after stop()); "-" without tickers.
    std::string stillMs(long long from, long long to) const {
        std::string out;
        for (const auto& ticker : tickers_) {
            long long longest = 0;
            long long last = from;
            for (const long long at : ticker->ticks) {
                if (at <= from) {
                    continue;
                }
                longest = std::max(longest, std::min(at, to) - last);
                last = at;
                if (at >= to) {
                    break;
                }
            }
            longest = std::max(longest, to - std::min(last, to));
            char ms[32];
            std::snprintf(ms, sizeof ms, "%s%.0f", out.empty() ? "" : "/",
                          static_cast<double>(longest) / 1e6);
            out += ms;
        }
        return out.empty() ? "-" : out;
    }

private:
    struct Ticker {
        std::vector<long long> ticks;
        std::thread thread;
    };
    std::atomic<bool> done_{false};
    std::vector<std::unique_ptr<Ticker>> tickers_;
};

/// Starts a new peak of resident memory, so that each step reports its own (Linux: writing 5
/// to clear_refs resets VmHWM).
void ResetPeakResident() {
#ifdef __linux__
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
#endif
}

/// A line of /proc/self/status in MB ("VmHWM: %lu kB": the peak since the last reset); 0 where
/// the system does not say.
double ResidentMb(const char* format) {
    double mb = 0;
#ifdef __linux__
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            unsigned long kb = 0;
            if (std::sscanf(line, format, &kb) == 1) {
                mb = static_cast<double>(kb) / 1024.0;
            }
        }
        std::fclose(f);
    }
#else
    (void)format;
#endif
    return mb;
}

/// Runs `step` from the event loop, then waits for `done`, with the 1 ms ticker running.
Stall Measure(const std::function<void()>& step, const std::function<bool()>& done) {
    Stall stall;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    QTimer ticker;
    ticker.setInterval(1);
    long long lastSteady = SteadyNs();
    std::pair<long long, long long> longestSteady{lastSteady, lastSteady};
    StealSamples steal;
    CpuTickers cpus;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const long long steady = SteadyNs();
        if (static_cast<double>(now - lastTick) / 1e6 > stall.longestMs) {
            stall.longestMs = static_cast<double>(now - lastTick) / 1e6;
            longestSteady = {lastSteady, steady};
        }
        lastTick = now;
        lastSteady = steady;
    });
    bool ran = false;
    ResetPeakResident();
    stall.startMb = ResidentMb("VmRSS: %lu kB");
    QTimer::singleShot(0, [&] {
        step();
        ran = true;
    });
    clock.start();
    ticker.start();
    while (!ran || !done()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    stall.totalMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    // A step done in one go ends the loop before any tick: the tick due now measures it.
    QApplication::processEvents();
    steal.stop();
    cpus.stop();
    stall.stolenMs = steal.stolenMs(longestSteady.first, longestSteady.second);
    stall.cpusStill = cpus.stillMs(longestSteady.first, longestSteady.second);
    if (std::getenv("VINTRACE_STALL_TRACE") != nullptr) {
        // Where the longest stall lay on the monotonic clock, to find it in a profile taken
        // with the same clock (perf record -k CLOCK_MONOTONIC).
        std::fprintf(stderr, "longest stall: %.6f to %.6f s monotonic\n",
                     static_cast<double>(longestSteady.first) / 1e9,
                     static_cast<double>(longestSteady.second) / 1e9);
    }
    stall.peakMb = ResidentMb("VmHWM: %lu kB");
    stall.endMb = ResidentMb("VmRSS: %lu kB");
    return stall;
}

Stall Open(const std::string& file, bool background) {
    using namespace vintrace;
    device::DriverAnalyzer analyzer;
    app::TMainForm form(analyzer, nullptr, /*loadDefaultCapture=*/false);
    form.Timer1->stop(); // no analyzer to poll
    form.ShowMessage = [](const QString&, const QString& text) {
        std::fprintf(stderr, "vintrace-stall-bench: %s\n", text.toLocal8Bit().constData());
    };
    if (!background) {
        form.BackgroundLoadBytes = std::numeric_limits<std::uint64_t>::max();
    }
    form.show();
    QApplication::processEvents();

    Stall stall = Measure([&] { form.OpenCaptureFile(file); }, [&] { return !form.loading(); });
    stall.records = form.PacketList.size();
    return stall;
}

/// View > Problems... over `file`, loaded at once first, until the findings are on screen.
Stall ProblemsStep(const std::string& file) {
    using namespace vintrace;
    device::DriverAnalyzer analyzer;
    app::TMainForm form(analyzer, nullptr, /*loadDefaultCapture=*/false);
    form.Timer1->stop();
    form.BackgroundLoadBytes = std::numeric_limits<std::uint64_t>::max();
    form.show();
    form.OpenCaptureFile(file);
    const auto checking = [&form] {
        const app::TProblemsForm* problems = form.problemsForm();
        return problems == nullptr ||
               problems->SummaryLabel->text() == QStringLiteral("Checking\u2026");
    };
    Stall stall = Measure([&] { form.Problems1->trigger(); }, [&] { return !checking(); });
    stall.records = form.PacketList.size();
    std::printf("%s\n", form.problemsForm()->SummaryLabel->text().toLocal8Bit().constData());
    return stall;
}

/// The Transfers window's steps over `file`, loaded in the background first, then the Devices
/// window's; `devicesAtOnce` builds the Devices window's rows on the window's thread.
bool TransferSteps(const std::string& file, bool devicesAtOnce) {
    using namespace vintrace;
    device::DriverAnalyzer analyzer;
    app::TMainForm form(analyzer, nullptr, /*loadDefaultCapture=*/false);
    form.Timer1->stop();
    form.ShowMessage = [](const QString&, const QString& text) {
        std::fprintf(stderr, "vintrace-stall-bench: %s\n", text.toLocal8Bit().constData());
    };
    form.show();
    form.OpenCaptureFile(file);
    while (form.loading()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const std::size_t records = form.PacketList.size();
    if (records == 0) {
        return false;
    }
    app::TTransfersForm* window = nullptr;
    const auto ready = [&] {
        return window != nullptr && !window->ProgressLabel->isVisible() && !form.loading();
    };
    const auto report = [](const char* step, const Stall& s) {
        std::printf("%-30s done after %8.1f ms, longest stall %8.1f ms (steal %3.0f, CPUs still "
                    "%s), memory %.0f MB, peak %.0f, then %.0f\n",
                    step, s.totalMs, s.longestMs, s.stolenMs, s.cpusStill.c_str(), s.startMb,
                    s.peakMb, s.endMb);
    };
    report("open Transfers window:", Measure(
                                         [&] {
                                             form.Transfers1->trigger();
                                             window = form.transfersForm();
                                         },
                                         ready));
    if (window == nullptr || window->model().rowCount() == 0) {
        return false;
    }
    const auto click = [&](std::size_t record) {
        return Measure([&] { form.Session.moveCursor(record, session::CursorFrom::PacketList); },
                       [] { return true; });
    };
    report("click a packet at 50 %:", click(records / 2));
    report("click a packet near the end:", click(records - records / 100));
    // The middle member of the transfer that spans the most transactions (a pipe polled
    // across the whole capture): the tree opens that transfer to show the packet's row and
    // the pane gathers its payload.
    {
        const protocol::Transactions& tx = form.Session.transactions();
        std::optional<protocol::TransferItem> longest;
        for (const protocol::TransferItem item : form.Session.transferList(true)) {
            if (item.type != protocol::TransferType::Sof &&
                item.type != protocol::TransferType::Polling &&
                (!longest || item.lastTransaction - item.firstTransaction >
                                 longest->lastTransaction - longest->firstTransaction)) {
                longest = item;
            }
        }
        if (longest) {
            const std::vector<std::size_t> members = protocol::Members(tx, *longest);
            std::printf("longest transfer: %zu transactions\n", members.size());
            report("click in the longest transfer:", click(tx[members[members.size() / 2]].first));
            // That transfer's own row, opened to the page that holds the packet: Copy takes
            // the transfer's line and a line for each of its pages.
            QModelIndex top = window->TransferTree->currentIndex();
            while (top.parent().isValid()) {
                top = top.parent();
            }
            window->TransferTree->setCurrentIndex(top);
            report("copy the longest transfer, open:",
                   Measure([&] { window->CopyAction->trigger(); },
                           [&] { return !window->copying(); }));
        }
    }
    report("End in the tree:", Measure(
                                   [&] {
                                       window->TransferTree->setFocus();
                                       QKeyEvent press(QEvent::KeyPress, Qt::Key_End,
                                                       Qt::NoModifier);
                                       QApplication::sendEvent(window->TransferTree, &press);
                                   },
                                   [] { return true; }));
    report("unfold:", Measure([&] { window->FoldCheckBox->click(); }, ready));
    report("fold again:", Measure([&] { window->FoldCheckBox->click(); }, ready));
    report("hide SOFs:", Measure(
                             [&] {
                                 app::SharedCommand().setCommand(capture::CMD_HIDE_SOF);
                                 app::SendCommand(&form);
                             },
                             ready));
    report("reload:", Measure([&] { form.OpenCaptureFile(file); }, ready));

    // The Devices window alone: a closed Transfers window waits to be shown again.
    window->close();
    app::TDevicesForm* devices = nullptr;
    const auto devicesReady = [&] {
        return devices != nullptr && !devices->rebuilding() && !form.loading();
    };
    report("open Devices window:", Measure(
                                       [&] {
                                           form.Devices1->trigger();
                                           devices = form.devicesForm();
                                       },
                                       devicesReady));
    if (devices == nullptr || devices->model().rowCount() == 0) {
        return false;
    }
    if (devicesAtOnce) {
        devices->DevicesBackgroundRecords = std::numeric_limits<std::size_t>::max();
    }
    report("hide SOFs, Devices open:",
           Measure(
               [&] {
                   app::SharedCommand().setCommand(capture::CMD_HIDE_SOF);
                   app::SendCommand(&form);
               },
               devicesReady));
    report("reload, Devices open:", Measure([&] { form.OpenCaptureFile(file); }, devicesReady));

    // Both windows: the Devices window's rows come from the Transfers window's build as soon as
    // it has found the devices; the second figure is the rest of that build.
    form.Transfers1->trigger();
    Measure([] {}, ready);
    report("reload, both: Devices done",
           Measure([&] { form.OpenCaptureFile(file); }, devicesReady));
    report("reload, both: Transfers done", Measure([] {}, ready));

    // Save the Transfers view as text, beside the capture.
    const std::string text = file + ".view.txt";
    window->ChooseTextFile = [&] { return std::optional(text); };
    report("save as text, both open:", Measure([&] { window->SaveTextAction->trigger(); },
                                               [&] { return window->SaveLabel->isHidden(); }));
    // And the Devices window's text and JSON (a few hundred bytes a device, but a reset loop
    // enumerates its devices again and again).
    // A file of their own: replacing the view's text (a gigabyte at 100 M records) would
    // measure the file system freeing it.
    const std::string devicesText = file + ".devices.txt";
    devices->ChooseTextFile = [&] { return std::optional(devicesText); };
    devices->ChooseJsonFile = [&] { return std::optional(devicesText); };
    report("save devices as text:", Measure([&] { devices->SaveTextAction->trigger(); },
                                            [&] { return devices->SaveLabel->isHidden(); }));
    report("save devices as JSON:", Measure([&] { devices->SaveJsonAction->trigger(); },
                                            [&] { return devices->SaveLabel->isHidden(); }));

    // Export pcap with both windows open, beside the capture, then import it again (the
    // capture it makes loads and both windows fill again); both files removed afterwards.
    const std::string pcap = file + ".export.pcap";
    form.ChoosePcapToExport = [&] { return std::optional(pcap); };
    report("export pcap, both open:", Measure([&] { form.ExportPcap1->trigger(); }, ready));
    form.ChoosePcapToImport = [&] { return std::optional(pcap); };
    report("import it, both open:", Measure([&] { form.ImportPcap1->trigger(); }, ready));
    std::error_code ignored;
    std::filesystem::remove(text, ignored);
    std::filesystem::remove(devicesText, ignored);
    std::filesystem::remove(pcap, ignored);
    std::filesystem::remove(file + ".export.dat", ignored);
    return true;
}

/// The window's event loop with nothing to do for 20 s while the process holds `size` bytes
/// of memory it touched once: how long this machine alone stands still at the memory a step
/// holds, to weigh the steps' stalls against.
int IdleProbe(std::size_t size) {
    const auto held = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    // Volatile: the stores must reach every page.
    volatile std::uint8_t* const pages = held.get();
    for (std::size_t i = 0; i < size; i += 4096) {
        pages[i] = 1;
    }
    QElapsedTimer clock;
    clock.start();
    const Stall s = Measure([] {}, [&] { return clock.elapsed() >= 20'000; });
    std::printf("idle for %.1f s holding %.0f MB: longest stall %8.1f ms (steal %3.0f, CPUs "
                "still %s), memory %.0f MB\n",
                s.totalMs / 1e3, static_cast<double>(size) / 1e6, s.longestMs, s.stolenMs,
                s.cpusStill.c_str(), s.endMb);
    return 0;
}

/// The same 20 s of nothing for the window, while another thread turns `size` bytes of memory
/// over again and again, as a reload or a hide does (taken in blocks backed at once, as the
/// store and indexes take them, then all handed back), and a third only computes. How long
/// this machine stands still at such a turnover with no work of the window's, to weigh those
/// steps' stalls against.
int ChurnProbe(std::size_t size) {
    vintrace::platform::ReturnLargeBlocksToSystem(); // as the program does
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread churn([&] {
        constexpr std::size_t kBlock = vintrace::platform::kLargePage; // a store's block
        while (!stop.load()) {
            std::vector<vintrace::platform::Block<std::uint8_t>> blocks;
            for (std::size_t taken = 0; taken < size && !stop.load(); taken += kBlock) {
                blocks.push_back(vintrace::platform::NewBackedBlock<std::uint8_t>(kBlock));
            }
            blocks.clear();
            ++rounds;
            // A pause, as between steps: memory handed back may go back to the host by then.
            for (int i = 0; i < 30 && !stop.load(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    });
    // And a thread that only computes, as a step's other worker does: with every CPU busy, a
    // CPU that hands memory back waits for the others to drop its old mappings.
    std::thread busy([&] {
        volatile std::uint64_t sum = 0;
        while (!stop.load()) {
            for (std::uint64_t i = 0; i < 1'000'000; ++i) {
                sum = sum + i;
            }
        }
    });
    QElapsedTimer clock;
    clock.start();
    const Stall s = Measure([] {}, [&] { return clock.elapsed() >= 20'000; });
    stop = true;
    churn.join();
    busy.join();
    std::printf("churn for %.1f s, %.0f MB at a time (%d rounds): longest stall %8.1f ms (steal "
                "%3.0f, CPUs still %s)\n",
                s.totalMs / 1e3, static_cast<double>(size) / 1e6, rounds.load(), s.longestMs,
                s.stolenMs, s.cpusStill.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    const std::size_t size = bench::SizeOption(argc, argv, 1'000'000'000);
    bool syncOnly = false;
    bool transfers = true;
    bool check = false;
    bool devicesAtOnce = false;
    bool resetLoop = false;
    bool idle = false;
    bool churn = false;
    for (int i = 1; i < argc; ++i) {
        resetLoop = resetLoop || std::strcmp(argv[i], "--reset-loop") == 0;
        devicesAtOnce = devicesAtOnce || std::strcmp(argv[i], "--devices-at-once") == 0;
        syncOnly = syncOnly || std::strcmp(argv[i], "--sync-only") == 0;
        transfers = transfers && std::strcmp(argv[i], "--no-transfers") != 0;
        check = check || std::strcmp(argv[i], "--check") == 0;
        idle = idle || std::strcmp(argv[i], "--idle") == 0;
        churn = churn || std::strcmp(argv[i], "--churn") == 0;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (idle) {
        return IdleProbe(size);
    }
    if (churn) {
        return ChurnProbe(size);
    }
    QTemporaryDir dir;
    const std::string file = dir.filePath("large.dat").toStdString();
    if (!(resetLoop ? bench::WriteResetLoopFile(file, size)
                    : bench::WriteTrafficFile(file, size))) {
        std::fprintf(stderr, "vintrace-stall-bench: %s: cannot write\n", file.c_str());
        return 2;
    }
    std::printf("file %.1f MB\n", static_cast<double>(size) / 1e6);
    if (check) {
        const Stall s = ProblemsStep(file);
        std::printf("problems:   %zu records, on screen after %8.1f ms, longest stall %8.1f ms\n",
                    s.records, s.totalMs, s.longestMs);
        return 0;
    }
    for (const bool background : {false, true}) {
        if (background && syncOnly) {
            break;
        }
        const Stall s = Open(file, background);
        std::printf("%-11s %zu records, on screen after %8.1f ms, longest stall %8.1f ms "
                    "(steal %3.0f, CPUs still %s), memory %.0f MB, peak %.0f, then %.0f\n",
                    background ? "background:" : "at once:", s.records, s.totalMs, s.longestMs,
                    s.stolenMs, s.cpusStill.c_str(), s.startMb, s.peakMb, s.endMb);
    }
    if (transfers && !syncOnly && !TransferSteps(file, devicesAtOnce)) {
        std::fprintf(stderr, "vintrace-stall-bench: the Transfers or Devices window showed "
                             "nothing\n");
        return 1;
    }
    return 0;
}
