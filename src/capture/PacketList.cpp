#include "capture/PacketList.h"

#include <algorithm>
#include <cstring>

namespace vintrace::capture {

CaptureRecord PacketList::operator[](std::size_t i) const {
    const Header& h = header(i);
    CaptureRecord r;
    r.kind = h.kind;
    r.length = h.length;
    r.bytes = std::span<const std::uint8_t>(bytesAt(h.offset), h.stored);
    r.address = h.address;
    r.endpoint = h.endpoint;
    return r;
}

PacketList::Header& PacketList::pushHeader() {
    if ((count_ & (kChunkSize - 1)) == 0 && (count_ >> kChunkShift) == headerChunks_.size()) {
        headerChunks_.push_back(std::make_unique_for_overwrite<Header[]>(kChunkSize));
    }
    return header(count_++);
}

std::uint8_t* PacketList::reserveRecordBytes(std::uint64_t& offset) {
    if (kBlockSize - blockUsed_ < kRecordRoom) {
        byteBlocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize));
        blockUsed_ = 0;
    }
    offset = (static_cast<std::uint64_t>(byteBlocks_.size() - 1) << kBlockShift) | blockUsed_;
    return byteBlocks_.back().get() + blockUsed_;
}

void PacketList::append(RecordKind kind, std::uint8_t length,
                        std::span<const std::uint8_t> bytes) {
    std::uint64_t offset = 0;
    std::uint8_t* out = reserveRecordBytes(offset);
    const std::size_t n = std::min<std::size_t>(bytes.size(), CapacityOf(kind));
    if (n != 0) {
        std::memcpy(out, bytes.data(), n);
    }
    commitRecordBytes(n);
    Header& h = pushHeader();
    h.offset = offset;
    h.kind = kind;
    h.length = length;
    h.stored = static_cast<std::uint8_t>(n);
    deriveTokenFields(h, out);
}

std::size_t PacketList::removeKind(RecordKind k) {
    // One stable compaction pass; the bytes of removed records stay in their blocks until the
    // list is cleared, which keeps the pass cheap and the remaining offsets valid.
    std::size_t write = 0;
    for (std::size_t read = 0; read < count_; ++read) {
        const Header& h = header(read);
        if (h.kind != k) {
            if (write != read) {
                header(write) = h;
            }
            ++write;
        }
    }
    const std::size_t removed = count_ - write;
    count_ = write;
    const std::size_t chunksNeeded = (count_ + kChunkSize - 1) >> kChunkShift;
    headerChunks_.resize(chunksNeeded);
    return removed;
}

void PacketList::clear() {
    headerChunks_.clear();
    headerChunks_.shrink_to_fit();
    byteBlocks_.clear();
    byteBlocks_.shrink_to_fit();
    count_ = 0;
    blockUsed_ = kBlockSize;
}

std::size_t PacketList::memoryUsed() const {
    return headerChunks_.size() * kChunkSize * sizeof(Header) + byteBlocks_.size() * kBlockSize +
           (headerChunks_.capacity() + byteBlocks_.capacity()) * sizeof(void*);
}

} // namespace vintrace::capture
