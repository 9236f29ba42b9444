#pragma once

#include "capture/PacketList.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vintrace::capture {

/// One device address seen in token records, with its endpoints in order of first use.
struct AddressEntry {
    std::uint8_t address = 0;
    std::array<std::uint8_t, 16> endpoints{}; // at most the first 15 are used
    std::uint8_t endpointCount = 0;

    friend bool operator==(const AddressEntry&, const AddressEntry&) = default;
};

/// Addresses in order of their first token record.
using EndpointTable = std::vector<AddressEntry>;

/// Most endpoints one address records; a sixteenth distinct endpoint is left out.
inline constexpr std::uint8_t kMaxEndpointsPerAddress = 15;

/// Fills an empty `table` from the SETUP, OUT and IN records of `packets`.
void BuildEndpointTable(const PacketList& packets, EndpointTable& table);

} // namespace vintrace::capture
