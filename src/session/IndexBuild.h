#pragma once

#include "capture/PacketList.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/EndpointAssumptions.h"
#include "protocol/Frames.h"
#include "protocol/Transactions.h"
#include "protocol/TransferList.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::session {

/// Decoded texts of a transfer list, built in capture order as far as asked. Millions of
/// items cost a few bytes each, not a string each: only the items that have a text keep one.
struct DecodedIndex {
    /// Null once every item is decoded (the decoder reads indexes it may outlive).
    std::unique_ptr<protocol::ClassDecoder> decoder;
    /// Items [0, done) have been decoded.
    std::size_t done = 0;
    /// Item numbers that have a text, ascending, and where each text ends in `text`.
    std::vector<std::uint32_t> items;
    std::vector<std::size_t> ends;
    std::vector<protocol::HeadlineUse> uses;
    std::string text;
};

/// Decodes items [index.done, end) of `items` with index.decoder, in order; stops early, at a
/// multiple of a stretch, once `stop` is set.
void DecodeUpTo(DecodedIndex& index, const protocol::TransferList& items, std::size_t end,
                const std::atomic<bool>* stop = nullptr, std::atomic<std::size_t>* done = nullptr);

/// The item holding each transaction (UINT32_MAX for none). Empty when `stop` was set.
std::vector<std::uint32_t> ItemOfEachTransaction(const protocol::Transactions& transactions,
                                                 const protocol::TransferList& items,
                                                 const std::atomic<bool>* stop = nullptr);

/// What the Transfers window reads of a capture, built together. The transactions, frames and
/// devices stay empty where the build was given them (KnownIndexes).
struct TransferIndexes {
    protocol::Transactions transactions;
    protocol::FrameIndex frames;
    protocol::TransferList items;
    protocol::DeviceModel devices;
    std::vector<std::uint32_t> owners;
    DecodedIndex decoded;
};

/// Indexes of the same store at hand already, which a build reads rather than builds again (the
/// other fold of a capture shares them). Each may be null; those given must stay unchanged
/// until the build has finished or been destroyed.
struct KnownIndexes {
    const protocol::Transactions* transactions = nullptr;
    const protocol::FrameIndex* frames = nullptr;
    const protocol::DeviceModel* devices = nullptr;
};

/// What an IndexBuild makes: every index the Transfers window reads, or only the devices
/// (from the control traffic, a window at a time unless the transactions are known).
enum class BuildScope { Transfers, Devices };

/// Groups a store into transactions and transfers, finds the item of each transaction and
/// decodes every item, on a thread of its own, so that the window that waits for them stays
/// responsive. The store must not change until the build has finished or been destroyed.
class IndexBuild {
public:
    /// `first` runs on the worker before anything is allocated (the session waits there for
    /// the old indexes to be freed, so that two sets never share the memory); it should
    /// return early once the stop flag it is given is set.
    /// `assumptions` say what endpoints are where the capture does not (kept by the build).
    IndexBuild(const capture::PacketList& packets, bool fold,
               std::function<void(const std::atomic<bool>& stop)> first = {},
               protocol::EndpointAssumptions assumptions = {}, KnownIndexes known = {},
               BuildScope scope = BuildScope::Transfers);
    /// Asks the worker to stop and waits for it; every step stops within a stretch of
    /// records, transactions or items.
    ~IndexBuild();
    /// The same, leaving what the worker made so far in this object: after a stop of a build
    /// of 100 M records that is gigabytes, which its owner frees aside by handing this on.
    void stop();
    IndexBuild(const IndexBuild&) = delete;
    IndexBuild& operator=(const IndexBuild&) = delete;

    bool fold() const { return fold_; }
    BuildScope scope() const { return scope_; }
    /// True once the worker has returned.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    /// How far the build has come, from 0 to 1.
    double progress() const;
    /// Once finished(): the indexes, once (null after that).
    std::unique_ptr<TransferIndexes> take();
    /// A copy of the devices a Transfers build found, once found and while it goes on
    /// assembling and decoding; once (null before, after that, once the build has ended, and
    /// when it was given the devices). The Devices window needs no more than these.
    std::unique_ptr<protocol::DeviceModel> takeFoundDevices();

private:
    void run(const capture::PacketList& packets);
    void runDevices(const capture::PacketList& packets);

    bool fold_;
    const BuildScope scope_;
    const protocol::EndpointAssumptions assumptions_;
    const KnownIndexes known_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    /// Steps done (0: grouping, 1: frames and assembly, 2: the frames' end, 3: owners and
    /// decoding) and items decoded.
    std::atomic<int> step_{0};
    std::atomic<std::size_t> decoded_{0};
    std::atomic<std::size_t> itemCount_{0};
    /// The devices alone: records read of `recordCount_`.
    std::atomic<std::size_t> recordsDone_{0};
    std::size_t recordCount_ = 0;
    std::unique_ptr<TransferIndexes> result_;
    /// What run() builds, moved to `result_` once complete; left here when stopped.
    std::unique_ptr<TransferIndexes> partial_;
    /// Owned here until taken; the worker frees what was not taken when it ends, so that the
    /// copy is never freed on the window's thread.
    std::atomic<protocol::DeviceModel*> foundDevices_{nullptr};
    std::thread worker_;
};

} // namespace vintrace::session
