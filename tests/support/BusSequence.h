#pragma once

#include "capture/PacketList.h"
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
/// packets their payload in hex (a CRC16 of zeros is added), SOF a frame number.
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
            bytes = {static_cast<std::uint8_t>(frame), static_cast<std::uint8_t>(frame >> 8 & 7)};
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
                bytes[0] = static_cast<std::uint8_t>(bytes[0] | (endpoint & 1) << 7);
                bytes.push_back(static_cast<std::uint8_t>(endpoint >> 1 & 7));
            }
        } else if (capture::IsData(k)) {
            bytes = Hex(arg);
            bytes.push_back(0);
            bytes.push_back(0);
        } else if (k == RecordKind::Hidden) {
            throw std::invalid_argument("unknown packet in bus sequence: " + item);
        }
        list.append(k, static_cast<std::uint8_t>(bytes.size()), bytes);
    }
    return list;
}

} // namespace vintrace::test
