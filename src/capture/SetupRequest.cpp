#include "capture/SetupRequest.h"

#include <array>
#include <cstdio>

namespace vintrace::capture {

namespace {

constexpr std::uint8_t kPrePid = 0x3C;

bool IsPreamble(const PacketList& packets, std::size_t i) {
    if (packets.kind(i) != RecordKind::Unknown) {
        return false;
    }
    const CaptureRecord r = packets[i];
    return r.byteAt(0) == kPrePid;
}

constexpr std::array<std::string_view, 13> kStandardRequests = {"GET_STATUS",
                                                                "CLEAR_FEATURE",
                                                                "",
                                                                "SET_FEATURE",
                                                                "",
                                                                "SET_ADDRESS",
                                                                "GET_DESCRIPTOR",
                                                                "SET_DESCRIPTOR",
                                                                "GET_CONFIGURATION",
                                                                "SET_CONFIGURATION",
                                                                "GET_INTERFACE",
                                                                "SET_INTERFACE",
                                                                "SYNCH_FRAME"};

constexpr std::array<std::string_view, 9> kDescriptorTypes = {"",
                                                              "DEVICE",
                                                              "CONFIGURATION",
                                                              "STRING",
                                                              "INTERFACE",
                                                              "ENDPOINT",
                                                              "DEVICE_QUALIFIER",
                                                              "OTHER_SPEED_CONFIGURATION",
                                                              "INTERFACE_POWER"};

constexpr std::array<std::string_view, 4> kTypes = {"standard", "class", "vendor", "reserved"};
constexpr std::array<std::string_view, 4> kRecipients = {"device", "interface", "endpoint",
                                                         "other"};

std::string Hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFF);
    return text;
}

std::string FeatureName(const SetupRequest& r) {
    switch (r.value) {
    case 0:
        return r.recipient() == 2 ? "ENDPOINT_HALT" : "feature 0";
    case 1:
        return "DEVICE_REMOTE_WAKEUP";
    case 2:
        return "TEST_MODE";
    default:
        return "feature " + std::to_string(r.value);
    }
}

} // namespace

std::optional<SetupRequest> ParseSetupRequest(std::span<const std::uint8_t> payload) {
    if (payload.size() < 8) {
        return std::nullopt;
    }
    SetupRequest r;
    r.requestType = payload[0];
    r.request = payload[1];
    r.value = static_cast<std::uint16_t>(payload[2] | (payload[3] << 8));
    r.index = static_cast<std::uint16_t>(payload[4] | (payload[5] << 8));
    r.length = static_cast<std::uint16_t>(payload[6] | (payload[7] << 8));
    return r;
}

std::optional<std::size_t> PreviousPacket(const PacketList& packets, std::size_t i) {
    while (i > 0) {
        --i;
        if (!IsPreamble(packets, i)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> NextPacket(const PacketList& packets, std::size_t i) {
    for (++i; i < packets.size(); ++i) {
        if (!IsPreamble(packets, i)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<SetupRequest> SetupRequestAt(const PacketList& packets, std::size_t i) {
    if (i >= packets.size() || packets.kind(i) != RecordKind::Data0) {
        return std::nullopt;
    }
    const CaptureRecord r = packets[i];
    if (r.length != 10 || r.bytes.size() != 10) {
        return std::nullopt;
    }
    const auto token = PreviousPacket(packets, i);
    if (!token || packets.kind(*token) != RecordKind::Setup) {
        return std::nullopt;
    }
    return ParseSetupRequest(r.bytes);
}

std::string_view StandardRequestName(const SetupRequest& r) {
    if (r.type() != 0 || r.request >= kStandardRequests.size()) {
        return {};
    }
    return kStandardRequests[r.request];
}

std::string_view DescriptorTypeName(std::uint8_t type) {
    if (type < kDescriptorTypes.size()) {
        return kDescriptorTypes[type];
    }
    switch (type) {
    case 0x0F:
        return "BOS";
    case 0x21:
        return "HID";
    case 0x22:
        return "REPORT";
    case 0x23:
        return "PHYSICAL";
    case 0x29:
        return "HUB";
    default:
        return {};
    }
}

std::string DescribeSetupRequest(const SetupRequest& r) {
    std::string text;
    const std::string_view name = StandardRequestName(r);
    if (name.empty()) {
        text = std::string(kTypes[r.type()]) + " request " + std::to_string(r.request);
    } else {
        text = name;
    }
    const auto descriptorType = static_cast<std::uint8_t>(r.value >> 8);
    const unsigned low = r.value & 0xFF;
    switch (r.type() == 0 ? r.request : 0xFF) {
    case 1: // CLEAR_FEATURE
    case 3: // SET_FEATURE
        text += " " + FeatureName(r);
        break;
    case 5: // SET_ADDRESS
    case 9: // SET_CONFIGURATION
        text += " " + std::to_string(r.value);
        break;
    case 6:   // GET_DESCRIPTOR
    case 7: { // SET_DESCRIPTOR
        const std::string_view typeName = DescriptorTypeName(descriptorType);
        text += " ";
        text += typeName.empty() ? "type " + std::to_string(descriptorType) : std::string(typeName);
        text += " index " + std::to_string(low);
        break;
    }
    case 11: // SET_INTERFACE
        text += " " + std::to_string(r.index) + " alternate " + std::to_string(r.value);
        break;
    default:
        break;
    }
    text += " (";
    text += kTypes[r.type()];
    text += r.deviceToHost() ? ", device-to-host, " : ", host-to-device, ";
    text += r.recipient() < kRecipients.size() ? std::string(kRecipients[r.recipient()])
                                               : "recipient " + std::to_string(r.recipient());
    text += ") wValue=" + Hex4(r.value) + " wIndex=" + Hex4(r.index) +
            " wLength=" + std::to_string(r.length);
    return text;
}

} // namespace vintrace::capture
