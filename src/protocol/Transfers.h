#pragma once

#include "capture/PacketList.h"
#include "capture/SetupRequest.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"
#include "protocol/TransferList.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::protocol {

/// An endpoint as its descriptor describes it.
struct EndpointDescription {
    TransferType type = TransferType::Data; // Control, Bulk, Interrupt or Isochronous
    std::uint16_t maxPacketSize = 0;
    /// A bulk endpoint of a bulk-only mass-storage interface, and that interface's number:
    /// its transfers are command wrappers, data stages and status wrappers.
    bool bulkOnly = false;
    std::uint8_t interfaceNumber = 0;
    /// The user said what the endpoint is (Decode As) and its wMaxPacketSize is not known.
    bool sizeUnknown = false;

    friend bool operator==(const EndpointDescription&, const EndpointDescription&) = default;
};

/// What a lookup knows of an endpoint at one moment of the capture, and until when.
struct EndpointAnswer {
    std::optional<EndpointDescription> description;
    /// The first record from which the answer may differ (another device takes the address).
    std::size_t validUntil = static_cast<std::size_t>(-1);
};

/// Looks up the descriptor of (address, endpoint number, direction) for the device that held
/// the address when `record` was on the bus, when the capture has one.
using EndpointLookup = std::function<EndpointAnswer(std::uint8_t address, std::uint8_t endpoint,
                                                    Direction direction, std::size_t record)>;

struct TransferOptions {
    /// Fold runs of SOFs and of NAKed polls into one item each, and a single NAK into the
    /// transfer it delayed when the pipe's next transaction opens one.
    bool fold = true;
    /// Endpoint descriptors; without them bulk and interrupt endpoints are "data".
    EndpointLookup endpoints;
    /// Once set, an assembly over a whole index ends within a stretch of transactions and
    /// its list is partial: a caller that asked to stop drops it.
    const std::atomic<bool>* stop = nullptr;
    /// The same for a second party (a pass the assembly runs beside): either ends it.
    const std::atomic<bool>* halt = nullptr;
};

/// The transfer list of a capture, in capture order (by first record).
///
/// A control transfer runs from its SETUP to its status stage; its data stage ends at
/// wLength. Interrupt endpoints carry one transfer per data transaction; bulk transfers end
/// at a short packet, and on a bulk-only mass-storage interface also at the length the
/// command wrapper announced (the status wrapper is a transfer of its own). A data packet
/// with a bad CRC16 delivers nothing and leaves its transfer open for the retry; a packet that
/// repeats the toggle last delivered on its endpoint is a retransmission and joins the
/// transfer that delivered it. Folding, a lone NAK whose pipe next opens a transfer is that
/// transfer's first member.
TransferList AssembleTransferList(const capture::PacketList& packets,
                                  const Transactions& transactions,
                                  const TransferOptions& options = {});
/// The same list as a vector of items (for readers that keep references into it).
std::vector<TransferItem> AssembleTransfers(const capture::PacketList& packets,
                                            const Transactions& transactions,
                                            const TransferOptions& options = {});

/// Where an assembly keeps its items: the whole list, or only what a pass needs of it.
class TransferStore {
public:
    virtual ~TransferStore() = default;
    /// Adds an item; returns its index (how many items were added before it).
    virtual std::size_t open(const TransferItem& item) = 0;
    /// Item `index` as it stands.
    virtual TransferItem get(std::size_t index) const = 0;
    /// Replaces item `index`.
    virtual void set(std::size_t index, const TransferItem& item) = 0;
    /// Control item `index` will not change any more (its status stage, STALL or the next
    /// SETUP on its endpoint came; a control transfer still open at the end is never
    /// announced).
    virtual void controlSettled(std::size_t index) { static_cast<void>(index); }
};

/// An assembly fed one transaction at a time, in capture order, for passes that group and
/// assemble together. AssembleTransferList is one of these over a whole index.
class TransferAssembly {
public:
    /// `transactions` must hold, when a step reads them, the transactions of every control
    /// transfer not yet settled; `largest` the largest payloads of the whole capture.
    TransferAssembly(const capture::PacketList& packets, const Transactions& transactions,
                     const TransferOptions& options, const LargestPayloads& largest,
                     TransferStore& store);
    ~TransferAssembly();
    TransferAssembly(const TransferAssembly&) = delete;
    TransferAssembly& operator=(const TransferAssembly&) = delete;

    /// Takes in transaction `x`, the one after the last step's.
    void step(std::size_t x, const Transaction& t);
    /// Ends the assembly at the end of the capture.
    void finish();

private:
    class Assembler;
    std::unique_ptr<Assembler> assembler_;
};

/// The largest payloads of the capture: what grouping measured, else measured in `scratch`.
const LargestPayloads& LargestPayloadsOf(const capture::PacketList& packets,
                                         const Transactions& transactions,
                                         LargestPayloads& scratch);

/// True when transaction `t` (at index `index`) belongs to `item`.
bool IsMember(const TransferItem& item, std::size_t index, const Transaction& t);
/// Indexes of the item's member transactions, in order.
std::vector<std::size_t> Members(const Transactions& transactions, const TransferItem& item);
/// Calls `f(x, transaction)` for each member transaction of the item, in order, without
/// building a list.
template <typename F>
void ForEachMember(const Transactions& transactions, const TransferItem& item, F&& f) {
    for (std::size_t x = item.firstTransaction;
         x <= item.lastTransaction && x < transactions.size(); ++x) {
        const Transaction t = transactions[x];
        if (IsMember(item, x, t)) {
            f(x, t);
        }
    }
}
/// Store index of the item's first record.
std::size_t FirstRecord(const Transactions& transactions, const TransferItem& item);
/// Store index of the item's last record.
std::size_t LastRecord(const Transactions& transactions, const TransferItem& item);
/// The payload the item delivered: the data stage of a control transfer, the ACKed data of a
/// bulk or interrupt transfer (a repeated toggle once), an isochronous packet. At most its
/// first `limit` bytes: a view that shows the start of a transfer of megabytes reads no more
/// of it than that.
std::vector<std::uint8_t> DeliveredPayload(const capture::PacketList& packets,
                                           const Transactions& transactions,
                                           const TransferItem& item, std::size_t limit = SIZE_MAX);
/// DeliveredPayload into `out` (emptied first), for a reader of many items that keeps one
/// buffer.
void DeliveredPayloadInto(std::vector<std::uint8_t>& out, const capture::PacketList& packets,
                          const Transactions& transactions, const TransferItem& item,
                          std::size_t limit = SIZE_MAX);
/// The same payload handed over a run at a time, as the packets hold it, without gathering
/// it: a listing that prints it as hex copies nothing.
void VisitDeliveredPayload(const capture::PacketList& packets, const Transactions& transactions,
                           const TransferItem& item,
                           const std::function<void(std::span<const std::uint8_t>)>& piece,
                           std::size_t limit = SIZE_MAX);
/// The payloads of a bulk or interrupt item's delivered data packets, in order (a repeated
/// toggle once); nothing for other items. For protocols that frame each packet. At most
/// `limit` bytes in all, as DeliveredPayload.
std::vector<std::vector<std::uint8_t>> DeliveredPackets(const capture::PacketList& packets,
                                                        const Transactions& transactions,
                                                        const TransferItem& item,
                                                        std::size_t limit = SIZE_MAX);
/// The request a control transfer carries; nothing for other items and control items without
/// their SETUP.
std::optional<capture::SetupRequest> ControlRequest(const capture::PacketList& packets,
                                                    const Transactions& transactions,
                                                    const TransferItem& item);
/// Frame numbers of an SOF item's first and last SOF; nothing when they were cut.
std::optional<std::pair<std::uint16_t, std::uint16_t>> SofFrames(const capture::PacketList& packets,
                                                                 const Transactions& transactions,
                                                                 const TransferItem& item);

/// "control", "bulk", "interrupt", "isochronous", "data", "sof", "polling", "malformed".
std::string_view TypeName(TransferType t);
/// "ok", "stall", "incomplete", "error".
std::string_view StatusName(TransferStatus s);
/// "in" or "out".
std::string_view DirectionName(Direction d);
/// Test-failure form: "control 1.0 in ok tx 3..9 count 4 naks 1 bytes 18" (" excess N" when
/// bytes came past wLength).
std::string ToString(const TransferItem& item);
std::ostream& operator<<(std::ostream& os, const TransferItem& item);

} // namespace vintrace::protocol
