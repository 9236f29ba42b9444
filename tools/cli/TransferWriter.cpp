#include "TransferWriter.h"

#include "protocol/ClassDecoder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace vintrace::cli {

namespace {

// Batches queued for the worker; beyond this the caller formats one itself.
constexpr std::size_t kQueued = 4;
/// The most text a batch keeps for its items (its offsets are 32 bits).
constexpr std::size_t kBatchTexts = std::size_t{1} << 30;

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

void TransferWriter::formatBatch(Batch& batch, unsigned formatter) {
    batch.text.clear();
    std::uint32_t begin = 0;
    for (const Entry& e : batch.items) {
        const ShownTransfer shown{
            e.item,
            e.decoded
                ? std::optional(std::string_view(batch.texts).substr(begin, e.textEnd - begin))
                : std::nullopt,
            e.deferred};
        format_(batch.text, shown, formatter);
        begin = e.textEnd;
    }
}

bool TransferWriter::writeBatch(const Batch& batch) {
    return std::fwrite(batch.text.data(), 1, batch.text.size(), out_) == batch.text.size();
}

bool TransferWriter::add(const ShownTransfer& shown) {
    if (failed_) {
        return false;
    }
    std::string& texts = filling_->texts;
    const std::size_t length = shown.decoded ? shown.decoded->size() : 0;
    // The offsets are 32 bits: a batch whose texts would pass that goes now.
    if (texts.size() + length > kBatchTexts && !filling_->items.empty() && !submit()) {
        return false;
    }
    if (length > kBatchTexts) {
        failed_ = true; // no decoder says this much of one item
        error_ = EOVERFLOW;
        return false;
    }
    if (shown.decoded) {
        filling_->texts += *shown.decoded;
    }
    filling_->items.push_back({shown.item, static_cast<std::uint32_t>(filling_->texts.size()),
                               shown.decoded.has_value(), shown.deferred});
    return filling_->items.size() < batchSize_ || submit();
}

bool TransferWriter::submit() {
    if (!worker_.joinable()) {
        formatBatch(*filling_, 0);
        errno = 0;
        if (!writeBatch(*filling_)) {
            failed_ = true;
            error_ = errno;
        }
        filling_->items.clear();
        filling_->texts.clear();
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
        formatBatch(batch, 0);
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
            formatBatch(batch, 1);
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
        done->texts.clear();
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

bool WriteDecodedTransfers(std::FILE* out, const capture::PacketList& packets,
                           const protocol::Transactions& tx, const protocol::DeviceModel& devices,
                           const protocol::TransferList& items,
                           const std::function<bool(const protocol::TransferItem&)>& passes,
                           const LineFormat& format, unsigned threads, std::size_t batch,
                           int& error) {
    using protocol::ClassDecoder;
    // One decoder per formatting thread: a decoder caches what it looked up and is not shared.
    // The caller's also decodes the items that keep state, all of them and in order.
    std::array<std::unique_ptr<ClassDecoder>, TransferWriter::kFormatters> decoders;
    for (auto& decoder : decoders) {
        decoder = std::make_unique<ClassDecoder>(packets, tx, devices);
    }
    ClassDecoder& ordered = *decoders[0];
    auto text = [](const std::optional<protocol::Decoded>& decoded) {
        return decoded ? std::optional<std::string_view>(decoded->text) : std::nullopt;
    };
    TransferWriter writer(
        out,
        [&](std::string& line, const ShownTransfer& shown, unsigned formatter) {
            const protocol::TransferItem item = items[shown.item];
            if (shown.deferred) {
                format(line, item, text(decoders[formatter]->decode(item)));
            } else {
                format(line, item, shown.decoded);
            }
        },
        threads, batch);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const protocol::TransferItem item = items[i];
        std::optional<protocol::Decoded> decoded;
        const bool keepsState = ordered.keepsState(item);
        if (keepsState) {
            decoded = ordered.decode(item);
        }
        if (!passes(item)) {
            continue;
        }
        if (!writer.add({i, text(decoded), !keepsState})) {
            break;
        }
    }
    const bool written = writer.finish();
    error = writer.error();
    return written;
}

} // namespace vintrace::cli
