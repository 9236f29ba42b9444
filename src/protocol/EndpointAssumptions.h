#pragma once

#include "protocol/TransferItem.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace vintrace::protocol {

/// What the user says an endpoint is when the capture does not (it began after enumeration):
/// a transfer type alone, or a class function whose interface the decoders then see.
enum class AssumedKind : std::uint8_t {
    Interrupt,
    Bulk,
    Isochronous,
    HidBootMouse,
    HidBootKeyboard,
    CdcData,
    Bot,
    Ftdi,
    Midi,
};

/// Every kind, in the order help texts list them.
std::span<const AssumedKind> AssumedKinds();
/// "interrupt", "bulk", "isochronous", "hid-boot-mouse", "hid-boot-keyboard", "cdc-data",
/// "bot", "ftdi", "midi".
std::string_view AssumedKindName(AssumedKind kind);
/// The kinds' names separated by ", " (for usage errors and menus).
std::string AssumedKindList();
/// The kind with this name; nothing for any other text.
std::optional<AssumedKind> AssumedKindFromName(std::string_view name);
/// The transfer type an endpoint of this kind has.
TransferType AssumedTransferType(AssumedKind kind);
/// Class, subclass and protocol of the interface the kind stands for; nothing for the kinds
/// that are only a transfer type.
struct AssumedClass {
    std::uint8_t cls = 0;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;
};
std::optional<AssumedClass> AssumedInterfaceClass(AssumedKind kind);

/// One endpoint's assumed kind. `insisted`: it wins over the capture's own descriptors too.
struct Assumed {
    AssumedKind kind = AssumedKind::Bulk;
    bool insisted = false;

    friend bool operator==(const Assumed&, const Assumed&) = default;
};

/// "ADDRESS.ENDPOINT=KIND" read: the address, the endpoint (a plain number means both
/// directions), and the kind; or why the text is none.
struct AssumptionParse {
    std::uint8_t address = 0;
    std::uint8_t endpoint = 0;
    std::optional<Direction> direction;
    std::optional<Assumed> assumed;
    /// Why `assumed` is empty.
    std::string error;
};

/// Reads "5.1=bulk", "0x5.0x81=hid-boot-mouse" (IN only), "5.2=ftdi!" (a trailing "!"
/// insists: the capture's descriptors do not win). Address and endpoint are written as the
/// transfer filter takes them; endpoint 0 is refused (it is always the control endpoint).
AssumptionParse ParseAssumption(std::string_view text);

/// The endpoints the user has said what they are, by device address and endpoint address
/// (bEndpointAddress: number and direction bit).
class EndpointAssumptions {
public:
    using Key = std::pair<std::uint8_t, std::uint8_t>; // device address, bEndpointAddress

    /// Sets what endpoint `number` of `address` is, in both directions when `direction` is
    /// empty; replaces what was set for it before.
    void set(std::uint8_t address, std::uint8_t number, std::optional<Direction> direction,
             Assumed assumed);
    /// Forgets what was set for endpoint `number` of `address` (both directions when
    /// `direction` is empty).
    void drop(std::uint8_t address, std::uint8_t number, std::optional<Direction> direction);
    /// What was set for this endpoint address of `address`; nothing when nothing was.
    std::optional<Assumed> find(std::uint8_t address, std::uint8_t endpointAddress) const;
    bool empty() const { return byEndpoint_.empty(); }
    const std::map<Key, Assumed>& all() const { return byEndpoint_; }

    /// Reads each text with ParseAssumption, later ones replacing earlier ones for the same
    /// endpoint; nothing (and `error` set to the first text's error) when one is no assumption.
    template <typename Texts>
    static std::optional<EndpointAssumptions> Parse(const Texts& texts, std::string& error) {
        EndpointAssumptions out;
        for (const auto& text : texts) {
            const AssumptionParse p = ParseAssumption(text);
            if (!p.assumed) {
                error = p.error;
                return std::nullopt;
            }
            out.set(p.address, p.endpoint, p.direction, *p.assumed);
        }
        return out;
    }

    friend bool operator==(const EndpointAssumptions&, const EndpointAssumptions&) = default;

private:
    std::map<Key, Assumed> byEndpoint_;
};

/// "5.0x81=hid-boot-mouse", with "!" when insisted.
std::string AssumptionText(std::uint8_t address, std::uint8_t endpointAddress, Assumed assumed);
/// Every assumption as AssumptionText gives it, separated by spaces (test-failure form).
std::string ToString(const EndpointAssumptions& assumptions);
std::ostream& operator<<(std::ostream& os, const EndpointAssumptions& assumptions);

} // namespace vintrace::protocol
