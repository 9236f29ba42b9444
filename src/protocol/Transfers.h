#pragma once

#include "capture/PacketList.h"
#include "capture/SetupRequest.h"
#include "protocol/Transactions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// An endpoint as its descriptor describes it.
struct EndpointDescription {
    TransferType type = TransferType::Data; // Control, Bulk, Interrupt or Isochronous
    std::uint16_t maxPacketSize = 0;
    /// A bulk endpoint of a bulk-only mass-storage interface, and that interface's number:
    /// its transfers are command wrappers, data stages and status wrappers.
    bool bulkOnly = false;
    std::uint8_t interfaceNumber = 0;
};

/// What a lookup knows of an endpoint at one moment of the capture, and until when.
struct EndpointAnswer {
    std::optional<EndpointDescription> description;
    /// The first record from which the answer may differ (another device takes the address).
    std::size_t validUntil = static_cast<std::size_t>(-1);
};

/// Looks up the descriptor of (address, endpoint number, direction) for the device that held
/// the address when `record` was on the bus, when the capture has one.
using EndpointLookup = std::function<EndpointAnswer(std::uint8_t address, std::uint8_t endpoint,
                                                    Direction direction, std::size_t record)>;

struct TransferOptions {
    /// Fold runs of SOFs and of NAKed polls into one item each.
    bool fold = true;
    /// Endpoint descriptors; without them bulk and interrupt endpoints are "data".
    EndpointLookup endpoints;
};

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
    /// Control: NAKed attempts counted in the data and status stages.
    std::uint32_t naks = 0;
    /// Payload bytes delivered (appended in order, retransmissions once; control: at most
    /// wLength).
    std::uint32_t bytes = 0;
    /// Control: bytes sent past wLength, which deliver nothing. An item that begins past
    /// wLength holds the rest of its transfer (the status stage too).
    std::uint32_t excess = 0;

    friend bool operator==(const TransferItem&, const TransferItem&) = default;
};

/// The transfer list of a capture, in capture order (by first record).
///
/// A control transfer runs from its SETUP to its status stage; its data stage ends at
/// wLength. Interrupt endpoints carry one transfer per data transaction; bulk transfers end
/// at a short packet, and on a bulk-only mass-storage interface also at the length the
/// command wrapper announced (the status wrapper is a transfer of its own). A data packet
/// with a bad CRC16 delivers nothing and leaves its transfer open for the retry; a packet that
/// repeats the toggle last delivered on its endpoint is a retransmission and joins the
/// transfer that delivered it.
std::vector<TransferItem> AssembleTransfers(const capture::PacketList& packets,
                                            const Transactions& transactions,
                                            const TransferOptions& options = {});

/// True when transaction `t` (at index `index`) belongs to `item`.
bool IsMember(const TransferItem& item, std::size_t index, const Transaction& t);
/// Indexes of the item's member transactions, in order.
std::vector<std::size_t> Members(const Transactions& transactions, const TransferItem& item);
/// Store index of the item's first record.
std::size_t FirstRecord(const Transactions& transactions, const TransferItem& item);
/// Store index of the item's last record.
std::size_t LastRecord(const Transactions& transactions, const TransferItem& item);
/// The payload the item delivered: the data stage of a control transfer, the ACKed data of a
/// bulk or interrupt transfer (a repeated toggle once), an isochronous packet.
std::vector<std::uint8_t> DeliveredPayload(const capture::PacketList& packets,
                                           const Transactions& transactions,
                                           const TransferItem& item);
/// The request a control transfer carries; nothing for other items and control items without
/// their SETUP.
std::optional<capture::SetupRequest> ControlRequest(const capture::PacketList& packets,
                                                    const Transactions& transactions,
                                                    const TransferItem& item);
/// Frame numbers of an SOF item's first and last SOF; nothing when they were cut.
std::optional<std::pair<std::uint16_t, std::uint16_t>> SofFrames(const capture::PacketList& packets,
                                                                 const Transactions& transactions,
                                                                 const TransferItem& item);

/// "control", "bulk", "interrupt", "isochronous", "data", "sof", "polling", "malformed".
std::string_view TypeName(TransferType t);
/// "ok", "stall", "incomplete", "error".
std::string_view StatusName(TransferStatus s);
/// "in" or "out".
std::string_view DirectionName(Direction d);
/// Test-failure form: "control 1.0 in ok tx 3..9 count 4 naks 1 bytes 18" (" excess N" when
/// bytes came past wLength).
std::string ToString(const TransferItem& item);
std::ostream& operator<<(std::ostream& os, const TransferItem& item);

} // namespace vintrace::protocol
