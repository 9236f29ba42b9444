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

/// The address and endpoint pairs of token records, each where it first appears: all that
/// BuildEndpointTable needs, gathered while decoding rather than in a pass over the store.
class EndpointLog {
public:
    /// Notes a token record's pair.
    void note(std::uint8_t address, std::uint8_t endpoint) {
        const unsigned pair = (address & 0x7Fu) << 4 | (endpoint & 0x0Fu);
        const std::uint64_t bit = std::uint64_t{1} << (pair & 63);
        if ((seen_[pair >> 6] & bit) == 0) {
            seen_[pair >> 6] |= bit;
            order_.push_back(static_cast<std::uint16_t>(pair));
        }
    }
    /// Notes every pair of `other`, in its order, as if its records came next.
    void append(const EndpointLog& other);
    void clear();
    /// address << 4 | endpoint, in order of first appearance.
    const std::vector<std::uint16_t>& pairs() const { return order_; }

private:
    std::array<std::uint64_t, 2048 / 64> seen_{};
    std::vector<std::uint16_t> order_;
};

/// Fills an empty `table` as BuildEndpointTable does for the records that `log` noted.
void BuildEndpointTable(const EndpointLog& log, EndpointTable& table);

} // namespace vintrace::capture
