#pragma once

#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"
#include "protocol/TransferList.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vintrace::cli {

/// Appends an item's line (or lines) given what the class decoder said of it.
using LineFormat = std::function<void(std::string& out, const protocol::TransferItem& item,
                                      std::optional<std::string_view> decoded)>;

/// An item as `transfers` shows it: its number in the list, and what the class decoder made of
/// it when the caller decoded it. The writer keeps a copy of the text: the items cross to the
/// worker a batch at a time, a few bytes each, with the texts of a batch in one buffer.
struct ShownTransfer {
    std::size_t item = 0;
    std::optional<std::string_view> decoded;
    /// Not decoded yet: the thread that formats the item decodes it.
    bool deferred = false;
};

/// Writes items, given in order, as lines formatted by `format`, in the same order. With two
/// threads the lines of a batch are formatted and written on a worker while the caller goes
/// on; the caller formats a waiting batch itself rather than wait for the worker.
class TransferWriter {
public:
    /// Threads that may format a batch, numbered for `format`: 0 the caller, 1 the worker.
    static constexpr unsigned kFormatters = 2;
    /// Appends the lines of `shown`; `formatter` says which thread calls, so that state kept
    /// per formatter is never shared between threads.
    using Format =
        std::function<void(std::string& out, const ShownTransfer& shown, unsigned formatter)>;

    /// `threads` 1 formats and writes on the calling thread; any other number adds one worker.
    TransferWriter(std::FILE* out, Format format, unsigned threads, std::size_t batch);
    /// Stops the worker; what finish() did not write is dropped.
    ~TransferWriter();
    TransferWriter(const TransferWriter&) = delete;
    TransferWriter& operator=(const TransferWriter&) = delete;

    /// Queues an item; false once a write has failed (the caller stops there).
    bool add(const ShownTransfer& shown);
    /// Writes what is queued and flushes; false when any write failed.
    bool finish();
    /// The errno of the first failed write (0 when the stream set none).
    int error() const { return error_; }

private:
    struct Entry {
        std::size_t item = 0;
        /// Where its decoded text ends in `texts` (it begins where the previous one ends).
        std::uint32_t textEnd = 0;
        bool decoded = false;
        bool deferred = false;
    };
    struct Batch {
        std::vector<Entry> items;
        std::string texts;
        std::string text;
        enum class State { Queued, Formatting, Formatted } state = State::Queued;
    };

    void formatBatch(Batch& batch, unsigned formatter);
    bool writeBatch(const Batch& batch);
    /// Hands the filling batch to the worker, formatting a queued one while the queue is full.
    bool submit();
    void work();
    void stopWorker();

    std::FILE* out_;
    Format format_;
    std::size_t batchSize_;
    std::unique_ptr<Batch> filling_;
    bool failed_ = false;
    int error_ = 0;

    // Shared with the worker, under lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Batch>> queue_; // in output order
    std::vector<std::unique_ptr<Batch>> spare_;
    bool done_ = false; // no batch comes any more
    bool stop_ = false; // drop what is queued
    bool workerFailed_ = false;
    int workerError_ = 0;
    std::thread worker_;
};

/// The lines of `items` that `passes` lets through, each with what the class decoder says of
/// it, written through `format` in order; false when a write failed (its errno in `error`).
/// Decoding runs on the threads that format: only the items whose text depends on earlier
/// ones are decoded on the caller, every one of them in capture order, shown or not (a
/// mass-storage data stage is read by its command even when the filter hides the command).
bool WriteDecodedTransfers(std::FILE* out, const capture::PacketList& packets,
                           const protocol::Transactions& tx, const protocol::DeviceModel& devices,
                           const protocol::TransferList& items,
                           const std::function<bool(const protocol::TransferItem&)>& passes,
                           const LineFormat& format, unsigned threads, std::size_t batch,
                           int& error);

} // namespace vintrace::cli
