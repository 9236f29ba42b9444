#include "RenderCommand.h"

#include "OutputFile.h"
#include "capture/StagedFile.h"
#include "display/PacketLinePainter.h"
#include "session/CaptureSession.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vintrace::cli {

namespace {
void Fail(const std::string& file, const std::string& what) {
    ReportFileError(file, what);
}

// QImage is limited to 32767 pixels a side in practice; keep well inside it.
constexpr int kMaxImageHeight = 32000;

/// The toolkit's own messages (a missing XDG_RUNTIME_DIR, font warnings) are not ours to
/// print: the command says what went wrong in its own words.
void DropToolkitMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

/// Without XDG_RUNTIME_DIR the toolkit makes /tmp/runtime-$USER and leaves it behind; give it
/// a private directory for this run instead, removed afterwards.
class PrivateRuntimeDir {
public:
    PrivateRuntimeDir() {
        const char* existing = std::getenv("XDG_RUNTIME_DIR");
        if (existing != nullptr && *existing != '\0') {
            return;
        }
        std::error_code ec;
        std::string pattern =
            (std::filesystem::temp_directory_path(ec) / "vintrace-cli-XXXXXX").string();
        if (!ec && ::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
            ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
        }
    }
    ~PrivateRuntimeDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

private:
    std::string path_;
};

/// Writes `png` to `output` through a staged file; reports and returns false on failure,
/// leaving any previous file untouched.
bool WriteImage(const QByteArray& png, const std::string& output, bool force) {
    capture::StagedFile staged(output);
    if (staged.file() == nullptr) {
        Fail(output, "cannot write the image: " + staged.error());
        return false;
    }
    errno = 0;
    const auto size = static_cast<std::size_t>(png.size());
    if (std::fwrite(png.constData(), 1, size, staged.file()) != size) {
        Fail(output,
             std::string("cannot write the image: ") + std::strerror(errno != 0 ? errno : EIO));
        return false;
    }
    if (!staged.commit(force)) {
        if (staged.targetExisted()) {
            Fail(output, "already exists (use --force to replace it)");
        } else {
            Fail(output, "cannot write the image: " + staged.error());
        }
        return false;
    }
    return true;
}
} // namespace

int RunRender(const RenderOptions& o) {
    display::WrapMode mode = display::WrapMode::NoWrap;
    if (o.wrap == "16") {
        mode = display::WrapMode::Wrap16;
    } else if (o.wrap == "32") {
        mode = display::WrapMode::Wrap32;
    }
    if (!CheckOutput(o.file, o.output, o.force)) {
        return kExitFileError;
    }
    session::CaptureSession session;
    const capture::LoadResult loaded = session.open(o.file);
    if (!loaded.ok()) {
        Fail(o.file, loaded.reason);
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    // An empty capture draws an empty image from line 0; otherwise the first line must exist.
    if (o.first > 0 && o.first >= packets.size()) {
        Fail(o.file, "--first " + std::to_string(o.first) + " is past the last line: it has " +
                         std::to_string(packets.size()) + " packets");
        return kExitFileError;
    }
    if (o.count == 0) {
        Fail(o.file, "--count must be at least 1");
        return kExitFileError;
    }
    const std::uint64_t first = o.first;
    // Counted from what is left, so a huge --count cannot wrap around.
    const std::uint64_t last = first + std::min<std::uint64_t>(o.count, packets.size() - first);
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
    qInstallMessageHandler(DropToolkitMessage);
    const PrivateRuntimeDir runtimeDir;
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
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) {
        Fail(o.output, "cannot write the image: the PNG encoder failed");
        return kExitFileError;
    }
    return WriteImage(png, o.output, o.force) ? 0 : kExitFileError;
}

} // namespace vintrace::cli
