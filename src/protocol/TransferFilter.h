#pragma once

#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// A device address written as a C literal ("0x1A", "26", "032"), 0 to 127; nothing for any
/// other text. The command line and the Transfers window's filter box both read addresses
/// with it.
std::optional<std::uint8_t> ParseDeviceAddress(std::string_view text);

/// An endpoint as a C literal: its number (0 to 15, either direction), or its address with
/// the direction bit (0x80 to 0x8F: that number, IN only). Nothing for any other text.
struct EndpointChoice {
    std::uint8_t number = 0;
    std::optional<Direction> direction;

    friend bool operator==(const EndpointChoice&, const EndpointChoice&) = default;
};
std::optional<EndpointChoice> ParseEndpoint(std::string_view text);

/// What narrows a transfer list: an address (or endpoint), statuses, item types and the
/// classes of the interfaces items go to. Words of one sort widen each other ("stall error"
/// is either), sorts narrow each other ("5 stall" is address 5 and stalled). Nothing set
/// passes every item.
struct TransferFilter {
    std::optional<std::uint8_t> address;
    std::optional<EndpointChoice> endpoint;
    /// Bit (1 << TransferStatus); 0 for any status.
    std::uint8_t statuses = 0;
    /// Bit (1 << TransferType); 0 for any type.
    std::uint16_t types = 0;
    /// Interface class codes (bInterfaceClass); empty for any class.
    std::vector<std::uint8_t> classes;

    bool empty() const { return !address && statuses == 0 && types == 0 && classes.empty(); }
    friend bool operator==(const TransferFilter&, const TransferFilter&) = default;
};

/// A filter text read: the filter, or why the text is none.
struct TransferFilterParse {
    std::optional<TransferFilter> filter;
    /// "not a filter: …" when `filter` is empty.
    std::string error;
};

/// Reads words separated by spaces, in any order and case: an address as the command line
/// takes it, alone or with an endpoint ("5", "0x5", "5.1", "0x5.0x81"); a status ("ok",
/// "stall", "incomplete", "error"); a type ("control", "bulk", "interrupt", "isochronous",
/// "sof", "polling", "malformed", "data"); a class ("hid", "msc", "cdc", "hub", "audio",
/// "printer", "video", "dfu", "vendor"). An empty text is the empty filter.
TransferFilterParse ParseTransferFilter(std::string_view text);

/// Decides which items a filter passes, reading the capture only for the words that need it
/// (a class asks which interface the item goes to). One call per item, each a constant amount
/// of work but for a search among the address's devices.
class TransferFilterMatch {
public:
    TransferFilterMatch(const TransferFilter& filter, const capture::PacketList& packets,
                        const Transactions& transactions, const DeviceModel* devices);
    bool operator()(const TransferItem& item) const;

private:
    /// The class of the interface (or, for a hub, the device) `item` goes to; nothing when
    /// the capture does not tell.
    std::optional<std::uint8_t> classOf(const TransferItem& item) const;

    const TransferFilter& filter_;
    const capture::PacketList& packets_;
    const Transactions& tx_;
    const DeviceModel* devices_;
    /// Addresses a device of one of the filter's classes ever held: the items of any other
    /// address fail a class at once, without a look-up of their device.
    std::bitset<128> classAddresses_;
};

} // namespace vintrace::protocol
