#include "RenderCommand.h"

#include "capture/CaptureLoader.h"
#include "display/PacketLinePainter.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>

namespace vintrace::cli {

namespace {
void Fail(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "vintrace-cli: %s: %s\n", file.c_str(), what.c_str());
}

// QImage is limited to 32767 pixels a side in practice; keep well inside it.
constexpr int kMaxImageHeight = 32000;
} // namespace

int RunRender(const RenderOptions& o) {
    display::WrapMode mode = display::WrapMode::NoWrap;
    if (o.wrap == "16") {
        mode = display::WrapMode::Wrap16;
    } else if (o.wrap == "32") {
        mode = display::WrapMode::Wrap32;
    }
    capture::PacketList packets;
    capture::EndpointTable table;
    const capture::LoadResult loaded = capture::LoadCaptureFile(o.file, packets, table);
    if (!loaded.ok()) {
        Fail(o.file, loaded.reason);
        return 2;
    }
    const std::uint64_t first = std::min<std::uint64_t>(o.first, packets.size());
    const std::uint64_t last = std::min<std::uint64_t>(packets.size(), first + o.count);
    int height = 0;
    std::uint64_t end = first;
    for (; end < last; ++end) {
        const int h = display::LineHeight(packets[end], mode);
        if (height + h > kMaxImageHeight) {
            break;
        }
        height += h;
    }
    if (end < last) {
        std::fprintf(stderr, "vintrace-cli: drawing lines %llu to %llu only (image height limit)\n",
                     static_cast<unsigned long long>(first),
                     static_cast<unsigned long long>(end - 1));
    }

    // Fonts need a GUI application object; no display is needed.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int argc = 1;
    char name[] = "vintrace-cli";
    char* argv[] = {name, nullptr};
    QGuiApplication application(argc, argv);

    QImage image(o.width, std::max(height, 1), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        int y = 0;
        for (std::uint64_t i = first; i < end; ++i) {
            const int h = display::LineHeight(packets[i], mode);
            display::PaintPacketLine(painter, QRect(0, y, o.width, h), packets[i], mode);
            y += h;
        }
    }
    if (!image.save(QString::fromStdString(o.output), "PNG")) {
        Fail(o.output, "cannot write the image");
        return 2;
    }
    return 0;
}

} // namespace vintrace::cli
