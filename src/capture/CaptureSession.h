#pragma once

#include "capture/CaptureLoader.h"
#include "capture/EndpointTable.h"
#include "capture/PacketList.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::capture {

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
    LoadResult Load();
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

    /// True while an index is held (for tests of the invalidation).
    bool hasIndexes() const {
        return transactions_.has_value() || folded_ || unfolded_ || devices_;
    }

private:
    std::uint64_t generation_ = 0;
    std::optional<protocol::Transactions> transactions_;
    std::optional<std::vector<protocol::TransferItem>> folded_;
    std::optional<std::vector<protocol::TransferItem>> unfolded_;
    std::optional<protocol::DeviceModel> devices_;
};

} // namespace vintrace::capture
