// vintrace-stall-bench: how long the main window's event loop stands still while it opens a
// large capture, once loading it at once (as every capture was loaded before) and once in the
// background. A 1 ms timer runs throughout; the longest gap between its ticks is the longest
// time the window could not repaint, move or take a key.
//
//   vintrace-stall-bench --size 1G
//   vintrace-stall-bench --size 64Mi --sync-only    (what a capture at the threshold costs)
//   vintrace-stall-bench --size 64Mi --check        (then View > Problems... over it: the
//                                                    checker runs on a worker)
#include "TrafficGenerator.h"
#include "app/TMainForm.h"
#include "app/TProblemsForm.h"
#include "device/DriverAnalyzer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

struct Stall {
    double totalMs = 0;   // from the request to the capture on screen
    double longestMs = 0; // the longest gap between two ticks of the event loop
    std::size_t records = 0;
};

/// Opens `file`; with `check`, the stall measured is that of View > Problems... until the
/// findings are on screen instead.
Stall Open(const std::string& file, bool background, bool check = false) {
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

    Stall stall;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        stall.longestMs = std::max(stall.longestMs, static_cast<double>(now - lastTick) / 1e6);
        lastTick = now;
    });
    bool opened = false;
    QTimer::singleShot(0, [&] {
        form.OpenCaptureFile(file);
        opened = true;
    });
    clock.start();
    ticker.start();
    while (!opened || form.loading()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    stall.totalMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    QApplication::processEvents(); // the tick that follows the last step
    stall.records = form.PacketList.size();
    if (!check) {
        return stall;
    }
    stall = Stall{0, 0, stall.records};
    bool asked = false;
    const auto checking = [&form] {
        const app::TProblemsForm* problems = form.problemsForm();
        return problems == nullptr ||
               problems->SummaryLabel->text() == QStringLiteral("Checking\u2026");
    };
    QTimer::singleShot(0, [&] {
        form.Problems1->trigger();
        asked = true;
    });
    clock.restart();
    lastTick = 0;
    while (!asked || checking()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    stall.totalMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    QApplication::processEvents();
    std::printf("%s\n", form.problemsForm()->SummaryLabel->text().toLocal8Bit().constData());
    return stall;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    const std::size_t size = bench::SizeOption(argc, argv, 1'000'000'000);
    bool syncOnly = false;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        syncOnly = syncOnly || std::strcmp(argv[i], "--sync-only") == 0;
        check = check || std::strcmp(argv[i], "--check") == 0;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QTemporaryDir dir;
    const std::string file = dir.filePath("large.dat").toStdString();
    if (!bench::WriteTrafficFile(file, size)) {
        std::fprintf(stderr, "vintrace-stall-bench: %s: cannot write\n", file.c_str());
        return 2;
    }
    std::printf("file %.1f MB\n", static_cast<double>(size) / 1e6);
    if (check) {
        const Stall s = Open(file, false, true);
        std::printf("problems:   %zu records, on screen after %8.1f ms, longest stall %8.1f ms\n",
                    s.records, s.totalMs, s.longestMs);
        return 0;
    }
    for (const bool background : {false, true}) {
        if (background && syncOnly) {
            break;
        }
        const Stall s = Open(file, background);
        std::printf("%-11s %zu records, on screen after %8.1f ms, longest stall %8.1f ms\n",
                    background ? "background:" : "at once:", s.records, s.totalMs, s.longestMs);
    }
    return 0;
}
