#include "session/IndexBuild.h"

#include "platform/ThreadPriority.h"
#include "protocol/Transfers.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace vintrace::session {

namespace {
/// Items between two looks at the stop request and two progress updates.
constexpr std::size_t kStretch = 4096;
} // namespace

void DecodeUpTo(DecodedIndex& index, const protocol::TransferList& items, std::size_t end,
                const std::atomic<bool>* stop, std::atomic<std::size_t>* done) {
    end = std::min(end, items.size());
    for (; index.done < end; ++index.done) {
        if (index.done % kStretch == 0) {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                return;
            }
            if (done != nullptr) {
                done->store(index.done, std::memory_order_relaxed);
            }
        }
        if (auto d = index.decoder->decode(items[index.done])) {
            index.items.push_back(static_cast<std::uint32_t>(index.done));
            index.text += d->text;
            index.ends.push_back(index.text.size());
            index.uses.push_back(d->use);
        }
    }
    if (index.done == items.size()) {
        index.decoder.reset();
    }
}

std::vector<std::uint32_t> ItemOfEachTransaction(const protocol::Transactions& transactions,
                                                 const protocol::TransferList& items,
                                                 const std::atomic<bool>* stop) {
    // One pass over the items: each transaction belongs to at most one of them.
    std::vector<std::uint32_t> owner(transactions.size(), UINT32_MAX);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i % kStretch == 0 && stop != nullptr && stop->load(std::memory_order_relaxed)) {
            return {};
        }
        const protocol::TransferItem item = items[i];
        for (std::size_t t = item.firstTransaction; t <= item.lastTransaction; ++t) {
            if (protocol::IsMember(item, t, transactions[t])) {
                owner[t] = static_cast<std::uint32_t>(i);
            }
        }
    }
    return owner;
}

IndexBuild::IndexBuild(const capture::PacketList& packets, bool fold,
                       std::function<void(const std::atomic<bool>& stop)> first,
                       protocol::EndpointAssumptions assumptions, KnownIndexes known,
                       BuildScope scope)
    : fold_(fold), scope_(scope), assumptions_(std::move(assumptions)), known_(known),
      recordCount_(packets.size()) {
    worker_ = std::thread([this, &packets, first = std::move(first)] {
        platform::RunBehindTheWindow();
        if (first) {
            first(stop_);
        }
        if (!stop_.load(std::memory_order_relaxed)) {
            if (scope_ == BuildScope::Devices) {
                runDevices(packets);
            } else {
                run(packets);
            }
        }
        delete foundDevices_.exchange(nullptr, std::memory_order_acquire);
        finished_.store(true, std::memory_order_release);
    });
}

IndexBuild::~IndexBuild() {
    stop();
}

void IndexBuild::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (worker_.joinable()) {
        worker_.join();
    }
}

void IndexBuild::run(const capture::PacketList& packets) {
    // Kept in the object, not here: a stopped build's indexes are freed by its owner, not
    // while the owner waits for the worker to stop.
    partial_ = std::make_unique<TransferIndexes>();
    TransferIndexes* const built = partial_.get();
    if (known_.transactions == nullptr) {
        built->transactions =
            protocol::GroupTransactions(packets, 0, protocol::kGroupPartRecords, &stop_);
    }
    const protocol::Transactions& transactions =
        known_.transactions != nullptr ? *known_.transactions : built->transactions;
    step_.store(1, std::memory_order_relaxed);
    if (stop_.load(std::memory_order_relaxed)) {
        return;
    }
    // The frames depend on the transactions alone: counted on the second core while the
    // transfers are assembled. Declared after `built`, so joined before it goes.
    std::jthread frames;
    if (known_.frames == nullptr) {
        frames = std::jthread([&] {
            platform::RunBehindTheWindow();
            built->frames = protocol::FrameIndex::Build(packets, transactions, &stop_);
        });
    }
    if (known_.devices != nullptr) {
        built->items = protocol::AssembleTransferListDescribedBy(packets, transactions,
                                                                 *known_.devices, fold_, &stop_);
    } else {
        // The devices come from the control traffic alone, beside the assembly that reads
        // their endpoint descriptors: a copy goes to the Devices window as soon as they are
        // found, which need not wait for the assembly and the decoding.
        protocol::DescribedTransferList described = protocol::AssembleDescribedTransferList(
            packets, transactions, fold_, &stop_, &assumptions_, 0,
            [this](const protocol::DeviceModel& found) {
                foundDevices_.store(new protocol::DeviceModel(found), std::memory_order_release);
            });
        if (stop_.load(std::memory_order_relaxed)) {
            return;
        }
        built->devices = std::move(described.devices);
        built->items = std::move(described.items);
    }
    const protocol::DeviceModel& devices =
        known_.devices != nullptr ? *known_.devices : built->devices;
    itemCount_.store(built->items.size(), std::memory_order_relaxed);
    step_.store(2, std::memory_order_relaxed);
    if (frames.joinable()) {
        frames.join();
    }
    if (stop_.load(std::memory_order_relaxed)) {
        return;
    }
    // The owner of each transaction and the decoded texts both only read the list: side by
    // side. The decoder reads the items in order, so it stays one pass.
    std::jthread owners;
    if (!transactions.empty()) {
        owners = std::jthread([&] {
            platform::RunBehindTheWindow();
            built->owners = ItemOfEachTransaction(transactions, built->items, &stop_);
        });
    }
    step_.store(3, std::memory_order_relaxed);
    built->decoded.decoder =
        std::make_unique<protocol::ClassDecoder>(packets, transactions, devices);
    DecodeUpTo(built->decoded, built->items, built->items.size(), &stop_, &decoded_);
    if (owners.joinable()) {
        owners.join();
    }
    if (built->decoded.done != built->items.size() ||
        (built->owners.empty() && !transactions.empty())) {
        return;
    }
    result_ = std::move(partial_);
}

void IndexBuild::runDevices(const capture::PacketList& packets) {
    auto built = std::make_unique<TransferIndexes>();
    built->devices =
        known_.transactions != nullptr
            ? protocol::DeviceModel::FromControlTraffic(packets, *known_.transactions, &stop_)
            : protocol::DeviceModel::FromControlTraffic(
                  packets, 0, protocol::WindowGrouper::kWindowRecords, &stop_, &recordsDone_);
    if (stop_.load(std::memory_order_relaxed)) {
        return;
    }
    if (!assumptions_.empty()) {
        built->devices.assume(assumptions_);
    }
    result_ = std::move(built);
}

double IndexBuild::progress() const {
    if (scope_ == BuildScope::Devices) {
        return recordCount_ == 0
                   ? 1.0
                   : static_cast<double>(recordsDone_.load(std::memory_order_relaxed)) /
                         static_cast<double>(recordCount_);
    }
    // Rough shares of the time each step takes on a large capture.
    constexpr double kStart[] = {0.0, 0.35, 0.55, 0.65, 1.0};
    const int step = step_.load(std::memory_order_relaxed);
    if (step < 3) {
        return kStart[step];
    }
    const std::size_t count = itemCount_.load(std::memory_order_relaxed);
    const double part = count == 0 ? 1.0
                                   : static_cast<double>(decoded_.load(std::memory_order_relaxed)) /
                                         static_cast<double>(count);
    return kStart[3] + (kStart[4] - kStart[3]) * part;
}

std::unique_ptr<protocol::DeviceModel> IndexBuild::takeFoundDevices() {
    return std::unique_ptr<protocol::DeviceModel>(
        foundDevices_.exchange(nullptr, std::memory_order_acquire));
}

std::unique_ptr<TransferIndexes> IndexBuild::take() {
    if (!finished()) {
        return nullptr;
    }
    return std::move(result_);
}

} // namespace vintrace::session
