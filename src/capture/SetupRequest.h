#pragma once

#include "capture/PacketList.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vintrace::capture {

/// The eight bytes of a control transfer's SETUP data stage, fields in host order.
struct SetupRequest {
    std::uint8_t requestType = 0; // bmRequestType
    std::uint8_t request = 0;     // bRequest
    std::uint16_t value = 0;      // wValue
    std::uint16_t index = 0;      // wIndex
    std::uint16_t length = 0;     // wLength

    /// True for device-to-host (bmRequestType bit 7).
    bool deviceToHost() const { return (requestType & 0x80) != 0; }
    /// 0 standard, 1 class, 2 vendor, 3 reserved (bits 6..5).
    unsigned type() const { return (requestType >> 5) & 3; }
    /// 0 device, 1 interface, 2 endpoint, 3 other (bits 4..0; above 3 reserved).
    unsigned recipient() const { return requestType & 0x1F; }

    friend bool operator==(const SetupRequest&, const SetupRequest&) = default;
};

/// Reads a request from the first 8 bytes of a data payload; nothing if there are fewer.
std::optional<SetupRequest> ParseSetupRequest(std::span<const std::uint8_t> payload);

/// The request carried by record i: a DATA0 of exactly 8 payload bytes (and its CRC16) that
/// directly follows a SETUP token, low-speed preambles aside. Nothing for any other record.
std::optional<SetupRequest> SetupRequestAt(const PacketList& packets, std::size_t i);

/// Standard request name (GET_DESCRIPTOR, ...), empty for other codes or request types.
std::string_view StandardRequestName(const SetupRequest& r);

/// Descriptor type name (DEVICE, CONFIGURATION, STRING, ...), empty when unknown.
std::string_view DescriptorTypeName(std::uint8_t type);

/// One line such as "GET_DESCRIPTOR DEVICE index 0 (standard, device-to-host, device)
/// wValue=0x0100 wIndex=0x0000 wLength=64".
std::string DescribeSetupRequest(const SetupRequest& r);

/// The record before i that is not a low-speed preamble (PRE travels ahead of each
/// low-speed packet the host sends on a full-speed bus); nothing when there is none.
std::optional<std::size_t> PreviousPacket(const PacketList& packets, std::size_t i);
/// The record after i that is not a low-speed preamble; nothing when there is none.
std::optional<std::size_t> NextPacket(const PacketList& packets, std::size_t i);

} // namespace vintrace::capture
