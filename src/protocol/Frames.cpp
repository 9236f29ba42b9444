#include "protocol/Frames.h"

namespace vintrace::protocol {

std::optional<std::uint16_t> SofFrameNumber(const capture::CaptureRecord& record) {
    if (record.bytes.size() < 2) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(record.bytes[0] | (record.bytes[1] & 7) << 8);
}

std::uint64_t FrameIndex::Advance(std::optional<std::uint64_t> current, std::uint16_t frame) {
    if (!current) {
        return frame;
    }
    constexpr std::uint64_t kMask = 0x7FF;
    return *current + ((frame - (*current & kMask)) & kMask);
}

namespace {

/// Moves `count` over transaction `t` when it is an SOF that says its frame.
void Step(const capture::PacketList& packets, const Transactions& transactions, std::size_t x,
          const Transaction& t, std::optional<std::uint64_t>& count) {
    if (t.kind != TransactionKind::Sof) {
        return;
    }
    if (const auto frame = SofFrameOf(packets, transactions, x)) {
        count = FrameIndex::Advance(count, *frame);
    }
}

} // namespace

FrameIndex FrameIndex::Build(const capture::PacketList& packets, const Transactions& transactions,
                             const std::atomic<bool>* stop) {
    FrameIndex index;
    const std::size_t n = transactions.size();
    index.before_.reserve(n / kStride + 1);
    std::optional<std::uint64_t> count;
    for (std::size_t x = 0; x < n; ++x) {
        if (x % kStride == 0) {
            if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
                return {};
            }
            index.before_.push_back(count.value_or(kNoFrame));
        }
        Step(packets, transactions, x, transactions[x], count);
    }
    index.size_ = n;
    return index;
}

std::optional<std::uint64_t> FrameIndex::at(const capture::PacketList& packets,
                                            const Transactions& transactions, std::size_t x) const {
    if (x >= size_ || x >= transactions.size()) {
        return std::nullopt;
    }
    const std::size_t block = x / kStride;
    std::optional<std::uint64_t> count;
    if (before_[block] != kNoFrame) {
        count = before_[block];
    }
    for (std::size_t i = block * kStride; i <= x; ++i) {
        Step(packets, transactions, i, transactions[i], count);
    }
    return count;
}

std::optional<ItemFrames> FramesOf(const FrameIndex& index, const capture::PacketList& packets,
                                   const Transactions& transactions, const TransferItem& item) {
    const auto first = index.at(packets, transactions, item.firstTransaction);
    if (!first) {
        return std::nullopt;
    }
    const auto last = index.at(packets, transactions, item.lastTransaction);
    return ItemFrames{*first, last ? *last - *first : 0};
}

std::uint64_t MissingFramesBefore(const FrameIndex& index, const capture::PacketList& packets,
                                  const Transactions& transactions, const TransferItem& item) {
    if (item.type != TransferType::Sof || item.firstTransaction == 0) {
        return 0;
    }
    const auto before = index.at(packets, transactions, item.firstTransaction - 1);
    const auto first = index.at(packets, transactions, item.firstTransaction);
    return before && first && *first > *before + 1 ? *first - *before - 1 : 0;
}

} // namespace vintrace::protocol
