#pragma once

#include "platform/Win32.h"

#include <array>
#include <cstdint>

namespace vintrace::device {

/// The device-interface class of the analyzer's driver.
inline constexpr platform::GUID ANALYZER_INTERFACE_GUID{
    0x77F49320, 0x16EF, 0x11D2, {0xAD, 0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

/// Command with the record as input and no output.
inline constexpr std::uint32_t IOCTL_ANALYZER_COMMAND = 0x80002010;
/// Command with the record as input; the answer comes back in the record's data buffer.
inline constexpr std::uint32_t IOCTL_ANALYZER_QUERY = 0x8000200C;
/// Resets the data pipe after a failed transfer; no input, no output.
inline constexpr std::uint32_t IOCTL_RECOVER_PIPE = 0x00220008;

/// The analyzer's data pipe, opened as "<device path>\PIPE00".
inline constexpr char kDataPipeName[] = "PIPE00";

/// Device path storage of one operation: 256 characters and the terminating NUL.
using DevicePathBuffer = std::array<char, 257>;

/// Longest device path accepted: it must leave room for "\PIPE00" and the NUL, so that the
/// interface that takes the commands is always one whose pipe can be opened too.
inline constexpr std::size_t kLongestDevicePath =
    sizeof(DevicePathBuffer) - sizeof(kDataPipeName) - 1;

/// Analyzer command numbers (3, 4, 7 and 9 are not used).
enum class AnalyzerCommand : std::int32_t {
    SetArmed = 0,
    SetTrigger = 1,
    ReadFirmwareVersion = 2,
    ReadTriggerStatus = 5,
    ReadPortSpeed = 6,
    BeginAcquisition = 8,
    EndDownload = 10,
    SetStopped = 11,
    ReadFifoFull = 12,
    BeginDownload = 13,
    SetBusSpeed = 14,
    ReadFifoLevel = 15,
};

/// Length of the firmware version text.
inline constexpr std::size_t kFirmwareVersionLength = 13;

/// The 16-byte input of every analyzer command.
struct CommandRecord {
    std::int32_t commandCode = 0;
    std::int32_t dataLength = 0;
    /// The caller's data buffer as a 32-bit address (platform::UserBuffer); 0 for none.
    std::uint32_t dataAddress = 0;
    std::int32_t argument = 0;

    friend bool operator==(const CommandRecord&, const CommandRecord&) = default;
};

/// The record as it goes to the driver: four little-endian 32-bit fields.
inline std::array<std::uint8_t, 16> EncodeCommandRecord(const CommandRecord& r) {
    std::array<std::uint8_t, 16> out{};
    const std::uint32_t fields[4] = {static_cast<std::uint32_t>(r.commandCode),
                                     static_cast<std::uint32_t>(r.dataLength), r.dataAddress,
                                     static_cast<std::uint32_t>(r.argument)};
    for (std::size_t f = 0; f < 4; ++f) {
        for (std::size_t i = 0; i < 4; ++i) {
            out[f * 4 + i] = static_cast<std::uint8_t>(fields[f] >> (8 * i));
        }
    }
    return out;
}

/// The record read back from its 16 bytes.
inline CommandRecord DecodeCommandRecord(const std::uint8_t* bytes) {
    std::uint32_t fields[4] = {};
    for (std::size_t f = 0; f < 4; ++f) {
        for (std::size_t i = 0; i < 4; ++i) {
            fields[f] |= static_cast<std::uint32_t>(bytes[f * 4 + i]) << (8 * i);
        }
    }
    return {static_cast<std::int32_t>(fields[0]), static_cast<std::int32_t>(fields[1]), fields[2],
            static_cast<std::int32_t>(fields[3])};
}

} // namespace vintrace::device
