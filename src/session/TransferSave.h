#pragma once

#include "capture/PacketList.h"
#include "capture/PcapFile.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferList.h"
#include "session/IndexBuild.h"

#include <string>

namespace vintrace::session {

/// What a saved Transfers view reads: a transfer list with every item decoded, and what it
/// was built from. Nothing of it may change while a save reads it.
struct TransferView {
    const capture::PacketList& packets;
    const protocol::Transactions& transactions;
    const protocol::TransferList& items;
    const DecodedIndex& decoded;
    const protocol::DeviceModel& devices;
};

/// Writes the items of `view` that `filter` passes to `path`, one line each as `vintrace-cli
/// transfers` prints them (`json`: one JSON object each, as with `--json`), through a
/// temporary file beside it that replaces a regular file there only once complete. Never
/// the whole text in memory: it is flushed a megabyte at a time. `progress` (may be null)
/// counts items in `records`; its stop flag, looked at every 4,096 items, ends the save with
/// PcapStatus::Stopped and the target as it was. A failure names `path` and says why.
capture::PcapResult SaveTransferView(const std::string& path, const TransferView& view,
                                     const protocol::TransferFilter& filter, bool json,
                                     capture::PcapProgress* progress = nullptr);

} // namespace vintrace::session
