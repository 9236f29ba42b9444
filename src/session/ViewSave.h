#pragma once

#include "capture/PacketList.h"
#include "capture/PcapFile.h"
#include "protocol/Devices.h"
#include "protocol/Transactions.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferList.h"
#include "protocol/UsbIds.h"
#include "session/IndexBuild.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vintrace::session {

/// Writes `head`, the text `append(i, out)` appends for each i below `count` in order, and
/// `tail` to `path`, through a temporary file beside it that replaces a regular file there
/// only once complete. Never the whole text in memory: it is flushed a megabyte at a time.
/// `progress` (may be null) counts i in `records`; its stop flag, looked at every `stopEvery`
/// entries, ends the save with PcapStatus::Stopped and the target as it was. A failure names
/// `path` and says why.
capture::PcapResult SaveText(const std::string& path, const std::string& head, std::size_t count,
                             const std::function<void(std::size_t, std::string&)>& append,
                             const std::string& tail, std::size_t stopEvery,
                             capture::PcapProgress* progress);

/// What a saved Transfers view reads: a transfer list with every item decoded, and what it
/// was built from. Nothing of it may change while a save reads it.
struct TransferView {
    const capture::PacketList& packets;
    const protocol::Transactions& transactions;
    const protocol::TransferList& items;
    const DecodedIndex& decoded;
    const protocol::DeviceModel& devices;
};

/// Saves (SaveText) the items of `view` that `filter` passes, one line each as `vintrace-cli
/// transfers` prints them (`json`: one JSON object each, as with `--json`). `progress` counts
/// items, and a stop is seen within 4,096 of them.
capture::PcapResult SaveTransferView(const std::string& path, const TransferView& view,
                                     const protocol::TransferFilter& filter, bool json,
                                     capture::PcapProgress* progress = nullptr);

/// Saves (SaveText) `devices` as `vintrace-cli devices` (`json`: `--json`) prints them, with
/// the names `ids` gives (may be null). `progress` counts devices, and a stop is seen within
/// 64 of them.
capture::PcapResult SaveDeviceView(const std::string& path,
                                   const std::vector<protocol::DeviceInfo>& devices,
                                   const protocol::UsbIds* ids, bool json,
                                   capture::PcapProgress* progress = nullptr);

} // namespace vintrace::session
