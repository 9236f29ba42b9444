#pragma once

#include "capture/CaptureRecord.h"
#include "platform/HeapPolicy.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vintrace::capture {

class CaptureDecoder;
class ParallelDecoder;

/// The ordered records of the open capture; index i is line i of both list views.
///
/// Built for captures of hundreds of millions of packets: a record costs a 10-byte header
/// plus its stored bytes, both kept in fixed-size chunks so that growing the list never
/// copies it (peak memory stays close to the final size).
class PacketList {
public:
    PacketList() = default;
    PacketList(const PacketList&) = delete;
    PacketList& operator=(const PacketList&) = delete;
    /// Moving leaves `other` empty.
    PacketList(PacketList&& other) noexcept { *this = std::move(other); }
    PacketList& operator=(PacketList&& other) noexcept;

    /// Number of records.
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    /// Record i (i < size()); its byte view is valid until the list changes. Inline: dumps
    /// and scans call it once per record.
    CaptureRecord operator[](std::size_t i) const {
        const Header& h = header(i);
        CaptureRecord r;
        r.kind = h.kind;
        r.length = h.length;
        r.bytes = std::span<const std::uint8_t>(bytesAt(h.offset()), h.stored);
        r.address = h.address;
        r.endpoint = h.endpoint;
        return r;
    }
    /// Kind of record i, without building the whole view.
    RecordKind kind(std::size_t i) const { return header(i).kind; }
    /// Address and endpoint of record i (0 unless a token), without building the whole view.
    std::uint8_t address(std::size_t i) const { return header(i).address; }
    std::uint8_t endpoint(std::size_t i) const { return header(i).endpoint; }

    /// The first index at or after `start` whose kind satisfies `pred`; size() when none does.
    /// Walks the store chunk by chunk, for scans over millions of records.
    template <typename Pred> std::size_t findKind(std::size_t start, Pred pred) const {
        std::size_t i = start;
        while (i < count_) {
            const Header* chunk = headerChunks_[i >> kChunkShift].get();
            const std::size_t end = std::min(count_, ((i >> kChunkShift) + 1) << kChunkShift);
            for (; i < end; ++i) {
                if (pred(chunk[i & (kChunkSize - 1)].kind)) {
                    return i;
                }
            }
        }
        return count_;
    }

    /// Appends a record with explicit fields. `bytes` beyond the kind's capacity are not kept.
    /// Address and endpoint are derived from the bytes for tokens, as the decoder does.
    void append(RecordKind kind, std::uint8_t length, std::span<const std::uint8_t> bytes);

    /// Removes every record of kind `k`, keeping the order of the rest; returns how many went.
    std::size_t removeKind(RecordKind k);

    /// Marks record i with kind `k` (hide passes mark records HIDDEN before removing them).
    void setKind(std::size_t i, RecordKind k) { header(i).kind = k; }

    /// The order of a list's records without their bytes. A hide on a worker builds the
    /// remaining records' headers beside the list while the window still reads it, and the
    /// window's thread swaps them in: the bytes stay where they are, as removeKind leaves them.
    class Headers;
    /// The headers of the records whose bit in `removed` (bit i of word i / 64) is clear, in
    /// order; records past the bits' end are kept. Reads the list only. Once `stop` is set it
    /// ends within a chunk and returns nothing; what it had built goes to `discard` when
    /// given, for the caller to free where no one waits for it.
    std::optional<Headers> headersWithout(std::span<const std::uint64_t> removed,
                                          const std::atomic<bool>* stop = nullptr,
                                          Headers* discard = nullptr) const;
    /// The same for every record of kind `k`.
    std::optional<Headers> headersWithout(RecordKind k, const std::atomic<bool>* stop = nullptr,
                                          Headers* discard = nullptr) const;
    /// Puts `headers` in place of the list's own and returns those. `headers` must come from
    /// headersWithout() on this list, unchanged since: they point into its bytes.
    Headers swapHeaders(Headers headers);

    /// Releases every record.
    void clear();
    /// An independent copy, for a worker that reads the capture while this list may change.
    /// Costs a copy of the memory memoryUsed() reports, block by block. Once `stop` is set the
    /// copy ends within a block and comes back empty; what it had copied goes to `discard`
    /// when given, to be freed once the caller has said it no longer reads this list (a copy
    /// of 100 M records takes a while to free).
    PacketList clone(const std::atomic<bool>* stop = nullptr, PacketList* discard = nullptr) const;

    /// Bytes of memory held for the records (headers and byte storage), for measurements.
    std::size_t memoryUsed() const;

private:
    friend class CaptureDecoder;
    friend class ParallelDecoder;

    /// 10 bytes: at hundreds of millions of records, every byte here is hundreds of
    /// megabytes. The offset of the bytes has 40 bits, a terabyte of stored bytes.
    struct Header {
        std::uint16_t offsetLow; // global byte offset: block index << kBlockShift | position
        std::uint16_t offsetMid;
        std::uint8_t offsetHigh;
        RecordKind kind;
        std::uint8_t length;
        std::uint8_t address;
        std::uint8_t endpoint;
        std::uint8_t stored;

        std::uint64_t offset() const {
            return offsetLow | std::uint64_t{offsetMid} << 16 | std::uint64_t{offsetHigh} << 32;
        }
        void setOffset(std::uint64_t o) {
            offsetLow = static_cast<std::uint16_t>(o);
            offsetMid = static_cast<std::uint16_t>(o >> 16);
            offsetHigh = static_cast<std::uint8_t>(o >> 32);
        }
    };
    static_assert(sizeof(Header) == 10);

public:
    class Headers {
    public:
        std::size_t size() const { return count_; }

    private:
        friend class PacketList;
        std::vector<platform::Block<Header>> chunks_;
        std::size_t count_ = 0;
    };

private:
    // 262,144 headers (2.5 MiB) per chunk: the first 2 MiB are one large page.
    static constexpr unsigned kChunkShift = 18;
    static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkShift;
    static constexpr unsigned kBlockShift = 21; // a large page of bytes per block
    static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
    static_assert(kBlockSize == platform::kLargePage);
    /// A record never straddles blocks: it starts where at least this much room is left
    /// (the largest capacity plus one byte of slack for the decoder's branch-free store).
    static constexpr std::size_t kRecordRoom = 67;

    const Header& header(std::size_t i) const {
        return headerChunks_[i >> kChunkShift][i & (kChunkSize - 1)];
    }
    Header& header(std::size_t i) { return headerChunks_[i >> kChunkShift][i & (kChunkSize - 1)]; }
    /// The headers of the records `keep` holds for, for headersWithout().
    template <typename Keep>
    std::optional<Headers> headersKept(Keep keep, const std::atomic<bool>* stop,
                                       Headers* discard) const;

    const std::uint8_t* bytesAt(std::uint64_t offset) const {
        return byteBlocks_[offset >> kBlockShift].get() + (offset & (kBlockSize - 1));
    }

    /// Appends an uninitialised header and returns it.
    Header& pushHeader();
    /// Where the next record's bytes go: one block being filled. The list has its own; each
    /// thread of a parallel decode has another, so threads never share a block.
    struct ByteCursor {
        std::uint8_t* block = nullptr;
        std::uint64_t base = 0;        // the block's index << kBlockShift
        std::size_t used = kBlockSize; // "full" when there is no block yet
    };
    /// Adds an empty block for `cursor`.
    void newBlock(ByteCursor& cursor);
    /// Makes room for one record's bytes and returns where they go; sets `offset`.
    std::uint8_t* reserveRecordBytes(ByteCursor& cursor, std::uint64_t& offset) {
        if (kBlockSize - cursor.used < kRecordRoom) {
            newBlock(cursor);
        }
        offset = cursor.base | cursor.used;
        return cursor.block + cursor.used;
    }
    /// Makes room for `count` records in all: allocates header chunks and sets size().
    void resizeHeaders(std::size_t count);
    /// Sets address and endpoint from a token's first two bytes; inline for the decoder's
    /// per-packet path.
    static void deriveTokenFields(Header& h, const std::uint8_t* bytes) {
        // The address is the first byte after the PID, the endpoint straddles the first two.
        // A cut token leaves what it did not receive at 0.
        h.address = 0;
        h.endpoint = 0;
        if (!IsToken(h.kind)) {
            return;
        }
        if (h.stored >= 1) {
            h.address = bytes[0] & 0x7F;
        }
        if (h.stored >= 2) {
            h.endpoint = static_cast<std::uint8_t>(((bytes[1] & 0x07) << 1) | (bytes[0] >> 7));
        }
    }

    std::vector<platform::Block<Header>> headerChunks_;
    std::vector<platform::Block<std::uint8_t>> byteBlocks_;
    std::size_t count_ = 0;
    ByteCursor tail_; // the block that appends fill
};

} // namespace vintrace::capture
