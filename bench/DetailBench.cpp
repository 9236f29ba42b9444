// vintrace-detail-bench: times the detail pane's byte dump (offscreen) over payloads of
// growing size: handing it the payload, painting the lines in view, lighting a field near the
// end (which scrolls there) and finding the field under a clicked byte. Each step should cost
// the same at 16 MiB as at 1 KiB, apart from moving the payload in.
//
//   vintrace-detail-bench
#include "display/DetailPane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>

namespace {

double Ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

/// One field over the whole payload with one small field at its end.
vintrace::protocol::FieldTree Payload(std::size_t size) {
    vintrace::protocol::FieldTree tree;
    tree.payload.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        tree.payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    tree.fields.push_back({"Data", "all", 0, size, {{"Tail", "last 4", size - 4, 4, {}}}});
    return tree;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    vintrace::display::DetailPane pane;
    pane.resize(1000, 400);
    pane.show();
    QImage image(pane.size(), QImage::Format_ARGB32);
    std::printf("%12s %10s %10s %10s %10s\n", "payload", "show ms", "paint ms", "light ms",
                "click ms");
    for (std::size_t size : {std::size_t{1} << 10, std::size_t{1} << 20, std::size_t{16} << 20}) {
        auto tree = Payload(size);
        QElapsedTimer timer;
        timer.start();
        pane.ShowFields(std::move(tree));
        const double shown = Ms(timer);
        timer.restart();
        pane.BytesView->viewport()->render(&image);
        const double painted = Ms(timer);
        timer.restart();
        pane.SelectFieldAt(1); // "Tail", under "Data"
        pane.BytesView->viewport()->render(&image);
        const double lit = Ms(timer);
        timer.restart();
        const bool found = pane.SelectByte(size - 2);
        const double clicked = Ms(timer);
        if (!found || pane.BytesView->highlightOffset() != size - 4) {
            std::fprintf(stderr, "vintrace-detail-bench: the tail field was not found\n");
            return 1;
        }
        std::printf("%12zu %10.2f %10.2f %10.2f %10.2f\n", size, shown, painted, lit, clicked);
    }
    return 0;
}
