#include "capture/PacketList.h"

#include "platform/HeapPolicy.h"

#include <algorithm>
#include <cstring>

namespace vintrace::capture {

PacketList& PacketList::operator=(PacketList&& other) noexcept {
    if (this != &other) {
        headerChunks_ = std::move(other.headerChunks_);
        byteBlocks_ = std::move(other.byteBlocks_);
        count_ = std::exchange(other.count_, 0);
        // The cursor points into a block that now belongs to this list.
        tail_ = std::exchange(other.tail_, ByteCursor());
        other.headerChunks_.clear();
        other.byteBlocks_.clear();
    }
    return *this;
}

PacketList::Header& PacketList::pushHeader() {
    if ((count_ & (kChunkSize - 1)) == 0 && (count_ >> kChunkShift) == headerChunks_.size()) {
        headerChunks_.push_back(platform::NewBackedBlock<Header>(kChunkSize));
    }
    return header(count_++);
}

void PacketList::newBlock(ByteCursor& cursor) {
    byteBlocks_.push_back(platform::NewBackedBlock<std::uint8_t>(kBlockSize));
    cursor.block = byteBlocks_.back().get();
    cursor.base = static_cast<std::uint64_t>(byteBlocks_.size() - 1) << kBlockShift;
    cursor.used = 0;
}

void PacketList::resizeHeaders(std::size_t count) {
    const std::size_t chunks = (count + kChunkSize - 1) >> kChunkShift;
    while (headerChunks_.size() < chunks) {
        // Not zero-filled: the decoders write every header of the window.
        headerChunks_.push_back(platform::NewBackedBlock<Header>(kChunkSize));
    }
    count_ = count;
}

void PacketList::append(RecordKind kind, std::uint8_t length, std::span<const std::uint8_t> bytes) {
    std::uint64_t offset = 0;
    std::uint8_t* out = reserveRecordBytes(tail_, offset);
    const std::size_t n = std::min<std::size_t>(bytes.size(), CapacityOf(kind));
    if (n != 0) {
        std::memcpy(out, bytes.data(), n);
    }
    tail_.used += n;
    Header& h = pushHeader();
    h.setOffset(offset);
    h.kind = kind;
    h.length = length;
    h.stored = static_cast<std::uint8_t>(n);
    deriveTokenFields(h, out);
}

std::size_t PacketList::removeKind(RecordKind k) {
    // One stable compaction pass; the bytes of removed records stay in their blocks until the
    // list is cleared, which keeps the pass cheap and the remaining offsets valid. It walks
    // chunk by chunk through plain pointers and rewrites nothing before the first removal: at
    // a hundred million records the pass runs on the window's thread and is bound by memory.
    const std::size_t first = findKind(0, [k](RecordKind kind) { return kind == k; });
    std::size_t write = first;
    Header* out = nullptr;
    std::size_t outLeft = 0; // headers `out` may still take in its chunk
    for (std::size_t c = first >> kChunkShift; (c << kChunkShift) < count_; ++c) {
        const Header* in = headerChunks_[c].get();
        const std::size_t begin = c == (first >> kChunkShift) ? first & (kChunkSize - 1) : 0;
        const std::size_t end = std::min(kChunkSize, count_ - (c << kChunkShift));
        for (std::size_t j = begin; j < end; ++j) {
            if (in[j].kind == k) {
                continue;
            }
            if (outLeft == 0) {
                const std::size_t at = write & (kChunkSize - 1);
                out = headerChunks_[write >> kChunkShift].get() + at;
                outLeft = kChunkSize - at;
            }
            *out++ = in[j];
            --outLeft;
            ++write;
        }
    }
    const std::size_t removed = count_ - write;
    count_ = write;
    const std::size_t chunksNeeded = (count_ + kChunkSize - 1) >> kChunkShift;
    headerChunks_.resize(chunksNeeded);
    return removed;
}

template <typename Keep>
std::optional<PacketList::Headers> PacketList::headersKept(Keep keep, const std::atomic<bool>* stop,
                                                           Headers* discard) const {
    Headers kept;
    Header* out = nullptr;
    std::size_t outLeft = 0; // headers `out` may still take in its chunk
    for (std::size_t c = 0; (c << kChunkShift) < count_; ++c) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            if (discard != nullptr) {
                *discard = std::move(kept);
            }
            return std::nullopt;
        }
        const Header* in = headerChunks_[c].get();
        const std::size_t end = std::min(kChunkSize, count_ - (c << kChunkShift));
        for (std::size_t j = 0; j < end; ++j) {
            if (!keep((c << kChunkShift) | j, in[j])) {
                continue;
            }
            if (outLeft == 0) {
                kept.chunks_.push_back(platform::NewBackedBlock<Header>(kChunkSize));
                out = kept.chunks_.back().get();
                outLeft = kChunkSize;
            }
            *out++ = in[j];
            --outLeft;
            ++kept.count_;
        }
    }
    return kept;
}

std::optional<PacketList::Headers>
PacketList::headersWithout(std::span<const std::uint64_t> removed, const std::atomic<bool>* stop,
                           Headers* discard) const {
    return headersKept(
        [removed](std::size_t i, const Header&) {
            return (i >> 6) >= removed.size() || ((removed[i >> 6] >> (i & 63)) & 1) == 0;
        },
        stop, discard);
}

std::optional<PacketList::Headers>
PacketList::headersWithout(RecordKind k, const std::atomic<bool>* stop, Headers* discard) const {
    return headersKept([k](std::size_t, const Header& h) { return h.kind != k; }, stop, discard);
}

PacketList::Headers PacketList::swapHeaders(Headers headers) {
    std::swap(headerChunks_, headers.chunks_);
    std::swap(count_, headers.count_);
    return headers;
}

void PacketList::clear() {
    headerChunks_.clear();
    headerChunks_.shrink_to_fit();
    byteBlocks_.clear();
    byteBlocks_.shrink_to_fit();
    count_ = 0;
    tail_ = ByteCursor();
}

PacketList PacketList::clone(const std::atomic<bool>* stop, PacketList* discard) const {
    PacketList copy;
    const auto stopped = [stop, discard, &copy] {
        if (stop == nullptr || !stop->load(std::memory_order_relaxed)) {
            return false;
        }
        if (discard != nullptr) {
            *discard = std::move(copy);
        }
        return true;
    };
    const std::size_t chunks = (count_ + kChunkSize - 1) >> kChunkShift;
    copy.headerChunks_.reserve(chunks);
    for (std::size_t c = 0; c < chunks; ++c) {
        if (stopped()) {
            return {};
        }
        auto chunk = platform::NewBackedBlock<Header>(kChunkSize);
        // Only the headers in use: the rest of the last chunk was never written.
        const std::size_t used = std::min(kChunkSize, count_ - (c << kChunkShift));
        std::copy_n(headerChunks_[c].get(), used, chunk.get());
        copy.headerChunks_.push_back(std::move(chunk));
    }
    copy.byteBlocks_.reserve(byteBlocks_.size());
    for (const auto& block : byteBlocks_) {
        if (stopped()) {
            return {};
        }
        auto bytes = platform::NewBackedBlock<std::uint8_t>(kBlockSize);
        std::memcpy(bytes.get(), block.get(), kBlockSize);
        copy.byteBlocks_.push_back(std::move(bytes));
    }
    copy.count_ = count_;
    // The copy's next append starts a block of its own.
    return copy;
}

std::size_t PacketList::memoryUsed() const {
    return headerChunks_.size() * kChunkSize * sizeof(Header) + byteBlocks_.size() * kBlockSize +
           (headerChunks_.capacity() + byteBlocks_.capacity()) * sizeof(void*);
}

} // namespace vintrace::capture
