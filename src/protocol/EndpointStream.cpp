#include "protocol/EndpointStream.h"

#include "protocol/Transfers.h"
#include "protocol/VendorSerial.h"

namespace vintrace::protocol {

std::vector<std::uint8_t> EndpointStream::bytes() const {
    std::vector<std::uint8_t> out;
    for (const StreamChunk& c : chunks) {
        out.insert(out.end(), c.bytes.begin(), c.bytes.end());
    }
    return out;
}

bool InStream(const TransferItem& item, std::uint8_t address, std::uint8_t endpoint,
              std::optional<Direction> direction) {
    return item.address == address && item.endpoint == endpoint && endpoint != 0 &&
           (item.type == TransferType::Bulk || item.type == TransferType::Interrupt ||
            item.type == TransferType::Data) &&
           (!direction || item.direction == *direction);
}

StreamChunk StreamChunkOf(const capture::PacketList& packets, const Transactions& transactions,
                          const DeviceModel& devices, const TransferItem& item) {
    const std::size_t first = FirstRecord(transactions, item);
    StreamChunk chunk{item.direction, first, {}};
    // The device that held the address then: an FTDI chip's IN packets start with status.
    const auto index = devices.deviceAt(item.address, first);
    const auto chip = index ? SerialChipOf(devices.devices()[*index]) : std::nullopt;
    if (chip && chip->family == SerialChipFamily::Ftdi && item.direction == Direction::In) {
        chunk.bytes = StripFtdiStatus(DeliveredPackets(packets, transactions, item));
    } else {
        chunk.bytes = DeliveredPayload(packets, transactions, item);
    }
    return chunk;
}

} // namespace vintrace::protocol
