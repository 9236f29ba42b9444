#include "TransferWriter.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace vintrace::cli {

namespace {

// Batches queued for the worker; beyond this the caller formats one itself.
constexpr std::size_t kQueued = 4;

} // namespace

TransferWriter::TransferWriter(std::FILE* out, Format format, unsigned threads, std::size_t batch)
    : out_(out), format_(std::move(format)), batchSize_(std::max<std::size_t>(batch, 1)),
      filling_(std::make_unique<Batch>()) {
    filling_->items.reserve(batchSize_);
    if (threads != 1) {
        worker_ = std::thread([this] { work(); });
    }
}

TransferWriter::~TransferWriter() {
    stopWorker();
}

void TransferWriter::stopWorker() {
    if (!worker_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void TransferWriter::formatBatch(Batch& batch) {
    batch.text.clear();
    for (const ShownTransfer& shown : batch.items) {
        format_(batch.text, shown);
    }
}

bool TransferWriter::writeBatch(const Batch& batch) {
    return std::fwrite(batch.text.data(), 1, batch.text.size(), out_) == batch.text.size();
}

bool TransferWriter::add(const protocol::TransferItem& item, std::optional<std::string> decoded) {
    if (failed_) {
        return false;
    }
    filling_->items.push_back({item, std::move(decoded)});
    return filling_->items.size() < batchSize_ || submit();
}

bool TransferWriter::submit() {
    if (!worker_.joinable()) {
        formatBatch(*filling_);
        errno = 0;
        if (!writeBatch(*filling_)) {
            failed_ = true;
            error_ = errno;
        }
        filling_->items.clear();
        return !failed_;
    }
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        if (workerFailed_) {
            failed_ = true;
            error_ = workerError_;
            return false;
        }
        if (queue_.size() < kQueued) {
            break;
        }
        // The newest batch nobody formats yet: the worker takes them from the front.
        const auto mine = std::find_if(queue_.rbegin(), queue_.rend(), [](const auto& b) {
            return b->state == Batch::State::Queued;
        });
        if (mine == queue_.rend()) {
            changed_.wait(hold);
            continue;
        }
        Batch& batch = **mine;
        batch.state = Batch::State::Formatting;
        hold.unlock();
        formatBatch(batch);
        hold.lock();
        batch.state = Batch::State::Formatted;
        changed_.notify_all();
    }
    queue_.push_back(std::move(filling_));
    if (spare_.empty()) {
        filling_ = std::make_unique<Batch>();
    } else {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    }
    hold.unlock();
    changed_.notify_all();
    filling_->items.reserve(batchSize_);
    return true;
}

void TransferWriter::work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] {
            return stop_ || (done_ && queue_.empty()) ||
                   (!queue_.empty() && queue_.front()->state != Batch::State::Formatting);
        });
        if (stop_ || queue_.empty()) {
            return;
        }
        // Only this thread pops, so the front stays put while the lock is released.
        Batch& batch = *queue_.front();
        if (batch.state == Batch::State::Queued) {
            batch.state = Batch::State::Formatting;
            hold.unlock();
            formatBatch(batch);
            hold.lock();
            batch.state = Batch::State::Formatted;
            if (stop_) {
                return;
            }
        }
        hold.unlock();
        errno = 0;
        const bool written = writeBatch(batch);
        const int err = errno;
        hold.lock();
        std::unique_ptr<Batch> done = std::move(queue_.front());
        queue_.pop_front();
        done->items.clear();
        done->state = Batch::State::Queued;
        spare_.push_back(std::move(done));
        if (!written) {
            workerFailed_ = true;
            workerError_ = err;
            changed_.notify_all();
            return;
        }
        changed_.notify_all();
    }
}

bool TransferWriter::finish() {
    if (!failed_ && !filling_->items.empty()) {
        submit();
    }
    if (worker_.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            done_ = true;
        }
        changed_.notify_all();
        worker_.join();
        if (!failed_ && workerFailed_) {
            failed_ = true;
            error_ = workerError_;
        }
    }
    if (failed_) {
        return false;
    }
    errno = 0;
    if (std::fflush(out_) != 0) {
        failed_ = true;
        error_ = errno;
    }
    return !failed_;
}

} // namespace vintrace::cli
