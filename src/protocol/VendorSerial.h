#pragma once

#include "capture/SetupRequest.h"
#include "protocol/Devices.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// The families of USB serial converters whose vendor requests are decoded.
enum class SerialChipFamily : std::uint8_t { Ftdi, Cp210x, Ch34x, Pl2303 };

/// A converter recognised by its vendor and product ID.
struct SerialChip {
    SerialChipFamily family = SerialChipFamily::Ftdi;
    std::string_view name; // "FT232R", "CP210x", ...
    /// FTDI parts with several ports (and the FT232H) carry the port in wIndex's low byte and
    /// the baud divisor's high bits in its high byte.
    bool portInIndex = false;

    friend bool operator==(const SerialChip&, const SerialChip&) = default;
};

/// The chip's maker and part, as a user knows it: "FTDI FT232R", "Silicon Labs CP210x".
std::string SerialChipName(const SerialChip& chip);

/// The converter with this vendor and product ID, from a built-in table; nothing for others.
std::optional<SerialChip> FindSerialChip(std::uint16_t vendor, std::uint16_t product);

/// The converter a device is, by its device descriptor; nothing for others.
std::optional<SerialChip> SerialChipOf(const DeviceInfo& device);

/// The baud rate an FTDI SET_BAUD_RATE asks for, from its encoded divisor: 14 integer bits
/// in wValue, a sub-integer code in wValue bits 14-15 and one more bit in wIndex (bit 0, or
/// bit 8 when `portInIndex`); a 12 MHz base instead of 3 MHz when wIndex bit 9 says so.
/// Nothing for the divisors below 2 that the chips reject.
std::optional<double> FtdiBaudRate(std::uint16_t value, std::uint16_t index, bool portInIndex);

/// The names of the bits set in an FTDI status header (modem status, then line status):
/// "CTS, DSR, THRE, TEMT"; "none" when none is set.
std::string FtdiStatusText(std::uint8_t modem, std::uint8_t line);

/// A vendor request to an FTDI chip: "FTDI SET_BAUD_RATE 115200 baud (divisor 26, 115385
/// actual)", "FTDI SET_DATA 8N1", ...; `data` is the data stage (the answer of a GET).
std::string DescribeFtdiRequest(const capture::SetupRequest& r, std::span<const std::uint8_t> data,
                                bool portInIndex);

/// The data of bulk IN packets of an FTDI chip without the two status bytes that start each.
/// `packets` are the packets' payloads in order.
std::vector<std::uint8_t> StripFtdiStatus(const std::vector<std::vector<std::uint8_t>>& packets);

/// What an FTDI chip's bulk IN transfer carries, from its packets' payloads: the data
/// without the status headers (as text when printable) and the status: the modem lines of
/// the last packet, the line errors of any. "text \"OK\\r\\n\"; status CTS, DSR, THRE, TEMT".
std::string DescribeFtdiIn(const std::vector<std::vector<std::uint8_t>>& packets);

/// A vendor request to a Silicon Labs CP210x (AN571): "CP210x SET_BAUDRATE 115200", ...
std::string DescribeCp210xRequest(const capture::SetupRequest& r,
                                  std::span<const std::uint8_t> data);
/// A vendor request to a WCH CH340/CH341: "CH34x WRITE_REG 0x1312 = 0xCC83 (115200 baud)", ...
std::string DescribeCh34xRequest(const capture::SetupRequest& r,
                                 std::span<const std::uint8_t> data);
/// A request to a Prolific PL2303: its CDC-like line coding and its vendor register access.
std::string DescribePl2303Request(const capture::SetupRequest& r,
                                  std::span<const std::uint8_t> data);

/// Any of the above by the chip's family.
std::string DescribeSerialChipRequest(const SerialChip& chip, const capture::SetupRequest& r,
                                      std::span<const std::uint8_t> data);

} // namespace vintrace::protocol
