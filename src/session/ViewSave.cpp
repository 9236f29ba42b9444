#include "session/ViewSave.h"

#include "capture/StagedFile.h"
#include "protocol/DeviceJson.h"
#include "protocol/DeviceTree.h"
#include "protocol/TransferLines.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace vintrace::session {

namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

capture::PcapResult Failed(const std::string& path, capture::PcapStatus status,
                           std::string reason) {
    capture::PcapResult result;
    result.status = status;
    result.file = path;
    result.reason = std::move(reason);
    return result;
}

} // namespace

capture::PcapResult SaveText(const std::string& path, const std::string& head, std::size_t count,
                             const std::function<void(std::size_t, std::string&)>& append,
                             const std::string& tail, std::size_t stopEvery,
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
    std::string out = head;
    out.reserve(kFlushBytes + 4096);
    const auto flush = [&] {
        errno = 0;
        if (std::fwrite(out.data(), 1, out.size(), staged.file()) != out.size()) {
            return false;
        }
        out.clear();
        return true;
    };
    const auto failed = [&] {
        return Failed(path, PcapStatus::CannotWrite,
                      errno != 0 ? std::strerror(errno) : "the write failed");
    };
    stopEvery = std::max<std::size_t>(stopEvery, 1);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % stopEvery == 0 && progress != nullptr) {
            progress->records.store(i, std::memory_order_relaxed);
            if (progress->stop.load(std::memory_order_relaxed)) {
                capture::PcapResult stopped;
                stopped.status = PcapStatus::Stopped;
                return stopped;
            }
        }
        append(i, out);
        if (out.size() >= kFlushBytes && !flush()) {
            return failed();
        }
    }
    out += tail;
    if (!flush()) {
        return failed();
    }
    if (progress != nullptr) {
        progress->records.store(count, std::memory_order_relaxed);
    }
    if (!staged.commit(/*overwrite=*/true)) {
        return Failed(path,
                      staged.targetNotRegular() ? PcapStatus::TargetNotRegular
                                                : PcapStatus::CannotWrite,
                      staged.error());
    }
    capture::PcapResult result;
    result.records = count;
    return result;
}

capture::PcapResult SaveTransferView(const std::string& path, const TransferView& view,
                                     const protocol::TransferFilter& filter, bool json,
                                     capture::PcapProgress* progress) {
    const protocol::TransferFilterMatch passes(filter, view.packets, view.transactions,
                                               &view.devices);
    const DecodedIndex& decoded = view.decoded;
    std::size_t text = 0; // the next item of `decoded` that has a text
    const auto append = [&](std::size_t i, std::string& out) {
        // Both ascend: the texts are met in step with the items, without a search.
        while (text < decoded.items.size() && decoded.items[text] < i) {
            ++text;
        }
        const protocol::TransferItem item = view.items[i];
        if (!passes(item)) {
            return;
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
    };
    return SaveText(path, {}, view.items.size(), append, {}, std::size_t{1} << 12, progress);
}

capture::PcapResult SaveDeviceView(const std::string& path,
                                   const std::vector<protocol::DeviceInfo>& devices,
                                   const protocol::UsbIds* ids, bool json,
                                   capture::PcapProgress* progress) {
    const auto append = [&](std::size_t d, std::string& out) {
        if (json) {
            protocol::AppendDeviceJson(devices[d], d == 0, ids, out);
        } else {
            // No field trees: the text needs none.
            protocol::AppendDeviceTreeText(protocol::BuildDeviceRow(devices[d], ids, false), 0,
                                           out);
            out += '\n';
        }
    };
    return SaveText(path, json ? protocol::DevicesJsonOpening() : std::string(), devices.size(),
                    append, json ? protocol::DevicesJsonClosing() : std::string(), 64, progress);
}

} // namespace vintrace::session
