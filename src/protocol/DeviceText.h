#pragma once

#include "protocol/DeviceCapabilities.h"
#include "protocol/Devices.h"
#include "protocol/UsbIds.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// A descriptor field's value as lsusb shows it, with the name of what it refers to when known:
/// " 2.00" for bcd fields, "0x303a Espressif" for IDs, "500mA", "2 USB Mouse" for string
/// indexes, "3 Human Interface Device" for classes. Names and strings come escaped
/// (EscapeText). `ids` may be null (numbers only).
std::string DescriptorFieldText(const DeviceInfo& device, std::string_view name,
                                std::uint16_t value, const UsbIds* ids);

/// The same for a field of `d`, read by its kind where that says more: terminal types,
/// jack types, subtypes of class-specific descriptors by name.
std::string DescriptorFieldText(const DeviceInfo& device, const Descriptor& d,
                                std::string_view name, std::uint16_t value, const UsbIds* ids);

/// The value of a field that LayAudioDescriptor laid out: string indexes with their strings.
std::string LaidFieldText(const DeviceInfo& device, const LaidField& f, const UsbIds* ids);

/// A descriptor's heading by its kind: "Device Descriptor", "Configuration Descriptor",
/// "Interface Association", "Endpoint Descriptor", ...; DescriptorTitle for the others.
std::string DescriptorHeading(const Descriptor& d);

/// "HID Device Descriptor", "CDC Functional Descriptor", "DFU Functional Descriptor", "MIDI IN
/// Jack Descriptor", ...; for a descriptor no kind is known for, "Descriptor of type 0x25".
std::string DescriptorTitle(const Descriptor& d);

/// The bits a DFU functional descriptor's bmAttributes sets (DFU 1.1 4.1.3): "can download,
/// can upload, manifestation tolerant, will detach"; "none" when it sets none of them.
std::string DfuAttributesText(std::uint8_t bmAttributes);

/// "EP 1 IN", "EP 2 OUT" from bEndpointAddress.
std::string EndpointName(std::uint8_t address);

/// The vendor's and the product's names for a device descriptor; nothing when the descriptor
/// stops before the IDs, `ids` is null or the list does not know them.
std::optional<std::string> VendorName(const Descriptor& device, const UsbIds* ids);
std::optional<std::string> ProductName(const Descriptor& device, const UsbIds* ids);

/// The report descriptor's items, one indented line each, then its faults.
std::vector<std::string> ReportDescriptorLines(std::span<const std::uint8_t> bytes,
                                               const UsbIds* ids = nullptr);

} // namespace vintrace::protocol
