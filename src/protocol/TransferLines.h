#pragma once

#include "capture/PacketList.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <optional>
#include <string>
#include <string_view>

namespace vintrace::protocol {

/// Appends `item`'s line as `vintrace-cli transfers` prints it: first and last record, type,
/// address, endpoint, direction, status, bytes and summary, TAB-separated, then "; " and the
/// decoded text joined on one line when there is one. The Transfers window copies and saves
/// the same lines.
void AppendTransferLine(std::string& out, const capture::PacketList& packets,
                        const Transactions& tx, const TransferItem& item,
                        std::optional<std::string_view> decoded);

/// Appends `item`'s JSON object, one line, as `vintrace-cli transfers --json` prints it.
void AppendTransferJson(std::string& out, const capture::PacketList& packets,
                        const Transactions& tx, const TransferItem& item,
                        std::optional<std::string_view> decoded);

} // namespace vintrace::protocol
