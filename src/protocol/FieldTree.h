#pragma once

#include "capture/PacketList.h"
#include "protocol/Descriptors.h"
#include "protocol/Devices.h"
#include "protocol/HidReport.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"
#include "protocol/UsbIds.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// One decoded field of an item: its name, what it says, and the bytes of the item's payload
/// it was read from ([offset, offset + length); a length of 0 covers no byte: a note such as
/// "Truncated" at the place the data stops).
struct FieldNode {
    std::string name;
    std::string value;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::vector<FieldNode> children;

    friend bool operator==(const FieldNode&, const FieldNode&) = default;
};

/// An item's payload (or as much of it as was asked for) and its fields, outermost first.
struct FieldTree {
    std::vector<std::uint8_t> payload;
    std::vector<FieldNode> fields;

    friend bool operator==(const FieldTree&, const FieldTree&) = default;
};

/// The name of the note added where data stops before a field it should hold.
inline constexpr const char* kTruncatedField = "Truncated";
/// The name of the note added over bytes that cannot be read as what they should be.
inline constexpr const char* kMalformedField = "Malformed";
/// The name of the note after a payload read only as far as asked.
inline constexpr const char* kNotShownField = "Not shown";

/// A setup packet at `offset`: bmRequestType split into direction, type and recipient,
/// bRequest by name, wValue, wIndex, wLength. Fewer than 8 bytes: the fields they hold and a
/// Truncated note.
FieldNode SetupFields(std::span<const std::uint8_t> bytes, std::size_t offset);

/// One descriptor at `offset`, field by field as the Devices window names them (values by
/// DescriptorFieldText; `device` supplies string names and may be null), bytes past the fixed
/// fields as one raw field, a Truncated note when bLength says more than the bytes hold.
FieldNode DescriptorFields(const Descriptor& d, std::size_t offset, const DeviceInfo* device,
                           const UsbIds* ids);

/// What a GET_DESCRIPTOR of descriptor type `type` returned, starting at `offset`: one
/// descriptor, a configuration's descriptors in delivery order, a string's text, the language
/// IDs, or a report descriptor's items.
std::vector<FieldNode> DescriptorDataFields(std::uint8_t type, std::uint8_t index,
                                            std::span<const std::uint8_t> data, std::size_t offset,
                                            const DeviceInfo* device, const UsbIds* ids);

/// A report descriptor's items (the listing's lines), collections holding their items.
std::vector<FieldNode> ReportDescriptorFields(std::span<const std::uint8_t> data,
                                              std::size_t offset, const UsbIds* ids = nullptr);

/// A mass-storage command block wrapper (BOT 1.0 5.1) or status wrapper (5.2) at `offset`;
/// an empty vector for bytes that are neither (nor the start of one).
std::vector<FieldNode> MassStorageFields(std::span<const std::uint8_t> data, std::size_t offset);

/// USB-MIDI event packets (MIDI 1.0 4) at `offset`: one node per 4 bytes with its cable,
/// code index number and MIDI bytes; a Truncated note over a last partial packet.
std::vector<FieldNode> MidiEventFields(std::span<const std::uint8_t> data, std::size_t offset);

/// A CDC line coding structure (PSTN 1.2 6.3.11) at `offset`.
FieldNode LineCodingFields(std::span<const std::uint8_t> data, std::size_t offset);

/// The reports in `data` laid out by `d`, one node per report over its values (a value's
/// bytes are those its bits touch).
std::vector<FieldNode> HidReportFields(const HidReportDescriptor& d, HidReportKind kind,
                                       std::span<const std::uint8_t> data, std::size_t offset);

/// The fields of a transfer. Control: the payload is the setup packet and then the data stage,
/// the data read as its request says. Other transfers: the payload they delivered, read by the
/// class of the interface they go to (HID reports, mass-storage wrappers, ...). What cannot be
/// read further stays one raw Data field. Only the first `limit` bytes of the payload are
/// read (decoders that need its start still read it), from no more than the first
/// `transactionLimit` transactions of its span; a transfer that delivered more gets a last
/// field named kNotShownField that says how many bytes were left out.
FieldTree TransferFields(const capture::PacketList& packets, const Transactions& transactions,
                         const DeviceModel& devices, const TransferItem& item,
                         const UsbIds* ids = nullptr, std::size_t limit = SIZE_MAX,
                         std::size_t transactionLimit = SIZE_MAX);

/// A descriptor shown on its own (its bytes are the payload).
FieldTree DescriptorTree(const Descriptor& d, const DeviceInfo* device, const UsbIds* ids);
/// String descriptor `index` shown on its own (0: the language IDs), as delivered.
FieldTree StringDescriptorTree(std::uint8_t index, std::span<const std::uint8_t> bytes);
/// A BOS descriptor set shown on its own, capability by capability.
FieldTree BosTree(std::span<const std::uint8_t> bytes);
/// An extended compat ID descriptor shown on its own, function by function.
FieldTree MsCompatIdTree(std::span<const std::uint8_t> bytes);
/// A Microsoft OS 1.0 extended properties descriptor, and an OS 2.0 descriptor set, as
/// delivered.
FieldTree MsExtendedPropertiesTree(std::span<const std::uint8_t> bytes);
FieldTree MsOs20SetTree(std::span<const std::uint8_t> bytes);
/// A report descriptor shown on its own.
FieldTree ReportDescriptorTree(std::span<const std::uint8_t> bytes, const UsbIds* ids = nullptr);

/// Test-failure form: one line per node, "name = value [offset+length]", indented by depth.
std::string ToString(const FieldNode& node, int depth = 0);
std::ostream& operator<<(std::ostream& os, const FieldNode& node);

} // namespace vintrace::protocol
