#pragma once

#include "capture/CaptureLoader.h"
#include "capture/EndpointTable.h"
#include "capture/PacketList.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::session {

namespace detail {
/// Decoded texts of a transfer list, built in capture order as far as asked. (At namespace
/// scope: clang cannot default-construct a nested class with member initializers inside the
/// std::optional of its enclosing class.)
struct DecodedIndex {
    std::unique_ptr<protocol::ClassDecoder> decoder;
    /// Items [0, done) have been decoded.
    std::size_t done = 0;
    /// Item numbers that have a text, ascending, and where each text ends in `text`.
    std::vector<std::uint32_t> items;
    std::vector<std::size_t> ends;
    std::vector<protocol::HeadlineUse> uses;
    std::string text;
};
} // namespace detail

/// The open capture and what is derived from it. The window, its companion windows and the
/// command line all read the capture through one session. The indexes are built on first
/// use and dropped whenever the store changes (load, reload, hide), so every reader sees the
/// store as it is now.
class CaptureSession {
public:
    /// The capture file the store was (or will be) loaded from.
    std::string CaptureFileName;
    /// The records, hidden ones removed.
    capture::PacketList PacketList;
    /// The addresses and endpoints the capture holds.
    capture::EndpointTable EndpointTable;

    /// Empties the store and decodes CaptureFileName into it.
    capture::LoadResult Load();
    /// Empties the store.
    void Clear();
    /// Tells the session that the store changed under it (a hide pass, a load done by
    /// someone else): the indexes are dropped and the generation moves on.
    void StoreChanged();

    /// Counts store changes, so a view can tell that what it shows is out of date.
    std::uint64_t generation() const { return generation_; }

    /// Every record in one transaction, in capture order; built on first use.
    const protocol::Transactions& transactions();
    /// The transfer list, runs of SOFs and NAKed polls folded into one item each or not, with
    /// bulk and interrupt grouped by the capture's own endpoint descriptors; built on first use.
    const std::vector<protocol::TransferItem>& transfers(bool fold = true);
    /// The devices the capture's control transfers describe; built on first use.
    const protocol::DeviceModel& devices();

    /// What ClassDecoder says item `item` of transfers(fold) carries; nothing when it adds
    /// nothing (or there is no such item). The decoder reads the items in capture order (a
    /// mass-storage data stage is read by the command before it), so the items up to this one
    /// are decoded on first use, once; later ones are left for later.
    std::optional<std::string> decoded(std::size_t item, bool fold = true);
    /// The same with how its headline goes with the item's summary (for TransferTitle).
    std::optional<protocol::Decoded> decodedItem(std::size_t item, bool fold = true);
    /// How many items of transfers(fold) have been decoded so far.
    std::size_t decodedCount(bool fold = true) const;
    /// The item of transfers(fold) that holds record `record`; nothing when none does (a
    /// record that fits no transaction of an item, or past the store's end).
    std::optional<std::size_t> itemOfRecord(std::size_t record, bool fold = true);
    /// The decoded meaning of the transfer that data packet (DATA0/DATA1) `record` belongs
    /// to; nothing for other records and for transfers the decoders say nothing about.
    std::optional<std::string> meaningOfDataPacket(std::size_t record);

    /// True while an index is held (for tests of the invalidation).
    bool hasIndexes() const {
        return transactions_.has_value() || folded_ || unfolded_ || devices_ || foldedDecoded_ ||
               unfoldedDecoded_ || !foldedOwner_.empty() || !unfoldedOwner_.empty();
    }

private:
    /// Decoded texts of one transfer list, kept only for the items that have one: millions of
    /// items cost a few bytes each, not a string each.
    using DecodedIndex = detail::DecodedIndex;

    std::uint64_t generation_ = 0;
    std::optional<protocol::Transactions> transactions_;
    std::optional<std::vector<protocol::TransferItem>> folded_;
    std::optional<std::vector<protocol::TransferItem>> unfolded_;
    std::optional<protocol::DeviceModel> devices_;
    std::optional<DecodedIndex> foldedDecoded_;
    std::optional<DecodedIndex> unfoldedDecoded_;
    /// The item holding each transaction (UINT32_MAX for none), built on first look-up.
    std::vector<std::uint32_t> foldedOwner_;
    std::vector<std::uint32_t> unfoldedOwner_;
};

} // namespace vintrace::session
