#include "capture/CaptureLoader.h"

#include "capture/CaptureDecoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vintrace::capture {

namespace {
constexpr std::size_t kReadPiece = std::size_t{4} << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
} // namespace

LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return {LoadStatus::CannotOpen, std::strerror(errno ? errno : ENOENT)};
    }
    // Large unbuffered reads: the decoder is faster than a byte-wise stream.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    // Not zero-filled: every byte is read into before it is decoded.
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
    CaptureDecoder decoder(packets);
    LoadResult result;
    for (;;) {
        errno = 0;
        const std::size_t n = std::fread(piece.get(), 1, kReadPiece, file.get());
        decoder.feed(std::span<const std::uint8_t>(piece.get(), n));
        if (n < kReadPiece) {
            if (std::ferror(file.get())) {
                const int err = errno ? errno : EIO;
                // A directory opens on some systems and fails on the first read.
                result = {packets.empty() && n == 0 ? LoadStatus::CannotOpen
                                                    : LoadStatus::ReadError,
                          std::strerror(err)};
            }
            break;
        }
    }
    decoder.finish();
    BuildEndpointTable(packets, table);
    return result;
}

} // namespace vintrace::capture
