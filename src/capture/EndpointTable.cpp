#include "capture/EndpointTable.h"

namespace vintrace::capture {

void BuildEndpointTable(const PacketList& packets, EndpointTable& table) {
    // Addresses are 7-bit, so a direct index replaces the search through the entries.
    std::array<int, 256> entryOf;
    entryOf.fill(-1);
    std::array<std::uint16_t, 256> seenEndpoints{};
    for (const AddressEntry& e : table) {
        entryOf[e.address] = static_cast<int>(&e - table.data());
        for (int j = 0; j < e.endpointCount; ++j) {
            seenEndpoints[e.address] |= static_cast<std::uint16_t>(1u << (e.endpoints[j] & 15));
        }
    }
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (!IsToken(packets.kind(i))) {
            continue;
        }
        const std::uint8_t address = packets.address(i);
        const std::uint8_t endpoint = packets.endpoint(i);
        const std::uint16_t bit = static_cast<std::uint16_t>(1u << (endpoint & 15));
        if (entryOf[address] < 0) {
            entryOf[address] = static_cast<int>(table.size());
            AddressEntry& e = table.emplace_back();
            e.address = address;
            e.endpoints[0] = endpoint;
            e.endpointCount = 1;
            seenEndpoints[address] = bit;
            continue;
        }
        AddressEntry& e = table[static_cast<std::size_t>(entryOf[address])];
        if ((seenEndpoints[address] & bit) == 0 && e.endpointCount < kMaxEndpointsPerAddress) {
            e.endpoints[e.endpointCount++] = endpoint;
            seenEndpoints[address] |= bit;
        }
    }
}

} // namespace vintrace::capture
