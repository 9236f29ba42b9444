// vintrace-transfers-bench: opens a large generated capture in the main window (offscreen),
// then times the Transfers window over it: building the indexes, opening the window,
// scrolling the tree (which hands rows to the view in chunks and decodes what they carry as
// far as they are shown), expanding an item, and
// following a click on a packet line deep in the capture.
//
//   vintrace-transfers-bench --size 360M     about 10 million records
#include "TrafficGenerator.h"
#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "device/DriverAnalyzer.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

double Ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

/// CPU time of this thread: on a machine shared with other work, what the step itself costs.
double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vintrace;
    const std::size_t size = bench::SizeOption(argc, argv, 360'000'000);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QTemporaryDir dir;
    const std::string file = dir.filePath("usbdata.dat").toStdString();
    if (!bench::WriteTrafficFile(file, size)) {
        std::fprintf(stderr, "vintrace-transfers-bench: %s: cannot write\n", file.c_str());
        return 2;
    }
    QDir::setCurrent(dir.path());

    device::DriverAnalyzer analyzer;
    QElapsedTimer timer;
    timer.start();
    app::TMainForm form(analyzer);
    // A refusal or an error goes to stderr (where the suite looks for it), not to a modal box
    // that nobody would close.
    form.ShowMessage = [](const QString&, const QString& text) {
        std::fprintf(stderr, "vintrace-transfers-bench: %s\n", text.toLocal8Bit().constData());
    };
    // A large capture loads in the background: what follows measures the loaded capture.
    while (form.loading()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    form.show();
    const double loaded = Ms(timer);
    const std::size_t records = form.PacketList.size();
    if (records == 0) {
        std::fprintf(stderr, "vintrace-transfers-bench: %s: nothing loaded\n", file.c_str());
        return 1;
    }

    double cpu = CpuMs();
    timer.restart();
    const std::size_t transactions = form.Session.transactions().size();
    const double grouped = Ms(timer);
    const double groupedCpu = CpuMs() - cpu;
    cpu = CpuMs();
    timer.restart();
    const std::size_t items = form.Session.transferList(true).size();
    const double assembled = Ms(timer);
    const double assembledCpu = CpuMs() - cpu;

    cpu = CpuMs();
    timer.restart();
    form.Transfers1->trigger();
    app::TTransfersForm* window = form.transfersForm();
    if (window == nullptr) {
        std::fprintf(stderr, "vintrace-transfers-bench: the Transfers window did not open\n");
        return 1;
    }
    // A large capture is grouped and decoded on a worker while the tree waits.
    while (window->ProgressLabel->isVisible()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    window->grab();
    const double opened = Ms(timer);
    const double openedCpu = CpuMs() - cpu;

    // Dragging the scroll bar to its end again and again: each time the view asks for the
    // next chunk of rows.
    QTreeView* tree = window->TransferTree;
    QScrollBar* bar = tree->verticalScrollBar();
    constexpr int kFrames = 200;
    double worst = 0;
    timer.restart();
    for (int f = 0; f < kFrames; ++f) {
        QElapsedTimer frame;
        frame.start();
        bar->setValue(f % 2 == 0 ? bar->maximum() : bar->maximum() / 2);
        tree->viewport()->grab();
        worst = std::max(worst, Ms(frame));
    }
    const double perFrame = Ms(timer) / kFrames;
    const int rowsShown = tree->model()->rowCount();
    // Painting a row decodes it and, in capture order, every item before it.
    const std::size_t decoded = form.Session.decodedCount(true);

    // Expanding the first item, then paging through its transactions.
    timer.restart();
    const QModelIndex first = tree->model()->index(0, 0);
    tree->expand(first);
    tree->viewport()->grab();
    const double expanded = Ms(timer);

    // A click on a packet line in the middle of the capture: the tree selects the row.
    timer.restart();
    window->SelectRecord(records / 2);
    tree->viewport()->grab();
    const double followed = Ms(timer);
    timer.restart();
    window->SelectRecord(records / 2 + 1000);
    tree->viewport()->grab();
    const double followedAgain = Ms(timer);

    // The filter box: one pass over the items on this thread, whatever the words; the address
    // alone is the cost the box always had.
    const char* const filters[] = {"3", "3.0x81", "2 polling", "data ok", "hid", "hid 3 ok", ""};
    struct Filtered {
        const char* text;
        double ms;
        std::size_t shown;
    };
    std::vector<Filtered> filtered;
    for (const char* text : filters) {
        timer.restart();
        window->FilterEdit->setText(QString::fromLatin1(text));
        tree->viewport()->grab();
        const double ms = Ms(timer);
        filtered.push_back({text, ms, window->model().TopCount()});
    }

    std::printf("file %.1f MB, %zu records, %zu transactions, %zu items\n",
                static_cast<double>(size) / 1e6, records, transactions, items);
    std::printf("open capture (load + lists):   %8.1f ms\n", loaded);
    std::printf("group transactions:            %8.1f ms (%.1f ms CPU)\n", grouped, groupedCpu);
    std::printf("assemble transfers:            %8.1f ms (%.1f ms CPU)\n", assembled, assembledCpu);
    std::printf("open Transfers window:         %8.1f ms (%.1f ms CPU; indexes already built)\n",
                opened, openedCpu);
    std::printf("window after load, in all:     %8.1f ms (%.1f ms CPU)\n",
                grouped + assembled + opened, groupedCpu + assembledCpu + openedCpu);
    std::printf("scroll to the end:             %8.2f ms per frame, worst %.1f ms, %d rows "
                "handed to the view after %d frames\n",
                perFrame, worst, rowsShown, kFrames);
    std::printf("items decoded by then:         %8zu\n", decoded);
    std::printf("expand the first item:         %8.1f ms\n", expanded);
    std::printf("follow a click mid-capture:    %8.1f ms (first, builds the owner index)\n",
                followed);
    std::printf("follow a second click:         %8.1f ms\n", followedAgain);
    for (const Filtered& f : filtered) {
        std::printf("filter \"%s\":%*s%8.1f ms, %zu items shown\n", f.text,
                    static_cast<int>(22 - std::strlen(f.text)), "", f.ms, f.shown);
    }
    return 0;
}
