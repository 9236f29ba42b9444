#include "session/TransferSave.h"

#include "capture/StagedFile.h"
#include "protocol/TransferLines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vintrace::session {

namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
constexpr std::size_t kStopItems = std::size_t{1} << 12;

capture::PcapResult Failed(const std::string& path, capture::PcapStatus status,
                           std::string reason) {
    capture::PcapResult result;
    result.status = status;
    result.file = path;
    result.reason = std::move(reason);
    return result;
}

} // namespace

capture::PcapResult SaveTransferView(const std::string& path, const TransferView& view,
                                     const protocol::TransferFilter& filter, bool json,
                                     capture::PcapProgress* progress) {
    using capture::PcapStatus;
    // The file dialog asked before replacing a file; anything else is never replaced.
    if (capture::StagedFile::CheckTarget(path, /*overwrite=*/true) ==
        capture::StagedFile::TargetStatus::NotRegular) {
        return Failed(path, PcapStatus::TargetNotRegular, "not a regular file");
    }
    capture::StagedFile staged(path);
    if (staged.file() == nullptr) {
        return Failed(path, PcapStatus::CannotWrite, staged.error());
    }
    const protocol::TransferFilterMatch passes(filter, view.packets, view.transactions,
                                               &view.devices);
    const DecodedIndex& decoded = view.decoded;
    std::size_t text = 0; // the next item of `decoded` that has a text
    std::string out;
    out.reserve(kFlushBytes + 4096);
    const auto flush = [&] {
        errno = 0;
        if (std::fwrite(out.data(), 1, out.size(), staged.file()) != out.size()) {
            return false;
        }
        out.clear();
        return true;
    };
    capture::PcapResult result;
    for (std::size_t i = 0; i < view.items.size(); ++i) {
        if (i % kStopItems == 0 && progress != nullptr) {
            progress->records.store(i, std::memory_order_relaxed);
            if (progress->stop.load(std::memory_order_relaxed)) {
                result.status = PcapStatus::Stopped;
                return result;
            }
        }
        // Both ascend: the texts are met in step with the items, without a search.
        while (text < decoded.items.size() && decoded.items[text] < i) {
            ++text;
        }
        const protocol::TransferItem item = view.items[i];
        if (!passes(item)) {
            continue;
        }
        std::optional<std::string> meaning;
        if (text < decoded.items.size() && decoded.items[text] == i) {
            const std::size_t begin = text == 0 ? 0 : decoded.ends[text - 1];
            meaning.emplace(decoded.text, begin, decoded.ends[text] - begin);
        }
        if (json) {
            protocol::AppendTransferJson(out, view.packets, view.transactions, item, meaning);
        } else {
            protocol::AppendTransferLine(out, view.packets, view.transactions, item, meaning);
        }
        ++result.records;
        if (out.size() >= kFlushBytes && !flush()) {
            return Failed(path, PcapStatus::CannotWrite, std::strerror(errno));
        }
    }
    if (!flush()) {
        return Failed(path, PcapStatus::CannotWrite, std::strerror(errno));
    }
    if (progress != nullptr) {
        progress->records.store(view.items.size(), std::memory_order_relaxed);
    }
    if (!staged.commit(/*overwrite=*/true)) {
        return Failed(path,
                      staged.targetNotRegular() ? PcapStatus::TargetNotRegular
                                                : PcapStatus::CannotWrite,
                      staged.error());
    }
    return result;
}

} // namespace vintrace::session
