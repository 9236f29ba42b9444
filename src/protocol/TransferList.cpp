#include "protocol/TransferList.h"

namespace vintrace::protocol {

namespace {

constexpr unsigned kFirstShift = 24;
constexpr std::uint64_t kWideBit = std::uint64_t{1} << 6;
// A transfer that took in the NAK that delayed it is common in busy traffic: keep it narrow.
constexpr std::uint64_t kOneNakBit = std::uint64_t{1} << 5;
constexpr std::uint64_t kSpanLimit = std::uint64_t{1} << 24;
constexpr std::uint64_t kCountLimit = std::uint64_t{1} << 20;

constexpr std::uint64_t Field(std::uint64_t word, unsigned shift, unsigned bits) {
    return (word >> shift) & ((std::uint64_t{1} << bits) - 1);
}

bool FitsNarrow(const TransferItem& item) {
    return item.lastTransaction >= item.firstTransaction &&
           item.lastTransaction - item.firstTransaction < kSpanLimit && item.count < kCountLimit &&
           item.bytes < kCountLimit && item.naks <= 1 && item.excess == 0;
}

} // namespace

TransferList::Packed TransferList::pack(const TransferItem& item, std::uint64_t wideIndex) const {
    Packed p;
    p.head = static_cast<std::uint64_t>(item.firstTransaction) << kFirstShift |
             std::uint64_t{static_cast<unsigned>(item.type) & 7u} << 21 |
             std::uint64_t{static_cast<unsigned>(item.status) & 3u} << 19 |
             std::uint64_t{item.direction == Direction::In ? 1u : 0u} << 18 |
             std::uint64_t{item.address & 0x7Fu} << 11 | std::uint64_t{item.endpoint & 0x0Fu} << 7;
    if (wideIndex != UINT64_MAX) {
        p.head |= kWideBit;
        p.tail = wideIndex;
    } else {
        p.tail = static_cast<std::uint64_t>(item.lastTransaction - item.firstTransaction) << 40 |
                 std::uint64_t{item.count} << 20 | item.bytes;
        if (item.naks == 1) {
            p.head |= kOneNakBit;
        }
    }
    return p;
}

TransferItem TransferList::operator[](std::size_t i) const {
    const Packed& p = packed_[i];
    TransferItem item;
    item.firstTransaction = static_cast<std::size_t>(p.head >> kFirstShift);
    item.type = static_cast<TransferType>(Field(p.head, 21, 3));
    item.status = static_cast<TransferStatus>(Field(p.head, 19, 2));
    item.direction = Field(p.head, 18, 1) != 0 ? Direction::In : Direction::Out;
    item.address = static_cast<std::uint8_t>(Field(p.head, 11, 7));
    item.endpoint = static_cast<std::uint8_t>(Field(p.head, 7, 4));
    if ((p.head & kWideBit) != 0) {
        const Wide& w = wide_[static_cast<std::size_t>(p.tail)];
        item.lastTransaction = static_cast<std::size_t>(w.lastTransaction);
        item.count = w.count;
        item.naks = w.naks;
        item.bytes = w.bytes;
        item.excess = w.excess;
    } else {
        item.lastTransaction = item.firstTransaction + static_cast<std::size_t>(p.tail >> 40);
        item.count = static_cast<std::uint32_t>(Field(p.tail, 20, 20));
        item.bytes = static_cast<std::uint32_t>(Field(p.tail, 0, 20));
        item.naks = (p.head & kOneNakBit) != 0 ? 1 : 0;
    }
    return item;
}

void TransferList::push_back(const TransferItem& item) {
    packed_.push_back(Packed{});
    set(packed_.size() - 1, item);
}

void TransferList::set(std::size_t i, const TransferItem& item) {
    Packed& p = packed_[i];
    std::uint64_t wideIndex = UINT64_MAX;
    if ((p.head & kWideBit) != 0) {
        wideIndex = p.tail; // once wide, the item keeps its entry
    } else if (!FitsNarrow(item)) {
        wideIndex = wide_.size();
        wide_.push_back(Wide{});
    }
    if (wideIndex != UINT64_MAX) {
        wide_[static_cast<std::size_t>(wideIndex)] =
            Wide{item.lastTransaction, item.count, item.naks, item.bytes, item.excess};
    }
    p = pack(item, wideIndex);
}

std::vector<TransferItem> TransferList::release() {
    std::vector<TransferItem> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
        out.push_back((*this)[i]);
        if ((i + 1) % ChunkedVector<Packed>::kChunkSize == 0) {
            packed_.releaseBefore(i + 1);
        }
    }
    packed_ = {};
    wide_ = {};
    return out;
}

} // namespace vintrace::protocol
