#include "capture/EndpointTable.h"

namespace vintrace::capture {

namespace {
/// Builds a table from token records' pairs in record order.
class TableBuilder {
public:
    explicit TableBuilder(EndpointTable& table) : table_(table) {
        // Addresses are 7-bit, so a direct index replaces the search through the entries.
        entryOf_.fill(-1);
        for (const AddressEntry& e : table) {
            entryOf_[e.address] = static_cast<int>(&e - table.data());
            for (int j = 0; j < e.endpointCount; ++j) {
                seenEndpoints_[e.address] |=
                    static_cast<std::uint16_t>(1u << (e.endpoints[j] & 15));
            }
        }
    }

    void add(std::uint8_t address, std::uint8_t endpoint) {
        const std::uint16_t bit = static_cast<std::uint16_t>(1u << (endpoint & 15));
        if (entryOf_[address] < 0) {
            entryOf_[address] = static_cast<int>(table_.size());
            AddressEntry& e = table_.emplace_back();
            e.address = address;
            e.endpoints[0] = endpoint;
            e.endpointCount = 1;
            seenEndpoints_[address] = bit;
            return;
        }
        AddressEntry& e = table_[static_cast<std::size_t>(entryOf_[address])];
        if ((seenEndpoints_[address] & bit) == 0 && e.endpointCount < kMaxEndpointsPerAddress) {
            e.endpoints[e.endpointCount++] = endpoint;
            seenEndpoints_[address] |= bit;
        }
    }

private:
    EndpointTable& table_;
    std::array<int, 256> entryOf_;
    std::array<std::uint16_t, 256> seenEndpoints_{};
};
} // namespace

void BuildEndpointTable(const PacketList& packets, EndpointTable& table) {
    TableBuilder builder(table);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (IsToken(packets.kind(i))) {
            builder.add(packets.address(i), packets.endpoint(i));
        }
    }
}

void BuildEndpointTable(const EndpointLog& log, EndpointTable& table) {
    // Only a pair's first record can change the table: later ones find its endpoint listed,
    // or its address already full.
    TableBuilder builder(table);
    for (const std::uint16_t pair : log.pairs()) {
        builder.add(static_cast<std::uint8_t>(pair >> 4), static_cast<std::uint8_t>(pair & 15));
    }
}

void EndpointLog::append(const EndpointLog& other) {
    for (const std::uint16_t pair : other.order_) {
        note(static_cast<std::uint8_t>(pair >> 4), static_cast<std::uint8_t>(pair & 15));
    }
}

void EndpointLog::clear() {
    seen_.fill(0);
    order_.clear();
}

} // namespace vintrace::capture
