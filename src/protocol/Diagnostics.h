#pragma once

#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// How much a finding matters: a protocol violation, a likely fault, or something to know.
enum class Severity : std::uint8_t { Info, Warning, Error };

/// One rule of the checker. The id is part of the interface: scripts and CI jobs match it.
struct Rule {
    std::string_view id;
    Severity severity = Severity::Error;
    /// What the rule finds, in one line.
    std::string_view summary;
    /// The section it rests on: "USB 2.0 9.3.5".
    std::string_view reference;
};

/// Every rule, packets first, then transactions, control transfers, descriptors, the bus and
/// the classes.
std::span<const Rule> Rules();
/// The rule with this id; nothing for an id no rule has.
const Rule* FindRule(std::string_view id);

/// One thing wrong with a capture, at the records (as `dump` numbers them) it covers.
struct Finding {
    std::string_view rule; // the rule's id
    Severity severity = Severity::Error;
    std::size_t first = 0;
    std::size_t last = 0;
    /// The device address and endpoint number, where the finding has them.
    std::optional<std::uint8_t> address;
    std::optional<std::uint8_t> endpoint;
    /// One line with the values involved: "device returned 16 bytes for wLength 8".
    std::string message;
    std::string_view reference;

    friend bool operator==(const Finding&, const Finding&) = default;
};

/// Findings listed per rule; the rest of a rule's findings are counted in one more finding
/// of that rule, so a capture full of one fault costs bounded memory.
inline constexpr std::size_t kListedPerRule = 10000;

/// Checks a capture against every rule, in passes linear in its records: the packets, the
/// transactions, then the transfers with the devices they describe. Findings come in order
/// of their first record (then of the rules).
std::vector<Finding> Diagnose(const capture::PacketList& packets, const Transactions& transactions,
                              const std::vector<TransferItem>& items, const DeviceModel& devices);

/// Groups, assembles and describes the capture as the transfer list does (with what the user
/// assumed of its endpoints, when `assumptions` is not null), then diagnoses it.
std::vector<Finding> DiagnoseCapture(const capture::PacketList& packets,
                                     const EndpointAssumptions* assumptions = nullptr);

/// True when a finding is at least as severe as `threshold`.
bool AnyAtLeast(const std::vector<Finding>& findings, Severity threshold);

/// "error", "warning", "info".
std::string_view SeverityName(Severity s);
/// The severity of a name SeverityName gives; nothing for any other text.
std::optional<Severity> SeverityFromName(std::string_view name);

/// Test-failure form: "error toggle-error 11..13 3.2: DATA0 where ... (USB 2.0 8.6)".
std::string ToString(const Finding& f);
std::ostream& operator<<(std::ostream& os, const Finding& f);

} // namespace vintrace::protocol
