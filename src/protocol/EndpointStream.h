#pragma once

#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <algorithm>
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

/// True when `item` is a bulk or interrupt transfer (or data of an endpoint the capture does
/// not describe) of an endpoint other than 0: something a stream can be made of.
bool CarriesStream(const TransferItem& item);

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

/// The endpoints one conversation runs over at `address`: what the host sends (OUT) and
/// what the device answers (IN). A serial port's are often numbered apart (0x81 and 0x02).
struct StreamPair {
    std::uint8_t address = 0;
    std::optional<std::uint8_t> out;
    std::optional<std::uint8_t> in;

    friend bool operator==(const StreamPair&, const StreamPair&) = default;
    /// True when `item` is a bulk or interrupt transfer of one of the two.
    bool holds(const TransferItem& item) const;
};

/// The pair `item` (a bulk or interrupt transfer) belongs to: its endpoint and the endpoint of
/// the same type the other way in the same interface, as the device at the address then
/// describes them; without descriptors, the same endpoint number the other way.
StreamPair StreamPairOf(const DeviceModel& devices, const TransferItem& item, std::size_t record);

/// Both directions of a pair in capture order, adjacent transfers of one direction joined.
struct Conversation {
    std::vector<StreamChunk> chunks;
    /// Bytes carried each way (Out, In), counted on past what `chunks` keep.
    std::uint64_t bytes[2] = {0, 0};
    /// Transfers seen each way (Out, In), data or not.
    std::size_t transfers[2] = {0, 0};
    /// Set once a byte was left out of `chunks` for the limit.
    bool cut = false;

    /// What was kept of one direction, or of both in order when `direction` is empty.
    std::vector<std::uint8_t> bytesOf(std::optional<Direction> direction) const;
    /// The conversation of one direction: what it kept as a single chunk, and its counts.
    Conversation oneWay(Direction direction) const;
};

/// Builds a pair's conversation a stretch of the transfer list at a time, so that a window
/// reading a large capture never waits long for one step.
class ConversationBuilder {
public:
    /// Keeps at most `keepBytes` of data in chunks; the counts go on to the end.
    explicit ConversationBuilder(StreamPair pair, std::uint64_t keepBytes = kDefaultKeep);

    static constexpr std::uint64_t kDefaultKeep = std::uint64_t{16} << 20;

    /// Reads up to `count` more items of `items` (the transfer list, in capture order); true
    /// once every item has been read.
    template <typename Items>
    bool Step(const capture::PacketList& packets, const Transactions& transactions,
              const DeviceModel& devices, const Items& items, std::size_t count) {
        const std::size_t end =
            next_ + std::min(count, items.size() - std::min(next_, items.size()));
        for (; next_ < end; ++next_) {
            const TransferItem item = items[next_];
            if (pair_.holds(item)) {
                add(item.direction, StreamChunkOf(packets, transactions, devices, item));
            }
        }
        done_ = next_ >= items.size();
        return done_;
    }

    const StreamPair& pair() const { return pair_; }
    const Conversation& conversation() const { return conversation_; }
    /// The conversation, moved out: the builder is done with it.
    Conversation take() { return std::move(conversation_); }
    /// Items read so far.
    std::size_t position() const { return next_; }
    bool done() const { return done_; }

private:
    void add(Direction direction, StreamChunk chunk);

    StreamPair pair_;
    std::uint64_t keep_;
    std::uint64_t kept_ = 0;
    std::size_t next_ = 0;
    bool done_ = false;
    Conversation conversation_;
};

} // namespace vintrace::protocol
