#pragma once

#include "capture/SetupRequest.h"
#include "protocol/Descriptors.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vintrace::protocol {

/// One field of a BOS or Microsoft OS descriptor: its name, its value as shown, the number
/// behind it (none for UUIDs and ID strings) and where it lies in the data parsed. Text the
/// device wrote (IDs, property names and data) is kept as it came: each output escapes it
/// its own way.
struct LaidField {
    std::string name;
    std::string text;
    std::optional<std::uint32_t> number;
    std::size_t offset = 0;
    std::size_t size = 0;

    friend bool operator==(const LaidField&, const LaidField&) = default;
};

/// A part with fields of its own: a device capability, a compatible-ID function section.
struct LaidBlock {
    std::string title;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::vector<LaidField> fields;
    /// Bytes past the fields a block's kind is known to have (an unknown capability's data).
    std::size_t rawOffset = 0;
    std::size_t rawLength = 0;
    /// How many blocks before it hold it (a feature inside a function subset inside a
    /// configuration subset: 2).
    std::uint8_t depth = 0;

    friend bool operator==(const LaidBlock&, const LaidBlock&) = default;
};

/// A BOS descriptor set or an extended compat ID descriptor, laid out field by field.
struct LaidDescriptor {
    std::vector<LaidField> header;
    std::vector<LaidBlock> blocks;
    std::vector<DescriptorProblem> problems;
    /// Where what was read ends; the bytes after it are no part of it.
    std::size_t end = 0;

    friend bool operator==(const LaidDescriptor&, const LaidDescriptor&) = default;
};

/// A BOS descriptor (type 0x0F) and the device capability descriptors (type 0x10) under it:
/// USB 2.0 extension, container ID, platform (WebUSB, Microsoft OS 2.0 known by UUID), others
/// as type and bytes. `requested` is the request's wLength: data cut by it is only partial.
LaidDescriptor ParseBos(std::span<const std::uint8_t> data, std::size_t requested);

/// A UUID stored as USB stores it (first three groups little-endian), in registry form:
/// "{3408b638-09a9-47a0-8bfd-a0768815b665}". `bytes` must hold 16.
std::string UuidText(std::span<const std::uint8_t> bytes);

/// bMS_VendorCode of a Microsoft OS 1.0 string descriptor (string 0xEE, "MSFT100"); nothing
/// when the bytes are not one.
std::optional<std::uint8_t> MsOsVendorCode(std::span<const std::uint8_t> stringDescriptor);

/// Whether a vendor request reads an extended compat ID descriptor: device-to-host, wIndex 4,
/// bRequest the vendor code the device's 0xEE string gave; without a known vendor code, a
/// reply whose header fits (dwLength 16 + 24 * bCount, bcdVersion 1.00, wIndex 4).
bool IsMsCompatIdRequest(const capture::SetupRequest& r, std::optional<std::uint8_t> vendorCode,
                         std::span<const std::uint8_t> data);

/// An extended compat ID descriptor: its header, then one block per function section.
LaidDescriptor ParseMsCompatId(std::span<const std::uint8_t> data, std::size_t requested);

/// The compatible IDs a compat ID descriptor names, for a one-line summary: "WINUSB",
/// "WINUSB/SUB", several joined by ", ".
std::string MsCompatIdSummary(const LaidDescriptor& d);

/// The vendor code a BOS set's Microsoft OS 2.0 platform capability names (the first
/// descriptor set information entry's bMS_VendorCode); nothing without one.
std::optional<std::uint8_t> MsOs20VendorCode(std::span<const std::uint8_t> bos);

/// Whether a vendor request reads a Microsoft OS 2.0 descriptor set: device-to-host to the
/// device, wIndex 7, bRequest the vendor code the BOS gave; without a known vendor code, a
/// reply that starts with a set header (wLength 10, wDescriptorType 0).
bool IsMsOs20SetRequest(const capture::SetupRequest& r, std::optional<std::uint8_t> vendorCode,
                        std::span<const std::uint8_t> data);

/// A Microsoft OS 2.0 descriptor set: the set header, then one block per descriptor in order
/// (configuration and function subset headers, compatible ID, registry property, minimum
/// resume time, model ID, CCGP device, vendor revision), each at the depth of the subsets
/// that hold it.
LaidDescriptor ParseMsOs20Set(std::span<const std::uint8_t> data, std::size_t requested);

/// A descriptor set for a one-line summary: its compatible IDs and property names,
/// "WINUSB, DeviceInterfaceGUIDs"; "empty" when it has neither.
std::string MsOs20Summary(const LaidDescriptor& d);

/// Whether a vendor request reads a Microsoft OS 1.0 extended properties descriptor: as the
/// compat ID request (the 0xEE string's vendor code) with wIndex 5; without a known vendor
/// code, a reply whose header fits (bcdVersion 1.00, wIndex 5).
bool IsMsExtendedPropertiesRequest(const capture::SetupRequest& r,
                                   std::optional<std::uint8_t> vendorCode,
                                   std::span<const std::uint8_t> data);

/// An extended properties descriptor: its header, then one block per custom property section.
LaidDescriptor ParseMsExtendedProperties(std::span<const std::uint8_t> data, std::size_t requested);

/// The property names of a descriptor set or extended properties descriptor, joined by ", ".
std::string MsPropertiesSummary(const LaidDescriptor& d);

/// The capability names of a BOS descriptor, for a one-line summary: "USB 2.0 Extension,
/// Platform (WebUSB)".
std::string BosSummary(const LaidDescriptor& d);

} // namespace vintrace::protocol
