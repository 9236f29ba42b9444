#include "capture/CaptureLoader.h"

#include "capture/CaptureDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vintrace::capture {

namespace {

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

namespace {

/// Reads from one open file at given offsets, from several threads at once.
class PositionalReader {
public:
    explicit PositionalReader(std::FILE* file) : fd_(fileno(file)) {}

    /// Fills `dest` from `offset`; fewer bytes at the end of the file or on an error.
    std::size_t read(std::uint64_t offset, std::span<std::uint8_t> dest) {
        std::size_t done = 0;
        while (done < dest.size()) {
            const long long n = readAt(offset + done, dest.data() + done, dest.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                const std::lock_guard<std::mutex> lock(errorLock_);
                if (error_ == 0) {
                    error_ = errno ? errno : EIO;
                }
                break;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }
    /// The first read error's errno, 0 if none.
    int error() {
        const std::lock_guard<std::mutex> lock(errorLock_);
        return error_;
    }

private:
    long long readAt(std::uint64_t offset, std::uint8_t* to, std::size_t n) {
        n = std::min<std::size_t>(n, std::size_t{1} << 30);
#ifdef _WIN32
        // No positional read in the C runtime: seek and read as one step.
        const std::lock_guard<std::mutex> lock(seekLock_);
        if (_lseeki64(fd_, static_cast<long long>(offset), SEEK_SET) < 0) {
            return -1;
        }
        return _read(fd_, to, static_cast<unsigned>(n));
#else
        return ::pread(fd_, to, n, static_cast<off_t>(offset));
#endif
    }

    int fd_;
    std::mutex errorLock_;
    int error_ = 0;
#ifdef _WIN32
    std::mutex seekLock_;
#endif
};

} // namespace

LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table) {
    return LoadCaptureFile(path, packets, table, LoadOptions());
}

LoadResult LoadCaptureFile(const std::string& path, PacketList& packets, EndpointTable& table,
                           const LoadOptions& options) {
    std::string reason;
    std::unique_ptr<std::FILE, FileCloser> file(OpenRegularFile(path, reason));
    if (!file) {
        return {LoadStatus::CannotOpen, reason};
    }
#ifdef _WIN32
    struct _stat64 st {};
    const bool sized = ::_fstat64(fileno(file.get()), &st) == 0;
#else
    struct stat st {};
    const bool sized = ::fstat(fileno(file.get()), &st) == 0;
#endif
    const std::uint64_t total = sized ? static_cast<std::uint64_t>(st.st_size) : 0;

    SliceOptions slicing;
    slicing.threads = options.threads;
    ParallelDecoder decoder(packets, slicing);
    // The endpoint table comes from the pairs the decoding threads note, not from one more
    // pass over the whole store on this thread.
    EndpointLog endpoints;
    decoder.collectEndpoints(endpoints);
    // A small file needs no more buffer than its own size; one that grows while it loads
    // is read a window at a time all the same. Windows hold whole units.
    const std::size_t window =
        static_cast<std::size_t>(std::min<std::uint64_t>(decoder.windowBytes(), total + 2)) &
        ~std::size_t{1};
    // Not zero-filled: every byte is read into before it is decoded.
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(window);
    PositionalReader reader(file.get());
    const ParallelDecoder::Fill fill = [&reader](std::uint64_t offset,
                                                 std::span<std::uint8_t> dest) {
        return reader.read(offset, dest);
    };

    std::uint64_t done = 0;
    LoadResult result;
    for (;;) {
        if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
            decoder.finish();
            packets.clear();
            return {LoadStatus::Cancelled, {}};
        }
        const std::size_t n = decoder.readWindow(buffer.get(), window, done, fill);
        done += n;
        if (options.progress) {
            options.progress(done, total);
        }
        if (n < window) {
            break;
        }
    }
    decoder.finish();
    if (const int err = reader.error(); err != 0) {
        // A directory opens on some systems and fails on the first read.
        result = {packets.empty() && done == 0 ? LoadStatus::CannotOpen : LoadStatus::ReadError,
                  std::strerror(err)};
    }
    BuildEndpointTable(endpoints, table);
    return result;
}

} // namespace vintrace::capture
