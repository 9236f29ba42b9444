#include "capture/CaptureCheck.h"

#include "capture/PacketClass.h"
#include "capture/SetupRequest.h"
#include "capture/UsbCrc.h"

#include <array>
#include <string_view>

namespace vintrace::capture {

namespace {

constexpr std::int8_t kUnknown = -1;

/// Expected toggle per (address, endpoint, direction): -1 unknown, 0 DATA0, 1 DATA1.
class ToggleState {
public:
    ToggleState() { expected_.fill(kUnknown); }
    std::int8_t& at(unsigned address, unsigned endpoint, bool in) {
        return expected_[(address & 0x7F) << 5 | (endpoint & 0x0F) << 1 | (in ? 1 : 0)];
    }
    /// After SET_CONFIGURATION or SET_INTERFACE: every endpoint but 0 starts at DATA0.
    void resetDevice(unsigned address) {
        for (unsigned ep = 1; ep < 16; ++ep) {
            at(address, ep, false) = 0;
            at(address, ep, true) = 0;
        }
    }

private:
    std::array<std::int8_t, 128 * 16 * 2> expected_;
};

/// Applies what an ACKed standard request does to the toggles of its device.
void ApplyRequest(ToggleState& toggles, unsigned address, const SetupRequest& r) {
    if (r.type() != 0) {
        return;
    }
    if (r.request == 9 || r.request == 11) { // SET_CONFIGURATION, SET_INTERFACE
        toggles.resetDevice(address);
    } else if (r.request == 1 && r.recipient() == 2 && r.value == 0) { // ENDPOINT_HALT
        toggles.at(address, r.index & 0x0F, (r.index & 0x80) != 0) = 0;
    }
}

bool PidCheckNibbleOk(std::uint8_t pid) {
    return ((pid >> 4) ^ (pid & 0x0F)) == 0x0F;
}

} // namespace

std::vector<Findings> CheckCapture(const PacketList& packets) {
    std::vector<Findings> findings(packets.size(), 0);
    ToggleState toggles;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const RecordKind kind = packets.kind(i);
        Findings f = 0;
        if (IsToken(kind) || IsSof(kind)) {
            const CaptureRecord r = packets[i];
            if (r.length != 2) {
                f |= kFindingLength;
            }
            if (r.length == 2 && !TokenCrcMatches(r.bytes[0], r.bytes[1])) {
                f |= kFindingCrc5;
            }
        } else if (IsHandshake(kind)) {
            if (packets[i].length != 0) {
                f |= kFindingLength;
            }
            const auto before = PreviousPacket(packets, i);
            const RecordKind answered = before ? packets.kind(*before) : RecordKind::Hidden;
            const bool answersData = IsData(answered);
            const bool answersIn = IsInToken(answered) && kind != RecordKind::Ack;
            if (!answersData && !answersIn) {
                f |= kFindingHandshake;
            }
        } else if (IsData(kind)) {
            const CaptureRecord r = packets[i];
            if (r.length < 2 || r.bytes.size() > r.length) {
                // More bytes stored than counted: the count passed 255 and wrapped, so the
                // packet received more than any data packet we can judge holds.
                f |= kFindingLength;
            } else if (r.bytes.size() == r.length && !DataCrcMatches(r.bytes)) {
                f |= kFindingCrc16;
            }
            const auto token = PreviousPacket(packets, i);
            if (token && IsToken(packets.kind(*token))) {
                const RecordKind tokenKind = packets.kind(*token);
                const unsigned address = packets.address(*token);
                const unsigned endpoint = packets.endpoint(*token);
                const auto seen = static_cast<std::int8_t>(DataToggle(kind));
                const auto reply = NextPacket(packets, i);
                const bool acked = reply && packets.kind(*reply) == RecordKind::Ack;
                if (tokenKind == RecordKind::Setup) {
                    if (seen != 0) {
                        f |= kFindingToggle;
                    }
                    if (acked) {
                        toggles.at(address, endpoint, false) = 1;
                        toggles.at(address, endpoint, true) = 1;
                        if (const auto request = SetupRequestAt(packets, i)) {
                            ApplyRequest(toggles, address, *request);
                        }
                    }
                } else {
                    std::int8_t& expected = toggles.at(address, endpoint, IsInToken(tokenKind));
                    if (expected != kUnknown && expected != seen) {
                        f |= kFindingToggle;
                    }
                    if (acked) {
                        expected = static_cast<std::int8_t>(1 - seen);
                    }
                }
            }
        } else if (kind == RecordKind::Unknown) {
            if (!PidCheckNibbleOk(packets[i].byteAt(0))) {
                f |= kFindingPid;
            }
        }
        findings[i] = f;
    }
    return findings;
}

std::string FindingsText(Findings f) {
    if (f == 0) {
        return "ok";
    }
    static constexpr std::array<std::string_view, 6> kNames = {"crc5",   "crc16",  "pid",
                                                               "length", "toggle", "handshake"};
    std::string text;
    for (std::size_t bit = 0; bit < kNames.size(); ++bit) {
        if ((f & (1u << bit)) != 0) {
            if (!text.empty()) {
                text += ',';
            }
            text += kNames[bit];
        }
    }
    return text;
}

} // namespace vintrace::capture
