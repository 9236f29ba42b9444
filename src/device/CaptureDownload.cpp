#include "device/CaptureDownload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace vintrace::device {

namespace {

/// Most names tried for an incomplete download before giving up.
constexpr int kIncompleteNames = 100;

DownloadOutcome FileError(DownloadOutcome outcome, std::string reason) {
    outcome.status = DownloadOutcome::Status::FileError;
    outcome.reason = std::move(reason);
    return outcome;
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load();
}

} // namespace

std::string IncompleteName(const std::string& target, int n) {
    const std::filesystem::path path(target);
    std::string name = path.stem().string();
    name.append("-incomplete");
    if (n > 1) {
        name.append(1, '-');
        name.append(std::to_string(n));
    }
    name.append(path.extension().string());
    return (path.parent_path() / name).string();
}

DownloadOutcome DownloadCapture(Analyzer& analyzer, capture::StagedFile& staged, bool replace,
                                std::atomic<std::int32_t>& blockCount,
                                const std::atomic<bool>* cancel) {
    DownloadOutcome outcome;
    std::FILE* file = staged.file();
    if (file == nullptr) {
        return FileError(outcome, staged.error());
    }
    const std::unique_ptr<DataPipe> pipe = analyzer.OpenDataPipe();
    blockCount.store(0);
    analyzer.BeginDownload();

    // Only the first 2048 bytes are ever asked for; the buffer is the size the driver expects.
    std::vector<std::uint8_t> buffer(8192);
    std::uint32_t asked = kFirstBlockSize;
    std::uint32_t count = 0;
    if (Cancelled(cancel)) {
        outcome.status = DownloadOutcome::Status::Cancelled;
        return outcome;
    }
    bool transferred = pipe->TransferBlock(buffer.data(), asked, count);
    analyzer.Beep();
    for (;;) {
        count = std::min<std::uint32_t>(count, asked); // never trust a count beyond the ask
        errno = 0;
        if (count != 0 && std::fwrite(buffer.data(), 1, count, file) != count) {
            return FileError(outcome, std::strerror(errno != 0 ? errno : EIO));
        }
        outcome.bytes += count;
        outcome.blocks = blockCount.fetch_add(1) + 1;
        analyzer.Beep();
        if (outcome.blocks >= kMaxBlocks || count < asked) {
            break;
        }
        if (Cancelled(cancel)) {
            outcome.status = DownloadOutcome::Status::Cancelled;
            return outcome; // the staged file goes with its owner
        }
        asked = kBlockSize;
        count = 0;
        transferred = pipe->TransferBlock(buffer.data(), asked, count);
    }
    if (outcome.bytes == 0) {
        outcome.status = DownloadOutcome::Status::NothingReceived;
        return outcome;
    }
    if (transferred) {
        if (!staged.commit(replace)) {
            return FileError(outcome, staged.error());
        }
        outcome.status = DownloadOutcome::Status::Written;
        outcome.file = staged.target();
        return outcome;
    }
    // Cut short: the only copy of what arrived goes under a name of its own, never onto the
    // target, which may hold a capture nobody asked to lose.
    const std::string target = staged.target();
    for (int n = 1; n <= kIncompleteNames; ++n) {
        staged.retarget(IncompleteName(target, n));
        if (staged.commit(false)) {
            outcome.status = DownloadOutcome::Status::Incomplete;
            outcome.file = staged.target();
            return outcome;
        }
        if (!staged.targetExisted()) {
            break;
        }
    }
    return FileError(outcome, staged.error());
}

DownloadOutcome DownloadCapture(Analyzer& analyzer, const std::string& target,
                                std::atomic<std::int32_t>& blockCount,
                                const std::atomic<bool>* cancel) {
    capture::StagedFile staged(target);
    return DownloadCapture(analyzer, staged, /*replace=*/true, blockCount, cancel);
}

} // namespace vintrace::device
