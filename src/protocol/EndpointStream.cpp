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

bool CarriesStream(const TransferItem& item) {
    return item.endpoint != 0 &&
           (item.type == TransferType::Bulk || item.type == TransferType::Interrupt ||
            item.type == TransferType::Data);
}

bool InStream(const TransferItem& item, std::uint8_t address, std::uint8_t endpoint,
              std::optional<Direction> direction) {
    return item.address == address && item.endpoint == endpoint && CarriesStream(item) &&
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

bool StreamPair::holds(const TransferItem& item) const {
    return (out && InStream(item, address, *out, Direction::Out)) ||
           (in && InStream(item, address, *in, Direction::In));
}

StreamPair StreamPairOf(const DeviceModel& devices, const TransferItem& item, std::size_t record) {
    const std::uint8_t number = item.endpoint;
    StreamPair pair{item.address, number, number};
    const auto index = devices.deviceAt(item.address, record);
    const DeviceInfo* device = index ? &devices.devices()[*index] : nullptr;
    const InterfaceDescription* interface =
        device ? device->interfaceOfEndpoint(number, item.direction) : nullptr;
    if (interface == nullptr) {
        return pair;
    }
    // USB 2.0 9.6.6: bits 1..0 of bmAttributes are the transfer type, bit 7 of the address
    // the direction.
    const Descriptor* own = device->endpointDescriptor(number, item.direction);
    const auto type = own ? own->field("bmAttributes") : std::nullopt;
    const bool in = item.direction == Direction::In;
    std::optional<std::uint8_t> other;
    for (const Descriptor& e : interface->endpoints) {
        const auto address = e.field("bEndpointAddress");
        const auto attributes = e.field("bmAttributes");
        if (address && attributes && ((*address & 0x80) != 0) != in &&
            (!type || (*attributes & 3) == (*type & 3))) {
            other = static_cast<std::uint8_t>(*address & 0x0F);
            break;
        }
    }
    // An interface with one data endpoint talks one way only.
    (in ? pair.out : pair.in) = other;
    return pair;
}

std::vector<std::uint8_t> Conversation::bytesOf(std::optional<Direction> direction) const {
    std::vector<std::uint8_t> out;
    for (const StreamChunk& c : chunks) {
        if (!direction || c.direction == *direction) {
            out.insert(out.end(), c.bytes.begin(), c.bytes.end());
        }
    }
    return out;
}

Conversation Conversation::oneWay(Direction direction) const {
    Conversation one;
    const std::size_t way = direction == Direction::In ? 1 : 0;
    one.bytes[way] = bytes[way];
    one.transfers[way] = transfers[way];
    one.cut = cut;
    for (const StreamChunk& c : chunks) {
        if (c.direction != direction) {
            continue;
        }
        if (one.chunks.empty()) {
            one.chunks.push_back({direction, c.firstRecord, {}});
        }
        one.chunks.back().bytes.insert(one.chunks.back().bytes.end(), c.bytes.begin(),
                                       c.bytes.end());
    }
    return one;
}

ConversationBuilder::ConversationBuilder(StreamPair pair, std::uint64_t keepBytes)
    : pair_(pair), keep_(keepBytes) {}

void ConversationBuilder::add(Direction direction, StreamChunk chunk) {
    const std::size_t way = direction == Direction::In ? 1 : 0;
    ++conversation_.transfers[way];
    conversation_.bytes[way] += chunk.bytes.size();
    if (chunk.bytes.empty()) {
        return;
    }
    const std::uint64_t room = keep_ - kept_;
    if (chunk.bytes.size() > room) {
        conversation_.cut = true;
        chunk.bytes.resize(static_cast<std::size_t>(room));
        if (chunk.bytes.empty()) {
            return;
        }
    }
    kept_ += chunk.bytes.size();
    std::vector<StreamChunk>& chunks = conversation_.chunks;
    // One sentence sent in several packets reads as one run.
    if (!chunks.empty() && chunks.back().direction == direction) {
        chunks.back().bytes.insert(chunks.back().bytes.end(), chunk.bytes.begin(),
                                   chunk.bytes.end());
    } else {
        chunks.push_back(std::move(chunk));
    }
}

} // namespace vintrace::protocol
