#include "protocol/TransferFilter.h"

#include "capture/HexText.h"
#include "protocol/Transfers.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vintrace::protocol {

namespace {

constexpr std::uint8_t kClassHub = 0x09;

struct ClassWord {
    std::string_view word;
    std::array<std::uint8_t, 2> codes; // a second code of 0 repeats the first
};

// The words a firmware engineer types for the classes the decoders know, and a few more.
// CDC is the communications interface and its data interface together.
constexpr ClassWord kClassWords[] = {
    {"audio", {0x01, 0x01}},   {"cdc", {0x02, 0x0A}}, {"hid", {0x03, 0x03}},
    {"printer", {0x07, 0x07}}, {"msc", {0x08, 0x08}}, {"hub", {0x09, 0x09}},
    {"video", {0x0E, 0x0E}},   {"dfu", {0xFE, 0xFE}}, {"vendor", {0xFF, 0xFF}},
};

constexpr TransferStatus kStatuses[] = {TransferStatus::Ok, TransferStatus::Stall,
                                        TransferStatus::Incomplete, TransferStatus::Error};
constexpr TransferType kTypes[] = {
    TransferType::Control, TransferType::Bulk, TransferType::Interrupt, TransferType::Isochronous,
    TransferType::Data,    TransferType::Sof,  TransferType::Polling,   TransferType::Malformed};

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool HasEndpoint(const TransferItem& item) {
    return item.type != TransferType::Sof && item.type != TransferType::Malformed;
}

/// An address term's error, or nothing when `word` is one (read into `filter`).
std::optional<std::string> ReadAddress(std::string_view word, TransferFilter& filter) {
    const std::size_t dot = word.find('.');
    const std::string_view a = word.substr(0, dot);
    const auto address = ParseDeviceAddress(a);
    if (!address) {
        return "not a device address (0 to 127): " + std::string(a);
    }
    if (filter.address) {
        return "two addresses: " + std::string(word);
    }
    filter.address = *address;
    if (dot != std::string_view::npos) {
        const std::string_view e = word.substr(dot + 1);
        const auto endpoint = ParseEndpoint(e);
        if (!endpoint) {
            return "not an endpoint (0 to 15, or 0x80 to 0x8F for IN): " + std::string(e);
        }
        filter.endpoint = *endpoint;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint8_t> ParseDeviceAddress(std::string_view text) {
    const auto value = capture::ParseByteLiteral(text);
    if (!value || *value > 0x7F) {
        return std::nullopt;
    }
    return value;
}

std::optional<EndpointChoice> ParseEndpoint(std::string_view text) {
    const auto value = capture::ParseByteLiteral(text);
    if (!value) {
        return std::nullopt;
    }
    if (*value <= 0x0F) {
        return EndpointChoice{*value, std::nullopt};
    }
    // 9.6.6: bit 7 of bEndpointAddress is the direction, bits 4..6 are reserved.
    if (*value >= 0x80 && *value <= 0x8F) {
        return EndpointChoice{static_cast<std::uint8_t>(*value & 0x0F), Direction::In};
    }
    return std::nullopt;
}

TransferFilterParse ParseTransferFilter(std::string_view text) {
    TransferFilter filter;
    std::size_t at = 0;
    while (at < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[at])) != 0) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end])) == 0) {
            ++end;
        }
        const std::string word = Lower(text.substr(at, end - at));
        at = end;
        if (std::isdigit(static_cast<unsigned char>(word[0])) != 0) {
            if (auto error = ReadAddress(word, filter)) {
                return {std::nullopt, "not a filter: " + *error};
            }
            continue;
        }
        bool known = false;
        for (const TransferStatus s : kStatuses) {
            if (word == StatusName(s)) {
                filter.statuses |= static_cast<std::uint8_t>(1u << static_cast<unsigned>(s));
                known = true;
            }
        }
        for (const TransferType t : kTypes) {
            if (word == TypeName(t)) {
                filter.types |= static_cast<std::uint16_t>(1u << static_cast<unsigned>(t));
                known = true;
            }
        }
        for (const ClassWord& c : kClassWords) {
            if (word == c.word) {
                for (const std::uint8_t code : c.codes) {
                    if (std::find(filter.classes.begin(), filter.classes.end(), code) ==
                        filter.classes.end()) {
                        filter.classes.push_back(code);
                    }
                }
                known = true;
            }
        }
        if (!known) {
            return {std::nullopt,
                    "not a filter: " + word +
                        " (an address such as 5, 0x5 or 5.1, a status, a type or a class)"};
        }
    }
    return {std::move(filter), {}};
}

TransferFilterMatch::TransferFilterMatch(const TransferFilter& filter,
                                         const capture::PacketList& packets,
                                         const Transactions& transactions,
                                         const DeviceModel* devices)
    : filter_(filter), packets_(packets), tx_(transactions), devices_(devices) {
    if (devices_ == nullptr || filter_.classes.empty()) {
        return;
    }
    const auto wanted = [this](std::optional<std::uint16_t> cls) {
        return cls && std::find(filter_.classes.begin(), filter_.classes.end(), *cls) !=
                          filter_.classes.end();
    };
    for (const DeviceInfo& d : devices_->devices()) {
        bool has = d.device && (wanted(d.device->field("bDeviceClass")) ||
                                d.device->field("bDeviceClass") == kClassHub);
        for (const auto* all : {&d.configurations, &d.otherSpeed}) {
            for (const auto& [index, c] : *all) {
                for (const InterfaceDescription& i : c.interfaces) {
                    has = has || wanted(i.descriptor.field("bInterfaceClass"));
                }
            }
        }
        for (const InterfaceDescription& i : d.assumedInterfaces) {
            has = has || wanted(i.descriptor.field("bInterfaceClass"));
        }
        if (has) {
            classAddresses_.set(d.address & 0x7F);
            classAddresses_.set(d.firstAddress & 0x7F);
        }
    }
}

bool TransferFilterMatch::operator()(const TransferItem& item) const {
    if (filter_.address) {
        if (!HasEndpoint(item) || item.address != *filter_.address) {
            return false;
        }
        if (filter_.endpoint &&
            (item.endpoint != filter_.endpoint->number ||
             (filter_.endpoint->direction && item.direction != *filter_.endpoint->direction))) {
            return false;
        }
    }
    if (filter_.statuses != 0 &&
        (filter_.statuses & (1u << static_cast<unsigned>(item.status))) == 0) {
        return false;
    }
    if (filter_.types != 0 && (filter_.types & (1u << static_cast<unsigned>(item.type))) == 0) {
        return false;
    }
    if (!filter_.classes.empty()) {
        const auto cls = HasEndpoint(item) && classAddresses_.test(item.address & 0x7F)
                             ? classOf(item)
                             : std::nullopt;
        if (!cls || std::find(filter_.classes.begin(), filter_.classes.end(), *cls) ==
                        filter_.classes.end()) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint8_t> TransferFilterMatch::classOf(const TransferItem& item) const {
    if (devices_ == nullptr) {
        return std::nullopt;
    }
    const auto index = devices_->deviceAt(item.address, FirstRecord(tx_, item));
    if (!index) {
        return std::nullopt;
    }
    const DeviceInfo& device = devices_->devices()[*index];
    // 11.23.1: a hub's class is the device's; its status endpoint has a hub interface too.
    if (device.device && device.device->field("bDeviceClass") == kClassHub) {
        return kClassHub;
    }
    const InterfaceDescription* interface = nullptr;
    if (item.type == TransferType::Control) {
        const auto request = ControlRequest(packets_, tx_, item);
        if (!request) {
            return std::nullopt;
        }
        // 9.3.4: wIndex names the interface or endpoint a request goes to.
        const auto low = static_cast<std::uint8_t>(request->index & 0xFF);
        if (request->recipient() == 1) {
            interface = device.interface(low);
        } else if (request->recipient() == 2) {
            interface = device.interfaceOfEndpoint(low & 0x0F, (low & 0x80) != 0 ? Direction::In
                                                                                 : Direction::Out);
        } else if (device.device) {
            const auto cls = device.device->field("bDeviceClass");
            return cls && *cls != 0 ? std::optional(static_cast<std::uint8_t>(*cls)) : std::nullopt;
        }
    } else {
        interface = device.interfaceOfEndpoint(item.endpoint, item.direction);
    }
    if (interface == nullptr) {
        return std::nullopt;
    }
    const auto cls = interface->descriptor.field("bInterfaceClass");
    return cls ? std::optional(static_cast<std::uint8_t>(*cls)) : std::nullopt;
}

} // namespace vintrace::protocol
