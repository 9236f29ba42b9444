#pragma once

#include "protocol/Transactions.h"

#include <cstddef>
#include <cstdint>

namespace vintrace::protocol {

/// What one item of the transfer list is. `Data` is a bulk or interrupt endpoint whose type
/// the capture does not tell.
enum class TransferType : std::uint8_t {
    Control,
    Bulk,
    Interrupt,
    Isochronous,
    Data,
    Sof,
    Polling,
    Malformed
};

/// How a transfer ended.
enum class TransferStatus : std::uint8_t { Ok, Stall, Incomplete, Error };

/// One item of the transfer list: a range of transactions and what the members amount to.
/// The members are the transactions in [firstTransaction, lastTransaction] that `IsMember`
/// accepts; other endpoints' transactions may interleave.
struct TransferItem {
    TransferType type = TransferType::Malformed;
    TransferStatus status = TransferStatus::Ok;
    Direction direction = Direction::Out; // control: bit 7 of bmRequestType
    std::uint8_t address = 0;
    std::uint8_t endpoint = 0;
    std::size_t firstTransaction = 0;
    std::size_t lastTransaction = 0;
    /// Member transactions (for SOF and polling items: the SOFs or NAKed polls folded).
    std::uint32_t count = 0;
    /// Control: NAKed attempts counted in the data and status stages. Bulk, interrupt and
    /// data: 1 when the transfer begins with the single NAK that delayed it.
    std::uint32_t naks = 0;
    /// Payload bytes delivered (appended in order, retransmissions once; control: at most
    /// wLength).
    std::uint32_t bytes = 0;
    /// Control: bytes sent past wLength, which deliver nothing. An item that begins past
    /// wLength holds the rest of its transfer (the status stage too).
    std::uint32_t excess = 0;

    friend bool operator==(const TransferItem&, const TransferItem&) = default;
};

} // namespace vintrace::protocol
