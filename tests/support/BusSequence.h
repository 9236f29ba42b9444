#pragma once

#include "capture/PacketList.h"
#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::test {

/// A store built from a short written bus sequence, packets separated by commas:
/// "SETUP 1.0, DATA0 8006000100001200, ACK, IN 1.0, NAK, SOF 17, PRE, UNKNOWN, IN 3" —
/// tokens take ADDRESS.ENDPOINT (a bare number is a token cut after its first byte), data
/// packets their payload in hex, SOF a frame number. Tokens, SOFs and data packets carry
/// their CRC; a "!" after the name sends a wrong one ("IN! 5.1", "DATA0! 0102").
inline capture::PacketList BusSequence(std::string_view text) {
    using capture::RecordKind;
    capture::PacketList list;
    std::stringstream all{std::string(text)};
    std::string item;
    while (std::getline(all, item, ',')) {
        std::istringstream in(item);
        std::string name;
        std::string arg;
        in >> name >> arg;
        if (name.empty()) {
            continue;
        }
        const bool corrupt = name.back() == '!';
        if (corrupt) {
            name.pop_back();
        }
        static constexpr std::string_view kKinds[] = {"SETUP", "OUT",   "IN",    "ACK",
                                                      "NAK",   "STALL", "DATA0", "DATA1"};
        RecordKind k = RecordKind::Hidden; // stays so for a name that is not known
        for (std::size_t i = 0; i < std::size(kKinds); ++i) {
            if (name == kKinds[i]) {
                k = static_cast<RecordKind>(i);
            }
        }
        std::vector<std::uint8_t> bytes;
        if (name == "SOF") {
            const unsigned frame = static_cast<unsigned>(std::stoul(arg));
            k = RecordKind::Sof;
            const std::uint16_t field =
                capture::WithCrc5(static_cast<std::uint16_t>(frame & 0x7FF));
            bytes = {static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
        } else if (name == "PRE") {
            k = RecordKind::Unknown;
            bytes = {0x3C};
        } else if (name == "UNKNOWN") {
            k = RecordKind::Unknown;
            bytes = {0x00};
        } else if (capture::IsToken(k)) {
            const auto dot = arg.find('.');
            const unsigned address = static_cast<unsigned>(std::stoul(arg.substr(0, dot)));
            bytes.push_back(static_cast<std::uint8_t>(address & 0x7F));
            if (dot != std::string::npos) {
                const unsigned endpoint = static_cast<unsigned>(std::stoul(arg.substr(dot + 1)));
                const std::uint16_t field = capture::WithCrc5(
                    static_cast<std::uint16_t>((address & 0x7F) | (endpoint & 0x0F) << 7));
                bytes = {static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
            }
        } else if (capture::IsData(k)) {
            bytes = Hex(arg);
            const std::uint16_t crc = capture::Crc16(bytes);
            bytes.push_back(static_cast<std::uint8_t>(crc));
            bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
        } else if (k == RecordKind::Hidden) {
            throw std::invalid_argument("unknown packet in bus sequence: " + item);
        }
        if (corrupt && bytes.size() >= 2) {
            bytes.back() ^= 0x80; // within the CRC5 of a token, the CRC16's last byte of data
        }
        list.append(k, static_cast<std::uint8_t>(bytes.size()), bytes);
    }
    return list;
}

} // namespace vintrace::test
