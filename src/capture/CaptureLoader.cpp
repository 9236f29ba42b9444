#include "capture/CaptureLoader.h"

#include "capture/CaptureDecoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vintrace::capture {

namespace {
constexpr std::size_t kReadPiece = std::size_t{4} << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
#ifndef O_BINARY
constexpr int O_BINARY = 0;
#endif
#ifndef O_NONBLOCK
constexpr int O_NONBLOCK = 0;
#endif
#ifndef O_CLOEXEC
constexpr int O_CLOEXEC = 0;
#endif
} // namespace

std::FILE* OpenRegularFile(const std::string& path, std::string& reason) {
    // Non-blocking so that opening a FIFO returns at once; the mode is cleared once the file
    // is known to be regular, where it makes no difference anyway.
    const int fd = ::open(path.c_str(), O_RDONLY | O_BINARY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        ::close(fd);
        return nullptr;
    }
#ifndef _WIN32
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
#endif
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        reason = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table) {
    std::string reason;
    std::unique_ptr<std::FILE, FileCloser> file(OpenRegularFile(path, reason));
    if (!file) {
        return {LoadStatus::CannotOpen, reason};
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
