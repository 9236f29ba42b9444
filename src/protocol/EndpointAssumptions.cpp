#include "protocol/EndpointAssumptions.h"

#include "protocol/TransferFilter.h"

#include <array>
#include <cstdio>
#include <ostream>

namespace vintrace::protocol {

namespace {

struct KindInfo {
    AssumedKind kind;
    std::string_view name;
    TransferType type;
    /// Class, subclass, protocol; a class of 0 stands for none (the kind is a type only).
    AssumedClass interface;
};

// The interfaces the decoders key on: HID 1.11 4.2-4.3 (boot subclass 1, keyboard 1, mouse 2),
// CDC 1.2 4.5 (data class 0x0A), BOT 1.0 4.3 (class 8, SCSI transparent 6, protocol 0x50),
// MIDI 1.0 4.3 (audio class 1, MIDI streaming subclass 3). FTDI chips present a vendor
// interface (0xFF) and are known by their IDs.
constexpr std::array<KindInfo, 9> kKinds = {{
    {AssumedKind::Interrupt, "interrupt", TransferType::Interrupt, {}},
    {AssumedKind::Bulk, "bulk", TransferType::Bulk, {}},
    {AssumedKind::Isochronous, "isochronous", TransferType::Isochronous, {}},
    {AssumedKind::HidBootMouse, "hid-boot-mouse", TransferType::Interrupt, {0x03, 0x01, 0x02}},
    {AssumedKind::HidBootKeyboard,
     "hid-boot-keyboard",
     TransferType::Interrupt,
     {0x03, 0x01, 0x01}},
    {AssumedKind::CdcData, "cdc-data", TransferType::Bulk, {0x0A, 0x00, 0x00}},
    {AssumedKind::Bot, "bot", TransferType::Bulk, {0x08, 0x06, 0x50}},
    {AssumedKind::Ftdi, "ftdi", TransferType::Bulk, {0xFF, 0xFF, 0xFF}},
    {AssumedKind::Midi, "midi", TransferType::Bulk, {0x01, 0x03, 0x00}},
}};

constexpr std::array<AssumedKind, kKinds.size()> kOrder = [] {
    std::array<AssumedKind, kKinds.size()> order{};
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
        order[i] = kKinds[i].kind;
    }
    return order;
}();

const KindInfo& InfoOf(AssumedKind kind) {
    for (const KindInfo& k : kKinds) {
        if (k.kind == kind) {
            return k;
        }
    }
    return kKinds[1];
}

} // namespace

std::span<const AssumedKind> AssumedKinds() {
    return kOrder;
}

std::string_view AssumedKindName(AssumedKind kind) {
    return InfoOf(kind).name;
}

std::string AssumedKindList() {
    std::string s;
    for (const KindInfo& k : kKinds) {
        s += (s.empty() ? "" : ", ") + std::string(k.name);
    }
    return s;
}

std::optional<AssumedKind> AssumedKindFromName(std::string_view name) {
    for (const KindInfo& k : kKinds) {
        if (k.name == name) {
            return k.kind;
        }
    }
    return std::nullopt;
}

TransferType AssumedTransferType(AssumedKind kind) {
    return InfoOf(kind).type;
}

std::optional<AssumedClass> AssumedInterfaceClass(AssumedKind kind) {
    const KindInfo& k = InfoOf(kind);
    if (k.interface.cls == 0) {
        return std::nullopt;
    }
    return k.interface;
}

AssumptionParse ParseAssumption(std::string_view text) {
    AssumptionParse out;
    const std::string usage = "write ADDRESS.ENDPOINT=KIND, KIND one of " + AssumedKindList() +
                              " (a trailing ! makes it win over the capture's descriptors)";
    const std::size_t equals = text.find('=');
    const std::size_t dot = text.find('.');
    if (equals == std::string_view::npos || dot == std::string_view::npos || dot > equals) {
        out.error = "not an assumption: " + std::string(text) + " (" + usage + ")";
        return out;
    }
    const std::string_view a = text.substr(0, dot);
    const std::string_view e = text.substr(dot + 1, equals - dot - 1);
    std::string_view k = text.substr(equals + 1);
    const auto address = ParseDeviceAddress(a);
    if (!address) {
        out.error = "not a device address (0 to 127): " + std::string(a);
        return out;
    }
    const auto endpoint = ParseEndpoint(e);
    if (!endpoint) {
        out.error = "not an endpoint (1 to 15, or 0x81 to 0x8F for IN): " + std::string(e);
        return out;
    }
    if (endpoint->number == 0) {
        out.error = "endpoint 0 is the control endpoint: " + std::string(text);
        return out;
    }
    const bool insisted = !k.empty() && k.back() == '!';
    if (insisted) {
        k.remove_suffix(1);
    }
    const auto kind = AssumedKindFromName(k);
    if (!kind) {
        out.error = "unknown kind: " + std::string(k) + " (kinds: " + AssumedKindList() + ")";
        return out;
    }
    out.address = *address;
    out.endpoint = endpoint->number;
    out.direction = endpoint->direction;
    out.assumed = Assumed{*kind, insisted};
    return out;
}

void EndpointAssumptions::set(std::uint8_t address, std::uint8_t number,
                              std::optional<Direction> direction, Assumed assumed) {
    const auto a = static_cast<std::uint8_t>(address & 0x7F);
    const auto n = static_cast<std::uint8_t>(number & 0x0F);
    if (direction != Direction::In) {
        byEndpoint_[{a, n}] = assumed;
    }
    if (direction != Direction::Out) {
        byEndpoint_[{a, static_cast<std::uint8_t>(n | 0x80)}] = assumed;
    }
}

void EndpointAssumptions::drop(std::uint8_t address, std::uint8_t number,
                               std::optional<Direction> direction) {
    const auto a = static_cast<std::uint8_t>(address & 0x7F);
    const auto n = static_cast<std::uint8_t>(number & 0x0F);
    if (direction != Direction::In) {
        byEndpoint_.erase({a, n});
    }
    if (direction != Direction::Out) {
        byEndpoint_.erase({a, static_cast<std::uint8_t>(n | 0x80)});
    }
}

std::optional<Assumed> EndpointAssumptions::find(std::uint8_t address,
                                                 std::uint8_t endpointAddress) const {
    const auto it = byEndpoint_.find({static_cast<std::uint8_t>(address & 0x7F), endpointAddress});
    return it == byEndpoint_.end() ? std::nullopt : std::optional(it->second);
}

std::string AssumptionText(std::uint8_t address, std::uint8_t endpointAddress, Assumed assumed) {
    char where[24];
    std::snprintf(where, sizeof where, "%u.0x%02X=", static_cast<unsigned>(address),
                  static_cast<unsigned>(endpointAddress));
    std::string s = where;
    s += AssumedKindName(assumed.kind);
    if (assumed.insisted) {
        s += '!';
    }
    return s;
}

std::string ToString(const EndpointAssumptions& assumptions) {
    std::string s;
    for (const auto& [key, assumed] : assumptions.all()) {
        if (!s.empty()) {
            s += ' ';
        }
        s += AssumptionText(key.first, key.second, assumed);
    }
    return s;
}

std::ostream& operator<<(std::ostream& os, const EndpointAssumptions& assumptions) {
    return os << ToString(assumptions);
}

} // namespace vintrace::protocol
