#include "protocol/Transactions.h"

#include "capture/PacketClass.h"
#include "capture/UsbCrc.h"

#include <algorithm>
#include <array>
#include <ostream>
#include <sstream>

namespace vintrace::protocol {

using capture::RecordKind;

namespace {

constexpr unsigned kFirstShift = 24;
constexpr std::uint64_t kLowMask = (std::uint64_t{1} << kFirstShift) - 1;

constexpr std::uint64_t Field(std::uint64_t entry, unsigned shift, unsigned bits) {
    return (entry >> shift) & ((std::uint64_t{1} << bits) - 1);
}

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

/// One pass over the store's headers; the cursor never moves back.
class Grouper {
public:
    explicit Grouper(const capture::PacketList& packets) : p_(packets), n_(packets.size()) {}

    Transactions run() {
        Transactions out;
        std::size_t i = 0;
        while (i < n_) {
            i = next(i, out);
        }
        out.shrinkToFit();
        return out;
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
    std::size_t next(std::size_t i, Transactions& out) const {
        std::size_t token = i;
        if (preamble(i) && i + 1 < n_ && IsToken(p_.kind(i + 1))) {
            token = i + 1;
        }
        const RecordKind kind = p_.kind(token);
        Transaction t;
        t.first = i;
        if (IsSof(kind)) {
            // A corrupted SOF marks no frame: it stays a malformed entry of its own.
            t.count = 1;
            if (!HasBadCrc5(p_, i)) {
                t.kind = TransactionKind::Sof;
                t.outcome = Outcome::NoHandshake;
            }
            out.push(t);
            return i + 1;
        }
        // A token cut before its address and endpoint cannot be placed.
        if (!IsToken(kind) || p_[token].bytes.size() < 2) {
            t.count = static_cast<std::uint8_t>(token - i + 1);
            out.push(t);
            return token + 1;
        }
        // A token whose CRC5 fails is ignored by every device, whatever address it seems to
        // carry; what answers it still belongs with it.
        const bool trusted = !HasBadCrc5(p_, token);
        if (trusted) {
            t.kind = KindOfToken(kind);
            t.address = p_.address(token);
            t.endpoint = p_.endpoint(token);
            t.outcome = Outcome::NoHandshake;
        }
        const bool in = IsInToken(kind);
        std::size_t end = token + 1;
        std::size_t q = end < n_ ? skipPreamble(end) : end;
        if (q < n_ && IsData(p_.kind(q))) {
            t.dataOffset = static_cast<std::uint8_t>(q - i);
            t.corruptData = HasBadCrc16(p_, q);
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
        return end;
    }

    const capture::PacketList& p_;
    std::size_t n_;
};

} // namespace

Transaction Transactions::operator[](std::size_t i) const {
    const std::uint64_t e = entries_[i];
    Transaction t;
    t.first = static_cast<std::size_t>(e >> kFirstShift);
    t.count = static_cast<std::uint8_t>(Field(e, 21, 3));
    t.kind = static_cast<TransactionKind>(Field(e, 18, 3));
    t.outcome = static_cast<Outcome>(Field(e, 15, 3));
    t.dataOffset = static_cast<std::uint8_t>(Field(e, 12, 3));
    t.corruptData = Field(e, 11, 1) != 0;
    t.address = static_cast<std::uint8_t>(Field(e, 4, 7));
    t.endpoint = static_cast<std::uint8_t>(Field(e, 0, 4));
    return t;
}

void Transactions::push(const Transaction& t) {
    entries_.push_back(
        static_cast<std::uint64_t>(t.first) << kFirstShift | std::uint64_t{t.count & 7u} << 21 |
        std::uint64_t{static_cast<unsigned>(t.kind) & 7u} << 18 |
        std::uint64_t{static_cast<unsigned>(t.outcome) & 7u} << 15 |
        std::uint64_t{t.dataOffset & 7u} << 12 | std::uint64_t{t.corruptData ? 1u : 0u} << 11 |
        std::uint64_t{t.address & 0x7Fu} << 4 | std::uint64_t{t.endpoint & 0x0Fu});
}

std::size_t Transactions::indexOfRecord(std::size_t record) const {
    const std::uint64_t key = static_cast<std::uint64_t>(record) << kFirstShift | kLowMask;
    const auto it = std::upper_bound(entries_.begin(), entries_.end(), key);
    return it == entries_.begin() ? 0 : static_cast<std::size_t>(it - entries_.begin() - 1);
}

Transactions GroupTransactions(const capture::PacketList& packets) {
    return Grouper(packets).run();
}

bool HasBadCrc5(const capture::PacketList& packets, std::size_t i) {
    const RecordKind kind = packets.kind(i);
    if (!IsToken(kind) && !IsSof(kind)) {
        return false;
    }
    const capture::CaptureRecord r = packets[i];
    return r.length == 2 && r.bytes.size() == 2 &&
           !capture::TokenCrcMatches(r.bytes[0], r.bytes[1]);
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
