#pragma once

#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vintrace::protocol {

/// The bytes one transfer added to an endpoint's stream.
struct StreamChunk {
    Direction direction = Direction::In;
    /// Store index of the transfer's first record.
    std::size_t firstRecord = 0;
    std::vector<std::uint8_t> bytes;

    friend bool operator==(const StreamChunk&, const StreamChunk&) = default;
};

/// The data an endpoint carried, in capture order.
struct EndpointStream {
    std::vector<StreamChunk> chunks;
    /// Transfers seen on the endpoint in each direction (Out, In), data or not.
    std::size_t transfers[2] = {0, 0};

    /// The chunks' bytes one after another.
    std::vector<std::uint8_t> bytes() const;
};

/// True when `item` is a bulk or interrupt transfer of endpoint `endpoint` (1 to 15) of
/// `address`, in `direction` (either when empty).
bool InStream(const TransferItem& item, std::uint8_t address, std::uint8_t endpoint,
              std::optional<Direction> direction);

/// What `item` added to its endpoint's stream: what it delivered, each retransmitted packet
/// once, without the status header an FTDI chip puts before every IN packet.
StreamChunk StreamChunkOf(const capture::PacketList& packets, const Transactions& transactions,
                          const DeviceModel& devices, const TransferItem& item);

/// The byte stream of bulk or interrupt endpoint `endpoint` of `address` over `items` (the
/// transfer list, in capture order): both directions interleaved when `direction` is empty.
/// Control and isochronous items are left out.
template <typename Items>
EndpointStream ReconstructStream(const capture::PacketList& packets,
                                 const Transactions& transactions, const DeviceModel& devices,
                                 const Items& items, std::uint8_t address, std::uint8_t endpoint,
                                 std::optional<Direction> direction) {
    EndpointStream stream;
    for (const TransferItem item : items) {
        if (!InStream(item, address, endpoint, direction)) {
            continue;
        }
        ++stream.transfers[item.direction == Direction::In ? 1 : 0];
        StreamChunk chunk = StreamChunkOf(packets, transactions, devices, item);
        if (!chunk.bytes.empty()) {
            stream.chunks.push_back(std::move(chunk));
        }
    }
    return stream;
}

} // namespace vintrace::protocol
