#pragma once

#include "capture/PacketList.h"

#include <string>
#include <vector>

namespace vintrace::test {

/// Builds a PacketList from short names:
///  - a kind name ("ACK", "SOF", "UNKNOWN");
///  - a token with address and endpoint, "IN3.1" (a bare "IN" is address 0 endpoint 0);
///  - a data packet with its payload in hex after a colon, "DATA0:00A0B0"; two CRC bytes
///    are added, so its length is the payload plus 2.
inline capture::PacketList MakeRecords(const std::vector<std::string>& names) {
    using capture::RecordKind;
    capture::PacketList list;
    for (const std::string& name : names) {
        const std::string head = name.substr(0, name.find(':'));
        std::string base = head.substr(0, head.find_first_of("0123456789"));
        if (head.rfind("DATA", 0) == 0) {
            base = head;
        }
        RecordKind kind = RecordKind::Unknown;
        for (int k = 0; k < 10; ++k) {
            if (capture::KindName(static_cast<RecordKind>(k)) == base) {
                kind = static_cast<RecordKind>(k);
            }
        }
        std::vector<std::uint8_t> bytes;
        if (capture::IsToken(kind)) {
            unsigned address = 0;
            unsigned endpoint = 0;
            if (base != head) {
                address = std::stoul(head.substr(base.size()));
                endpoint = std::stoul(head.substr(head.find('.') + 1));
            }
            bytes = {static_cast<std::uint8_t>(address | (endpoint & 1) << 7),
                     static_cast<std::uint8_t>(endpoint >> 1)};
        } else if (capture::IsData(kind)) {
            const std::string hex = name.find(':') == std::string::npos
                                        ? std::string()
                                        : name.substr(name.find(':') + 1);
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes.push_back(
                    static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
            bytes.push_back(0xC1); // CRC16 stand-ins
            bytes.push_back(0xC2);
        }
        list.append(kind, static_cast<std::uint8_t>(bytes.size()), bytes);
    }
    return list;
}

/// The names of a list's records, in the form MakeRecords takes for kinds and tokens.
inline std::vector<std::string> RecordNames(const capture::PacketList& list) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const capture::CaptureRecord r = list[i];
        std::string name(capture::KindName(r.kind));
        if (capture::IsToken(r.kind) && (r.address || r.endpoint)) {
            name += std::to_string(r.address) + "." + std::to_string(r.endpoint);
        }
        out.push_back(name);
    }
    return out;
}

} // namespace vintrace::test
