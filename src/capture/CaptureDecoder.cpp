#include "capture/CaptureDecoder.h"

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
    current_ = out_.size();
    PacketList::Header& h = out_.pushHeader();
    h.kind = kPidTable.kind[pid];
    bytes_ = out_.reserveRecordBytes(h.offset);
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
    PacketList::Header& h = out_.header(current_);
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
    for (; p != end; p += 2) {
        const std::uint8_t value = p[1];
        if (p[0] == 1) {
            stored_ = stored;
            received_ = received;
            startRecord(value);
            bytes = bytes_;
            stored = stored_;
            capacity = capacity_;
            received = received_;
        } else {
            bytes[stored] = value;
            stored += stored < capacity;
            ++received;
        }
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
