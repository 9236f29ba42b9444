#include "device/CaptureDownload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace vintrace::device {

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

DownloadOutcome FileError(DownloadOutcome outcome, int error) {
    outcome.status = DownloadOutcome::Status::FileError;
    outcome.reason = std::strerror(error != 0 ? error : EIO);
    return outcome;
}
} // namespace

DownloadOutcome DownloadCapture(Analyzer& analyzer, const std::string& target,
                                std::atomic<std::int32_t>& blockCount, bool keepPartial) {
    DownloadOutcome outcome;
    const std::unique_ptr<DataPipe> pipe = analyzer.OpenDataPipe();
    const std::string partial = target + ".download";
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(partial.c_str(), "wb"));
    if (!file) {
        return FileError(outcome, errno);
    }
    blockCount.store(0);
    analyzer.BeginDownload();

    // Only the first 2048 bytes are ever asked for; the buffer is the size the driver expects.
    std::vector<std::uint8_t> buffer(8192);
    std::uint32_t asked = kFirstBlockSize;
    std::uint32_t count = 0;
    bool transferred = pipe->TransferBlock(buffer.data(), asked, count);
    analyzer.Beep();
    bool written = true;
    for (;;) {
        count = std::min<std::uint32_t>(count, asked); // never trust a count beyond the ask
        if (count != 0 && std::fwrite(buffer.data(), 1, count, file.get()) != count) {
            written = false;
            break;
        }
        outcome.bytes += count;
        outcome.blocks = blockCount.fetch_add(1) + 1;
        analyzer.Beep();
        if (outcome.blocks >= kMaxBlocks || count < asked) {
            break;
        }
        asked = kBlockSize;
        count = 0;
        transferred = pipe->TransferBlock(buffer.data(), asked, count);
    }
    const int writeError = errno;
    const bool closed = std::fclose(file.release()) == 0;
    std::error_code ignored;
    if (!written || !closed) {
        std::filesystem::remove(partial, ignored);
        return FileError(outcome, written ? errno : writeError);
    }
    if (!transferred && !keepPartial) {
        std::filesystem::remove(partial, ignored);
        outcome.status = DownloadOutcome::Status::TransferFailed;
        return outcome;
    }
    if (outcome.bytes == 0) {
        std::filesystem::remove(partial, ignored);
        outcome.status = DownloadOutcome::Status::NothingReceived;
        return outcome;
    }
    std::error_code moved;
    std::filesystem::rename(partial, target, moved);
    if (moved) {
        std::filesystem::remove(partial, ignored);
        outcome.status = DownloadOutcome::Status::FileError;
        outcome.reason = moved.message();
        return outcome;
    }
    outcome.status = DownloadOutcome::Status::Written;
    return outcome;
}

} // namespace vintrace::device
