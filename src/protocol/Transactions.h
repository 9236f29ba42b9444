#pragma once

#include "capture/PacketList.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
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

/// Every record of a store in exactly one transaction, in capture order, eight bytes each
/// (record indexes up to 2^40).
class Transactions {
public:
    /// Number of transactions.
    std::size_t size() const { return entries_.size(); }
    /// True when the store held no record.
    bool empty() const { return entries_.empty(); }
    /// Transaction i (i < size()).
    Transaction operator[](std::size_t i) const;
    /// The transaction that holds `record` (record < the store's size when grouped).
    std::size_t indexOfRecord(std::size_t record) const;
    /// Bytes of memory the index holds.
    std::size_t memoryUsed() const { return entries_.capacity() * sizeof(std::uint64_t); }

    /// Adds a transaction at the end (the grouping pass; tests build expectations with it).
    void push(const Transaction& t);
    /// Releases the room the grouping pass reserved beyond its last entry.
    void shrinkToFit() { entries_.shrink_to_fit(); }

private:
    // first record: 40 bits | count 3 | kind 3 | outcome 3 | dataOffset 3 | corruptData 1 |
    // address 7 | endpoint 4 (high to low); ordered by first record, so record look-ups
    // bisect the raw entries.
    std::vector<std::uint64_t> entries_;
};

/// Groups the records of `packets` into transactions in one forward pass. A token or SOF
/// whose CRC5 does not match names no device: it opens a malformed entry (with the data and
/// handshake that answer it, if any).
Transactions GroupTransactions(const capture::PacketList& packets);

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
