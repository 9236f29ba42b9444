#include "protocol/Transactions.h"

#include "capture/PacketClass.h"
#include "capture/UsbCrc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <ostream>
#include <sstream>
#include <thread>
#include <vector>

namespace vintrace::protocol {

using capture::IsSof;
using capture::RecordKind;

namespace {

TransactionKind KindOfToken(RecordKind k) {
    switch (k) {
    case RecordKind::Setup:
        return TransactionKind::Setup;
    case RecordKind::Out:
        return TransactionKind::Out;
    default:
        return TransactionKind::In;
    }
}

Outcome OutcomeOf(RecordKind handshake) {
    switch (handshake) {
    case RecordKind::Ack:
        return Outcome::Ack;
    case RecordKind::Nak:
        return Outcome::Nak;
    default:
        return Outcome::Stall;
    }
}

/// HasBadCrc5 for a record known to be a token or an SOF.
bool BadCrc5(const capture::CaptureRecord& r) {
    return r.length == 2 && r.bytes.size() == 2 &&
           !capture::TokenCrcMatches(r.bytes[0], r.bytes[1]);
}

/// One pass over the store's headers; the cursor never moves back.
class Grouper {
public:
    explicit Grouper(const capture::PacketList& packets, DataCheck check = DataCheck::All)
        : p_(packets), n_(packets.size()), check_(check) {}

    /// Groups the transactions that start in [begin, end) onto `out`; returns where the next
    /// one starts.
    std::size_t run(std::size_t begin, std::size_t end, Transactions& out,
                    LargestPayloads& largest) const {
        std::size_t i = begin;
        while (i < end) {
            i = next(i, out, largest);
        }
        return i;
    }

private:
    bool preamble(std::size_t i) const {
        return p_.kind(i) == RecordKind::Unknown && IsPreamble(p_, i);
    }
    /// Index of the packet at i, stepping over a preamble that leads into the transaction.
    std::size_t skipPreamble(std::size_t i) const {
        return i + 1 < n_ && preamble(i) && ContinuesTransaction(p_.kind(i + 1)) ? i + 1 : i;
    }

    /// Groups the transaction that starts at record i; returns where the next one starts.
    std::size_t next(std::size_t i, Transactions& out, LargestPayloads& largest) const {
        std::size_t token = i;
        if (preamble(i) && i + 1 < n_ && IsToken(p_.kind(i + 1))) {
            token = i + 1;
        }
        // The token's (or SOF's) header and bytes are read once: grouping reads every one.
        const capture::CaptureRecord r = p_[token];
        const RecordKind kind = r.kind;
        Transaction t;
        t.first = i;
        if (IsSof(kind)) {
            // A corrupted SOF marks no frame: it stays a malformed entry of its own.
            t.count = 1;
            if (!BadCrc5(r)) {
                // Its frame number is read here, while the record is at hand, for the passes
                // that fold runs of frames and print them.
                if (r.bytes.size() >= 2) {
                    out.pushSof(i, static_cast<std::uint16_t>(r.bytes[0] | (r.bytes[1] & 7) << 8));
                    return i + 1;
                }
                t.kind = TransactionKind::Sof;
                t.outcome = Outcome::NoHandshake;
            }
            out.push(t);
            return i + 1;
        }
        // A token cut before its address and endpoint cannot be placed.
        if (!IsToken(kind) || r.bytes.size() < 2) {
            t.count = static_cast<std::uint8_t>(token - i + 1);
            out.push(t);
            return token + 1;
        }
        // A token whose CRC5 fails is ignored by every device, whatever address it seems to
        // carry; what answers it still belongs with it.
        const bool trusted = !BadCrc5(r);
        if (trusted) {
            t.kind = KindOfToken(kind);
            t.address = r.address;
            t.endpoint = r.endpoint;
            t.outcome = Outcome::NoHandshake;
        }
        const bool in = IsInToken(kind);
        std::size_t end = token + 1;
        std::size_t q = end < n_ ? skipPreamble(end) : end;
        bool checked = true;
        if (q < n_ && IsData(p_.kind(q))) {
            t.dataOffset = static_cast<std::uint8_t>(q - i);
            checked = check_ == DataCheck::All || !trusted || t.endpoint == 0;
            t.corruptData = checked && HasBadCrc16(p_, q);
            end = q + 1;
            q = end < n_ ? skipPreamble(end) : end;
            // The host acknowledges IN data with ACK only; the device answers host data with
            // any handshake.
            if (q < n_ && IsHandshake(p_.kind(q)) && (!in || p_.kind(q) == RecordKind::Ack)) {
                if (trusted) {
                    t.outcome = OutcomeOf(p_.kind(q));
                }
                end = q + 1;
            }
        } else if (q < n_ && in && IsHandshake(p_.kind(q)) && p_.kind(q) != RecordKind::Ack) {
            // An IN refused (NAK) or halted (STALL) instead of data.
            if (trusted) {
                t.outcome = OutcomeOf(p_.kind(q));
            }
            end = q + 1;
        }
        t.count = static_cast<std::uint8_t>(end - i);
        out.push(t);
        if (t.hasData()) {
            const std::size_t length = PayloadLength(p_, t.dataRecord());
            if (checked) {
                largest.note(t, length);
            } else {
                largest.noteUnchecked(t, length, [&] { return HasBadCrc16(p_, t.dataRecord()); });
            }
        }
        return end;
    }

    const capture::PacketList& p_;
    std::size_t n_;
    DataCheck check_;
};

} // namespace

std::size_t Transactions::indexOfRecord(std::size_t record) const {
    const std::uint64_t key =
        static_cast<std::uint64_t>(record) << kFirstShift | ((std::uint64_t{1} << kFirstShift) - 1);
    const std::size_t after = entries_.partitionPoint([key](std::uint64_t e) { return e <= key; });
    return after == 0 ? 0 : after - 1;
}

std::size_t Transactions::nextMaybeCorrupt(std::size_t from, std::size_t to) const {
    if (from > to) {
        return to + 1;
    }
    std::size_t block = from >> kCorruptBlockShift;
    const std::size_t lastBlock = to >> kCorruptBlockShift;
    while (block <= lastBlock && block / 64 < corruptBlocks_.size()) {
        // The set bits of this word at or after `block`.
        const std::uint64_t bits = corruptBlocks_[block / 64] >> (block % 64);
        if (bits != 0) {
            block += static_cast<std::size_t>(std::countr_zero(bits));
            if (block > lastBlock) {
                break;
            }
            return std::max(from, block << kCorruptBlockShift);
        }
        block = (block / 64 + 1) * 64;
    }
    return to + 1;
}

void Transactions::markCorruptOf(const Transactions& later) {
    // Later's blocks are shifted by an offset that need not be a whole block: each covers up
    // to two blocks here.
    const std::size_t offset = size();
    for (std::size_t w = 0; w < later.corruptBlocks_.size(); ++w) {
        for (std::uint64_t bits = later.corruptBlocks_[w]; bits != 0; bits &= bits - 1) {
            const std::size_t first =
                offset +
                ((w * 64 + static_cast<std::size_t>(std::countr_zero(bits))) << kCorruptBlockShift);
            markCorrupt(first);
            markCorrupt(first + (std::size_t{1} << kCorruptBlockShift) - 1);
        }
    }
}

bool Transactions::checkData(const capture::PacketList& packets, std::size_t i) {
    const Transaction t = (*this)[i];
    if (!t.hasToken() || !t.hasData() || t.corruptData) {
        return t.corruptData;
    }
    if (!HasBadCrc16(packets, t.dataRecord())) {
        return false;
    }
    entries_[i] |= kCorruptDataFlag;
    markCorrupt(i);
    return true;
}

void Transactions::append(Transactions&& later) {
    markCorruptOf(later);
    later.corruptBlocks_.clear();
    entries_.append(std::move(later.entries_));
    largest_.merge(later.largest_);
    measured_ = measured_ || later.measured_;
}

void Transactions::append(const Transactions& later) {
    markCorruptOf(later);
    entries_.append(later.entries_);
    largest_.merge(later.largest_);
    measured_ = measured_ || later.measured_;
}

std::size_t GroupInto(const capture::PacketList& packets, std::size_t begin, std::size_t end,
                      Transactions& out, DataCheck check) {
    out.measured_ = true;
    return Grouper(packets, check).run(begin, end, out, out.largest_);
}

namespace {

/// Where each part of a parallel pass over the store begins: every part but the first at the
/// first SOF at or after its even share (an SOF always begins a transaction of its own), the
/// last bound the store's end.
std::vector<std::size_t> PartBounds(const capture::PacketList& packets, unsigned threads,
                                    std::size_t partRecords) {
    const std::size_t n = packets.size();
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    const std::size_t parts = std::min<std::size_t>(
        {threads, 16, std::max<std::size_t>(1, n / std::max<std::size_t>(1, partRecords))});
    std::vector<std::size_t> bounds{0};
    for (std::size_t k = 1; k < parts; ++k) {
        const std::size_t sof = packets.findKind(std::max(bounds.back(), n / parts * k), IsSof);
        if (sof < n && sof > bounds.back()) {
            bounds.push_back(sof);
        }
    }
    bounds.push_back(n);
    return bounds;
}

/// Runs `part(k)` for every part, the first on this thread.
template <typename Part> void RunParts(std::size_t parts, Part part) {
    std::vector<std::thread> workers;
    for (std::size_t k = 1; k < parts; ++k) {
        workers.emplace_back([&part, k] { part(k); });
    }
    part(0);
    for (std::thread& w : workers) {
        w.join();
    }
}

} // namespace

Transactions GroupTransactions(const capture::PacketList& packets, unsigned threads,
                               std::size_t partRecords, const std::atomic<bool>* stop) {
    const std::vector<std::size_t> bounds = PartBounds(packets, threads, partRecords);
    std::vector<Transactions> results(bounds.size() - 1);
    RunParts(results.size(), [&](std::size_t k) {
        if (stop == nullptr) {
            GroupInto(packets, bounds[k], bounds[k + 1], results[k]);
            return;
        }
        // A stretch at a time, so a stop request is seen soon; grouping resumes where the
        // last transaction ended, which gives the same index as one call.
        constexpr std::size_t kStretch = std::size_t{1} << 16;
        for (std::size_t i = bounds[k];
             i < bounds[k + 1] && !stop->load(std::memory_order_relaxed);) {
            i = GroupInto(packets, i, std::min(bounds[k + 1], i + kStretch), results[k]);
        }
    });
    for (std::size_t k = 1; k < results.size(); ++k) {
        results[0].append(std::move(results[k]));
    }
    return std::move(results[0]);
}

LargestPayloads MeasureLargestPayloads(const capture::PacketList& packets, unsigned threads,
                                       std::size_t partRecords) {
    const std::vector<std::size_t> bounds = PartBounds(packets, threads, partRecords);
    std::vector<LargestPayloads> results(bounds.size() - 1);
    RunParts(results.size(), [&](std::size_t k) {
        // A window of the index at a time, freed as it goes.
        constexpr std::size_t kWindow = std::size_t{1} << 16;
        // The payloads' sizes are exact without a CRC16 over every data packet.
        const Grouper grouper(packets, DataCheck::EndpointZero);
        Transactions window;
        for (std::size_t i = bounds[k]; i < bounds[k + 1];) {
            i = grouper.run(i, std::min(bounds[k + 1], i + kWindow), window, results[k]);
            window.releaseBefore(window.size());
        }
    });
    for (std::size_t k = 1; k < results.size(); ++k) {
        results[0].merge(results[k]);
    }
    return results[0];
}

std::optional<std::uint16_t> SofFrameOf(const capture::PacketList& packets,
                                        const Transactions& transactions, std::size_t x) {
    if (const auto frame = transactions.storedSofFrame(x)) {
        return frame;
    }
    const capture::CaptureRecord r = packets[transactions[x].first];
    if (r.bytes.size() < 2) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(r.bytes[0] | (r.bytes[1] & 7) << 8);
}

bool HasBadCrc5(const capture::PacketList& packets, std::size_t i) {
    const RecordKind kind = packets.kind(i);
    if (!IsToken(kind) && !IsSof(kind)) {
        return false;
    }
    return BadCrc5(packets[i]);
}

bool HasBadCrc16(const capture::PacketList& packets, std::size_t i) {
    if (!IsData(packets.kind(i))) {
        return false;
    }
    // A packet longer than the store keeps cannot be checked, nor the last one, which the end
    // of the recording may have cut: they are taken as sent.
    const capture::CaptureRecord r = packets[i];
    return i + 1 < packets.size() && r.length >= 2 && r.bytes.size() == r.length &&
           !capture::DataCrcMatches(r.bytes);
}

std::span<const std::uint8_t> TransactionPayload(const capture::PacketList& packets,
                                                 const Transaction& t) {
    if (!t.hasData()) {
        return {};
    }
    const capture::CaptureRecord r = packets[t.dataRecord()];
    const std::size_t wire = r.length >= 2 ? r.length - 2u : 0u;
    return r.bytes.first(std::min(wire, r.bytes.size()));
}

std::size_t TransactionPayloadLength(const capture::PacketList& packets, const Transaction& t) {
    return t.hasData() ? PayloadLength(packets, t.dataRecord()) : 0;
}

int TransactionToggle(const capture::PacketList& packets, const Transaction& t) {
    return t.hasData() ? DataToggle(packets.kind(t.dataRecord())) : -1;
}

std::string_view KindName(TransactionKind k) {
    static constexpr std::array<std::string_view, 5> kNames = {"SETUP", "OUT", "IN", "SOF",
                                                               "MALFORMED"};
    const auto i = static_cast<std::size_t>(k);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string_view OutcomeName(Outcome o) {
    static constexpr std::array<std::string_view, 5> kNames = {"ACK", "NAK", "STALL",
                                                               "no handshake", "malformed"};
    const auto i = static_cast<std::size_t>(o);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string ToString(const Transaction& t) {
    std::ostringstream s;
    s << KindName(t.kind);
    if (t.hasToken()) {
        s << ' ' << int{t.address} << '.' << int{t.endpoint};
    }
    s << " records " << t.first << '+' << int{t.count} << ' ' << OutcomeName(t.outcome);
    if (t.hasData()) {
        s << " data@" << int{t.dataOffset};
    }
    if (t.corruptData) {
        s << " crc16";
    }
    return s.str();
}

std::ostream& operator<<(std::ostream& os, const Transaction& t) {
    return os << ToString(t);
}

} // namespace vintrace::protocol
