#pragma once

#include "protocol/TransferItem.h"

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::cli {

/// An item as `transfers` shows it: the item and what the class decoder made of it.
struct ShownTransfer {
    protocol::TransferItem item;
    std::optional<std::string> decoded;
};

/// Writes items, given in order, as lines formatted by `format`, in the same order. Decoding is
/// serial (a status wrapper needs its command), so with two threads the lines of a batch are
/// formatted and written on a worker while the caller decodes the next; the caller formats a
/// waiting batch itself rather than wait for the worker.
class TransferWriter {
public:
    using Format = std::function<void(std::string& out, const ShownTransfer& shown)>;

    /// `threads` 1 formats and writes on the calling thread; any other number adds one worker.
    TransferWriter(std::FILE* out, Format format, unsigned threads, std::size_t batch);
    /// Stops the worker; what finish() did not write is dropped.
    ~TransferWriter();
    TransferWriter(const TransferWriter&) = delete;
    TransferWriter& operator=(const TransferWriter&) = delete;

    /// Queues an item; false once a write has failed (the caller stops there).
    bool add(const protocol::TransferItem& item, std::optional<std::string> decoded);
    /// Writes what is queued and flushes; false when any write failed.
    bool finish();
    /// The errno of the first failed write (0 when the stream set none).
    int error() const { return error_; }

private:
    struct Batch {
        std::vector<ShownTransfer> items;
        std::string text;
        enum class State { Queued, Formatting, Formatted } state = State::Queued;
    };

    void formatBatch(Batch& batch);
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

} // namespace vintrace::cli
