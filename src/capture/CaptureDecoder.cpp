#include "capture/CaptureDecoder.h"

#include <bit>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VINTRACE_DECODER_SSE2 1
#else
#define VINTRACE_DECODER_SSE2 0
#endif

namespace vintrace::capture {

namespace {
struct PidTable {
    RecordKind kind[256];
    constexpr PidTable() : kind{} {
        for (int i = 0; i < 256; ++i) {
            kind[i] = RecordKind::Unknown;
        }
        kind[0x2D] = RecordKind::Setup;
        kind[0xE1] = RecordKind::Out;
        kind[0x69] = RecordKind::In;
        kind[0xD2] = RecordKind::Ack;
        kind[0x5A] = RecordKind::Nak;
        kind[0x1E] = RecordKind::Stall;
        kind[0xC3] = RecordKind::Data0;
        kind[0x4B] = RecordKind::Data1;
        kind[0xA5] = RecordKind::Sof;
    }
};
constexpr PidTable kPidTable;
} // namespace

void CaptureDecoder::startRecord(std::uint8_t pid) {
    if (started_) {
        endRecord();
    }
    started_ = true;
    // Fast paths of PacketList::pushHeader and reserveRecordBytes: this runs once per packet,
    // and the calls cost as much as decoding a small packet's units.
    const std::size_t index = out_.count_;
    const std::size_t chunk = index >> PacketList::kChunkShift;
    if (chunk < out_.headerChunks_.size()) {
        header_ = &out_.headerChunks_[chunk][index & (PacketList::kChunkSize - 1)];
        ++out_.count_;
    } else {
        header_ = &out_.pushHeader();
    }
    PacketList::Header& h = *header_;
    h.kind = kPidTable.kind[pid];
    if (PacketList::kBlockSize - out_.blockUsed_ >= PacketList::kRecordRoom) {
        h.offset =
            (static_cast<std::uint64_t>(out_.byteBlocks_.size() - 1) << PacketList::kBlockShift) |
            out_.blockUsed_;
        bytes_ = out_.byteBlocks_.back().get() + out_.blockUsed_;
    } else {
        bytes_ = out_.reserveRecordBytes(h.offset);
    }
    capacity_ = CapacityOf(h.kind);
    if (h.kind == RecordKind::Unknown) {
        // The unrecognised identifier is kept as the first byte and counted in the length.
        bytes_[0] = pid;
        stored_ = 1;
        received_ = 1;
    } else {
        stored_ = 0;
        received_ = 0;
    }
}

void CaptureDecoder::endRecord() {
    PacketList::Header& h = *header_;
    h.length = static_cast<std::uint8_t>(received_); // counts modulo 256
    h.stored = static_cast<std::uint8_t>(stored_);
    out_.commitRecordBytes(stored_);
    PacketList::deriveTokenFields(h, bytes_);
}

void CaptureDecoder::unit(std::uint8_t marker, std::uint8_t value) {
    if (marker == 1) {
        startRecord(value);
    } else if (started_) {
        // A record keeps the first bytes it received, never overwriting them once its length
        // count wraps; the byte after them is slack reserved for this branch-free store.
        bytes_[stored_] = value;
        stored_ += stored_ < capacity_;
        ++received_;
    }
}

void CaptureDecoder::feed(std::span<const std::uint8_t> piece) {
    const std::uint8_t* p = piece.data();
    std::size_t n = piece.size();
    if (n == 0) {
        return;
    }
    if (havePending_) {
        havePending_ = false;
        unit(pending_, p[0]);
        ++p;
        --n;
    }
    const std::uint8_t* end = p + (n & ~std::size_t{1});
    // Units before the first start unit belong to a packet whose start is not in the file.
    while (!started_ && p != end) {
        unit(p[0], p[1]);
        p += 2;
    }
    // Hot loop: the current record's state lives in locals.
    std::uint8_t* bytes = bytes_;
    std::uint32_t stored = stored_;
    std::uint32_t capacity = capacity_;
    std::uint32_t received = received_;
    while (p != end) {
        if (p[0] == 1) {
            stored_ = stored;
            received_ = received;
            startRecord(p[1]);
            bytes = bytes_;
            stored = stored_;
            capacity = capacity_;
            received = received_;
            p += 2;
            continue;
        }
#if VINTRACE_DECODER_SSE2
        // Most of a capture is data payload: take continuation units 8 at a time while the
        // record has room for 8 more bytes, stopping at the first start unit.
        while (capacity - stored >= 8 && end - p >= 16) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned starts =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(units, _mm_set1_epi8(1)))) &
                0x5555u; // markers sit at the even byte positions
            const __m128i values = _mm_packus_epi16(_mm_srli_epi16(units, 8), _mm_setzero_si128());
            // All 8 bytes fit below the capacity; those past a start unit are not committed.
            _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + stored), values);
            const unsigned taken = starts != 0 ? std::countr_zero(starts) / 2 : 8;
            stored += taken;
            received += taken;
            p += 2 * taken;
            if (starts != 0) {
                break;
            }
        }
        if (p == end || p[0] == 1) {
            continue;
        }
#endif
        bytes[stored] = p[1];
        stored += stored < capacity;
        ++received;
        p += 2;
    }
    stored_ = stored;
    received_ = received;
    if (n & 1) {
        havePending_ = true;
        pending_ = *end;
    }
}

void CaptureDecoder::finish() {
    if (started_) {
        endRecord();
        started_ = false;
    }
    havePending_ = false;
}

void ParseCaptureFile(std::span<const std::uint8_t> data, PacketList& out) {
    CaptureDecoder decoder(out);
    decoder.feed(data);
    decoder.finish();
}

} // namespace vintrace::capture
