#pragma once

#include "capture/PacketList.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vintrace::protocol {

/// The frame number an SOF record carries (its 11 bits); nothing for a record cut short.
std::optional<std::uint16_t> SofFrameNumber(const capture::CaptureRecord& record);

/// Where each transaction of a capture stands in time, counted in frames: the frame number of
/// the last SOF at or before it. The host sends one SOF a frame with the next number of an
/// 11-bit counter (USB 2.0 8.4.3.1); each step from one SOF to the next is counted modulo
/// 2,048, so the count keeps increasing across wraps. It starts at the first SOF's number.
///
/// The index keeps the count at every kStride-th transaction only (eight bytes each): a
/// look-up reads at most kStride transactions from there.
class FrameIndex {
public:
    static constexpr std::size_t kStride = 1024;

    /// One pass over the transactions; empty when `stop` was set before it ended.
    static FrameIndex Build(const capture::PacketList& packets, const Transactions& transactions,
                            const std::atomic<bool>* stop = nullptr);

    /// The counted frame of the last SOF at or before transaction `x`; nothing before the first
    /// SOF or past the transactions the index was built over.
    std::optional<std::uint64_t> at(const capture::PacketList& packets,
                                    const Transactions& transactions, std::size_t x) const;
    /// Transactions the index covers.
    std::size_t size() const { return size_; }
    std::size_t memoryUsed() const { return before_.capacity() * sizeof(std::uint64_t); }

    /// The count after an SOF numbered `frame` that follows the count `current`.
    static std::uint64_t Advance(std::optional<std::uint64_t> current, std::uint16_t frame);

private:
    static constexpr std::uint64_t kNoFrame = ~std::uint64_t{0};
    /// The count standing before transaction i * kStride (kNoFrame: no SOF yet).
    std::vector<std::uint64_t> before_;
    std::size_t size_ = 0;
};

/// Where an item begins (the counted frame at its first transaction) and how many frames it
/// spans (to the frame of its last transaction).
struct ItemFrames {
    std::uint64_t frame = 0;
    std::uint64_t duration = 0;
};
std::optional<ItemFrames> FramesOf(const FrameIndex& index, const capture::PacketList& packets,
                                   const Transactions& transactions, const TransferItem& item);

/// Frames with no SOF in the capture just before an SOF item: its first SOF skips them after
/// the SOF before it. Zero for other items and without an SOF before.
std::uint64_t MissingFramesBefore(const FrameIndex& index, const capture::PacketList& packets,
                                  const Transactions& transactions, const TransferItem& item);

} // namespace vintrace::protocol
