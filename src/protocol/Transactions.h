#pragma once

#include "capture/PacketList.h"
#include "protocol/ChunkedVector.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// What opened a transaction: its token, an SOF alone, or a packet that fits no transaction.
enum class TransactionKind : std::uint8_t { Setup, Out, In, Sof, Malformed };

/// How a transaction ended.
enum class Outcome : std::uint8_t { Ack, Nak, Stall, NoHandshake, Malformed };

/// Direction of a transaction's data: towards the host (IN) or the device (SETUP, OUT).
enum class Direction : std::uint8_t { Out, In };

/// The pipes a bus can address: 128 device addresses, 16 endpoint numbers, two directions.
inline constexpr std::size_t kPipes = 128 * 16 * 2;

/// A pipe's index below kPipes: its device address, endpoint number and direction (USB 2.0
/// 5.3.2), for tables kept per pipe.
constexpr std::size_t PipeKey(std::uint8_t address, std::uint8_t endpoint, Direction d) {
    return static_cast<std::size_t>(address & 0x7F) << 5 | (endpoint & 0x0Fu) << 1 |
           (d == Direction::In ? 1u : 0u);
}

/// One transaction as a value: the records first .. first + count - 1 of the store.
struct Transaction {
    std::size_t first = 0;
    std::uint8_t count = 0;
    TransactionKind kind = TransactionKind::Malformed;
    std::uint8_t address = 0;  // tokens only
    std::uint8_t endpoint = 0; // tokens only
    Outcome outcome = Outcome::Malformed;
    /// Position of the data packet within the records, 0 when the transaction has none.
    std::uint8_t dataOffset = 0;
    /// The data packet's CRC16 does not match: its receiver discards it, it delivers nothing.
    bool corruptData = false;

    /// True when a data packet belongs to the transaction.
    bool hasData() const { return dataOffset != 0; }
    /// Store index of the data packet (only when hasData()).
    std::size_t dataRecord() const { return first + dataOffset; }
    /// Store index of the last record.
    std::size_t last() const { return first + count - 1; }
    /// IN for IN tokens, OUT for SETUP and OUT (and for SOFs and malformed entries).
    Direction direction() const {
        return kind == TransactionKind::In ? Direction::In : Direction::Out;
    }
    /// True for SETUP, OUT and IN transactions.
    bool hasToken() const { return kind <= TransactionKind::In; }

    friend bool operator==(const Transaction&, const Transaction&) = default;
};

/// The largest payload an intact data packet carried on each pipe (address, endpoint and
/// direction) of a capture: where descriptors do not tell an endpoint's maximum packet size,
/// a shorter packet ends a bulk transfer.
class LargestPayloads {
public:
    std::uint16_t operator()(std::uint8_t address, std::uint8_t endpoint, Direction d) const {
        return largest_[Key(address, endpoint, d)];
    }
    /// Takes a transaction's data into account (those without trusted token or intact data
    /// are left out).
    void note(const Transaction& t, std::size_t payloadLength) {
        if (t.hasToken() && t.hasData() && !t.corruptData) {
            std::uint16_t& l = largest_[Key(t.address, t.endpoint, t.direction())];
            l = std::max(l, static_cast<std::uint16_t>(payloadLength));
        }
    }
    /// The same for a transaction whose data grouping did not check (DataCheck::EndpointZero):
    /// `corrupt()` is asked only when the payload would be the pipe's largest, so the figures
    /// are the ones note() gives.
    template <typename Corrupt>
    void noteUnchecked(const Transaction& t, std::size_t payloadLength, Corrupt&& corrupt) {
        if (t.hasToken() && t.hasData()) {
            std::uint16_t& l = largest_[Key(t.address, t.endpoint, t.direction())];
            const auto length = static_cast<std::uint16_t>(payloadLength);
            if (length > l && !corrupt()) {
                l = length;
            }
        }
    }
    /// The larger of each pipe's two figures.
    void merge(const LargestPayloads& other) {
        for (std::size_t i = 0; i < largest_.size(); ++i) {
            largest_[i] = std::max(largest_[i], other.largest_[i]);
        }
    }

private:
    static std::size_t Key(std::uint8_t address, std::uint8_t endpoint, Direction d) {
        return static_cast<std::size_t>(address & 0x7F) << 5 |
               static_cast<std::size_t>(endpoint & 0x0F) << 1 | (d == Direction::In ? 1 : 0);
    }
    std::array<std::uint16_t, 128 * 32> largest_{};
};

/// Which data packets grouping checks the CRC16 of.
enum class DataCheck : std::uint8_t {
    /// Every one: the index tells of each transaction whether its data is corrupt.
    All,
    /// Those of endpoint 0 and of tokens that cannot be trusted. Elsewhere corruptData stays
    /// false until a reader checks it (Transactions::checkData); the largest payloads are
    /// still exact. For a pass that reads little of the other pipes: it saves a CRC16 over
    /// nearly every data packet.
    EndpointZero,
};

/// Every record of a store in exactly one transaction, in capture order, eight bytes each
/// (record indexes up to 2^40), kept in chunks so that grouping never copies the index.
class Transactions {
public:
    /// Number of transactions.
    std::size_t size() const { return entries_.size(); }
    /// True when the store held no record.
    bool empty() const { return entries_.empty(); }
    /// Transaction i (i < size()). Inline: every pass over the index reads each entry.
    Transaction operator[](std::size_t i) const {
        const std::uint64_t e = entries_[i];
        Transaction t;
        t.first = static_cast<std::size_t>(e >> kFirstShift);
        t.count = static_cast<std::uint8_t>((e >> 21) & 7);
        t.kind = static_cast<TransactionKind>((e >> 18) & 7);
        t.outcome = static_cast<Outcome>((e >> 15) & 7);
        t.dataOffset = static_cast<std::uint8_t>((e >> 12) & 7);
        // An SOF's frame number sits where a token's address and endpoint would.
        const std::uint64_t token = HoldsSofFrame(e) ? 0 : e;
        t.corruptData = ((token >> 11) & 1) != 0;
        t.address = static_cast<std::uint8_t>((token >> 4) & 0x7F);
        t.endpoint = static_cast<std::uint8_t>(token & 0x0F);
        return t;
    }
    /// The frame number of SOF transaction i as grouping read it; nothing for other
    /// transactions and where grouping did not keep one (see SofFrameOf).
    std::optional<std::uint16_t> storedSofFrame(std::size_t i) const {
        const std::uint64_t e = entries_[i];
        if (!HoldsSofFrame(e)) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(e & 0x7FF);
    }
    /// The transaction that holds `record` (record < the store's size when grouped).
    std::size_t indexOfRecord(std::size_t record) const;
    /// Bytes of memory the index holds.
    std::size_t memoryUsed() const {
        return entries_.memoryUsed() + corruptBlocks_.capacity() * sizeof(std::uint64_t);
    }

    /// Adds a transaction at the end (the grouping pass; tests build expectations with it).
    void push(const Transaction& t) {
        entries_.push_back(
            static_cast<std::uint64_t>(t.first) << kFirstShift | std::uint64_t{t.count & 7u} << 21 |
            std::uint64_t{static_cast<unsigned>(t.kind) & 7u} << 18 |
            std::uint64_t{static_cast<unsigned>(t.outcome) & 7u} << 15 |
            std::uint64_t{t.dataOffset & 7u} << 12 |
            // An SOF carries no data: the bit would say its frame number is kept.
            std::uint64_t{t.corruptData && t.kind != TransactionKind::Sof ? 1u : 0u} << 11 |
            std::uint64_t{t.address & 0x7Fu} << 4 | std::uint64_t{t.endpoint & 0x0Fu});
        if (t.corruptData && t.kind != TransactionKind::Sof) {
            markCorrupt(entries_.size() - 1);
        }
    }
    /// Adds an intact SOF whose frame number grouping read (kept in the bits of a token's
    /// address and endpoint, flagged by the corrupt-data bit).
    void pushSof(std::size_t first, std::uint16_t frame) {
        entries_.push_back(static_cast<std::uint64_t>(first) << kFirstShift |
                           std::uint64_t{1} << 21 |
                           std::uint64_t{static_cast<unsigned>(TransactionKind::Sof)} << 18 |
                           std::uint64_t{static_cast<unsigned>(Outcome::NoHandshake)} << 15 |
                           kSofFrameFlag | (frame & 0x7FFu));
    }
    /// Checks the data of token transaction i (grouped with DataCheck::EndpointZero) and
    /// marks it corrupt when its CRC16 does not match; returns its corruptData. Checking
    /// again, or an index grouped with DataCheck::All, changes nothing.
    bool checkData(const capture::PacketList& packets, std::size_t i);
    /// Moves the transactions of `later`, which follow this index's in the store, to its end.
    void append(Transactions&& later);
    /// The same, copying: `later` keeps its transactions.
    void append(const Transactions& later);
    /// Empties the index, keeping memory for as many transactions as a window holds.
    void clear() {
        entries_.clear();
        corruptBlocks_.clear();
        largest_ = LargestPayloads{};
        measured_ = false;
    }
    /// Frees the memory of transactions before `i`, which may no longer be read (a pass that
    /// needs a window of the index only).
    void releaseBefore(std::size_t i) { entries_.releaseBefore(i); }

    /// The first transaction in [from, to] that may carry a corrupt data packet, to + 1 when
    /// none does. Corruption is rare: a reader that counts it skips clean stretches of
    /// transactions (blocks of 64) rather than reading every entry.
    std::size_t nextMaybeCorrupt(std::size_t from, std::size_t to) const;

    /// The largest payload of each pipe when grouping measured it; nothing for an index built
    /// with push().
    const LargestPayloads* largestPayloads() const { return measured_ ? &largest_ : nullptr; }

private:
    friend std::size_t GroupInto(const capture::PacketList&, std::size_t, std::size_t,
                                 Transactions&, DataCheck);

    /// Marks the blocks of `later`'s corrupt transactions, as they will lie once appended.
    void markCorruptOf(const Transactions& later);
    void markCorrupt(std::size_t i) {
        const std::size_t block = i >> kCorruptBlockShift;
        if (block / 64 >= corruptBlocks_.size()) {
            corruptBlocks_.resize(block / 64 + 1);
        }
        corruptBlocks_[block / 64] |= std::uint64_t{1} << (block % 64);
    }

    static bool HoldsSofFrame(std::uint64_t e) {
        return ((e >> 18) & 7) == static_cast<unsigned>(TransactionKind::Sof) &&
               (e & kSofFrameFlag) != 0;
    }

    static constexpr unsigned kFirstShift = 24;
    static constexpr std::uint64_t kSofFrameFlag = std::uint64_t{1} << 11;
    /// The same bit in a token's entry.
    static constexpr std::uint64_t kCorruptDataFlag = std::uint64_t{1} << 11;
    static constexpr unsigned kCorruptBlockShift = 6;
    // first record: 40 bits | count 3 | kind 3 | outcome 3 | dataOffset 3 | corruptData 1 |
    // address 7 | endpoint 4 (high to low); ordered by first record, so record look-ups
    // bisect the raw entries.
    ChunkedVector<std::uint64_t> entries_;
    /// A bit for each block of 64 transactions that holds one with corrupt data; empty while
    /// none does.
    std::vector<std::uint64_t> corruptBlocks_;
    LargestPayloads largest_;
    bool measured_ = false;
};

/// Groups the records of `packets` into transactions in one forward pass. A token or SOF
/// whose CRC5 does not match names no device: it opens a malformed entry (with the data and
/// handshake that answer it, if any). A large store is grouped on up to `threads` threads
/// (0: one per core) in parts that start at an SOF, which always begins a transaction of its
/// own, so the result is the same as one pass. A part holds at least `partRecords` records.
/// Once `stop` is set the parts end within a stretch of records and the result is partial:
/// a caller that asked to stop drops it.
inline constexpr std::size_t kGroupPartRecords = std::size_t{1} << 20;
Transactions GroupTransactions(const capture::PacketList& packets, unsigned threads = 0,
                               std::size_t partRecords = kGroupPartRecords,
                               const std::atomic<bool>* stop = nullptr);

/// Groups the transactions that start in [begin, end) onto the end of `out` (which holds the
/// transactions before `begin`) and measures their payloads; returns where the next
/// transaction starts (`end` or just past it). For passes that group a window at a time.
std::size_t GroupInto(const capture::PacketList& packets, std::size_t begin, std::size_t end,
                      Transactions& out, DataCheck check = DataCheck::All);
/// The largest payloads of the whole store in one pass that keeps no index (on up to
/// `threads` threads, 0: one per core).
LargestPayloads MeasureLargestPayloads(const capture::PacketList& packets, unsigned threads = 0,
                                       std::size_t partRecords = kGroupPartRecords);

/// The frame number of SOF transaction `x` (kept by grouping, else read from its record);
/// nothing when the record was cut before it.
std::optional<std::uint16_t> SofFrameOf(const capture::PacketList& packets,
                                        const Transactions& transactions, std::size_t x);

/// True when record i is a token or SOF whose CRC5 does not match its address and endpoint
/// (or frame number); such a packet is ignored by every device.
bool HasBadCrc5(const capture::PacketList& packets, std::size_t i);
/// True when record i is a data packet received whole whose CRC16 does not match (the last
/// record of the store is not judged: the recording may have ended inside it).
bool HasBadCrc16(const capture::PacketList& packets, std::size_t i);

/// The payload of the transaction's data packet (without CRC16; what the store holds of it).
std::span<const std::uint8_t> TransactionPayload(const capture::PacketList& packets,
                                                 const Transaction& t);
/// Payload bytes on the wire (the data packet's length less its CRC16); 0 without data.
std::size_t TransactionPayloadLength(const capture::PacketList& packets, const Transaction& t);
/// The toggle of the transaction's data packet: 0 (DATA0) or 1 (DATA1); -1 without data.
int TransactionToggle(const capture::PacketList& packets, const Transaction& t);

/// "SETUP", "OUT", "IN", "SOF", "MALFORMED".
std::string_view KindName(TransactionKind k);
/// "ACK", "NAK", "STALL", "no handshake", "malformed".
std::string_view OutcomeName(Outcome o);
/// Test-failure form: "IN 5.1 records 10+3 ACK data@1" (" crc16" when the data is corrupt).
std::string ToString(const Transaction& t);
std::ostream& operator<<(std::ostream& os, const Transaction& t);

} // namespace vintrace::protocol
