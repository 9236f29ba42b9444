// vintrace-view-bench: opens a large generated capture in the main window (offscreen) and
// times what a user does with it: the first paint, a wrap-mode change, jumping to the end,
// dragging the scroll bar end to end, and a click in the shrink view.
//
//   vintrace-view-bench --size 100M        about 2.8 million records
//   vintrace-view-bench --size 360M        about 10 million records
#include "TrafficGenerator.h"
#include "app/TMainForm.h"
#include "device/DriverAnalyzer.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::size_t CurrentRss() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    unsigned long resident = 0;
    if (f == nullptr) {
        return 0;
    }
    const int n = std::fscanf(f, "%lu %lu", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * 4096ul : 0;
}

double Ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    const std::size_t size = bench::SizeOption(argc, argv, 100'000'000);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QTemporaryDir dir;
    const std::string file = dir.filePath("usbdata.dat").toStdString();
    if (!bench::WriteTrafficFile(file, size)) {
        std::fprintf(stderr, "vintrace-view-bench: %s: cannot write\n", file.c_str());
        return 2;
    }
    QDir::setCurrent(dir.path());
    const std::size_t rssBefore = CurrentRss();

    device::DriverAnalyzer analyzer;
    QElapsedTimer timer;
    timer.start();
    app::TMainForm form(analyzer);
    // A large capture loads in the background; the timings below are of the loaded capture.
    while (form.loading()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double loaded = Ms(timer);
    form.show();
    form.grab();
    const double firstPaint = Ms(timer);
    const std::size_t records = form.PacketList.size();
    const std::size_t rssAfter = CurrentRss();

    timer.restart();
    form.Wrap16->trigger();
    form.ListBox1->viewport()->grab();
    const double wrapChange = Ms(timer);

    timer.restart();
    form.ListBox1->setFocus();
    QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
    QApplication::sendEvent(form.ListBox1, &end);
    form.ListBox1->viewport()->grab();
    const double toEnd = Ms(timer);

    QScrollBar* bar = form.ListBox1->verticalScrollBar();
    constexpr int kFrames = 240;
    timer.restart();
    for (int f = 0; f < kFrames; ++f) {
        bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * f / (kFrames - 1)));
        form.ListBox1->viewport()->grab();
        form.ListBox2->viewport()->grab();
    }
    const double perFrame = Ms(timer) / kFrames;

    timer.restart();
    form.ListBox2->setItemIndex(static_cast<std::int64_t>(records / 2));
    form.ListBox2MouseDown();
    form.ListBox1->viewport()->grab();
    const double shrinkClick = Ms(timer);

    std::printf("file %.1f MB, %zu records\n", static_cast<double>(size) / 1e6, records);
    std::printf("open (load + lists): %8.1f ms\n", loaded);
    std::printf("first paint:         %8.1f ms after start\n", firstPaint);
    std::printf("wrap-mode change:    %8.1f ms\n", wrapChange);
    std::printf("Ctrl+End:            %8.1f ms\n", toEnd);
    std::printf("scroll-bar drag:     %8.2f ms per frame (%.0f frames/s)\n", perFrame,
                1000.0 / perFrame);
    std::printf("shrink-view click:   %8.1f ms\n", shrinkClick);
    std::printf("memory: store %.1f MB, process growth %.1f MB (%.1f bytes/record)\n",
                static_cast<double>(form.PacketList.memoryUsed()) / 1e6,
                static_cast<double>(rssAfter - rssBefore) / 1e6,
                records ? static_cast<double>(rssAfter - rssBefore) / static_cast<double>(records)
                        : 0.0);
    return 0;
}
