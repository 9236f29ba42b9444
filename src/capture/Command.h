#pragma once

#include <cstdint>

namespace vintrace::capture {

/// Message number of a command to the main window's command hub.
inline constexpr std::uint32_t UM_COMMAND = 0x8190;

/// Command codes of the hub. 4 and 8..255 are not commands and are ignored.
enum CommandCode : std::uint8_t {
    CMD_HIDE_SOF = 0,
    CMD_HIDE_NAK = 1,
    CMD_HIDE_ENDPOINT = 2,
    CMD_HIDE_ADDRESS = 3,
    CMD_RELOAD = 5,
    CMD_SEARCH = 6,
    CMD_START_DOWNLOAD = 7,
};

/// The one message record all senders share. WParam carries the command in byte 0, a device
/// address in byte 1 and an endpoint in byte 2. A sender sets only what its command uses;
/// the other fields keep what the previous sender left.
struct CommandMessage {
    std::uint32_t Msg = 0;
    std::uint32_t WParam = 0;
    std::int32_t LParam = 0;
    std::int32_t Result = 0;

    std::uint8_t command() const { return byte(0); }
    std::uint8_t address() const { return byte(1); }
    std::uint8_t endpoint() const { return byte(2); }
    void setCommand(std::uint8_t v) { setByte(0, v); }
    void setAddress(std::uint8_t v) { setByte(1, v); }
    void setEndpoint(std::uint8_t v) { setByte(2, v); }

private:
    std::uint8_t byte(int i) const { return static_cast<std::uint8_t>(WParam >> (8 * i)); }
    void setByte(int i, std::uint8_t v) {
        WParam = (WParam & ~(0xFFu << (8 * i))) | (static_cast<std::uint32_t>(v) << (8 * i));
    }
};

} // namespace vintrace::capture
