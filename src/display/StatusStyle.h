#pragma once

#include "capture/RecordKind.h"
#include "display/KindStyle.h"
#include "protocol/Transactions.h"
#include "protocol/TransferItem.h"

#include <optional>
#include <string>
#include <string_view>

namespace vintrace::display {

/// How loudly the Transfers tree shows a status: routine traffic (ok, NAKed, polling) stays
/// quiet, what went wrong stands out, the worst the most.
enum class StatusTone : std::uint8_t { Quiet, Incomplete, Error, Stall };

StatusTone ToneOf(const protocol::TransferItem& item);
StatusTone ToneOf(const protocol::Transaction& transaction);
StatusTone ToneOf(capture::RecordKind kind);

/// Text and fill of a status cell; nothing for a quiet one, which keeps the view's colours.
struct StatusColours {
    Rgb text;
    Rgb fill;
};
std::optional<StatusColours> ToneColours(StatusTone tone);

/// What the colour of a cell of this tone says, one line; empty for a quiet one.
std::string_view ToneMeaning(StatusTone tone);
/// Every tone's meaning, one per line, for the status column's header.
std::string StatusLegend();

} // namespace vintrace::display
