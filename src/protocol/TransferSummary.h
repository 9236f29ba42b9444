#pragma once

#include "capture/PacketList.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Transactions.h"
#include "protocol/Transfers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vintrace::protocol {

/// How much a transfer summary says.
enum class SummaryForm : std::uint8_t {
    /// For a line that has the type, endpoint and size in columns of their own (the command
    /// line): "GET_DESCRIPTOR DEVICE index 0 (standard, ...) wLength=64, 1 NAKed",
    /// "1000 SOF, frames 1 to 1000", "3 transactions".
    Line,
    /// For a tree column with room for a few words (UTF-8): "GET_DESCRIPTOR DEVICE",
    /// "SOF ×1,000 (frames 1–1000)", "Bulk IN 512 bytes".
    Brief,
};

/// What one item of the transfer list is, in a few words (without what ClassDecoder adds).
std::string TransferSummary(const capture::PacketList& packets, const Transactions& transactions,
                            const TransferItem& item, SummaryForm form);

/// TransferSummary(..., SummaryForm::Line) appended to `out`: a listing of millions of items
/// builds no string per item.
void AppendTransferSummaryLine(std::string& out, const capture::PacketList& packets,
                               const Transactions& transactions, const TransferItem& item);

/// An item's title for a tree column: its Brief summary with the decoded headline (the first
/// line) as the headline's use says: "GET_DESCRIPTOR CONFIGURATION (9 of 34 bytes)",
/// "SET_LINE_CODING 115200 8N1", "HID report: Button 1: 1, X: +3, Y: -2",
/// "SCSI READ(10) LBA 2048 × 8", "GET_DESCRIPTOR DEVICE; device 303A:1001". Detail lines are
/// left for a tooltip.
std::string TransferTitle(const capture::PacketList& packets, const Transactions& transactions,
                          const TransferItem& item, const std::optional<Decoded>& decoded);

/// Decoded text on one line: each line break becomes " | ", the rest is escaped (EscapeText).
std::string JoinLines(std::string_view text);
/// JoinLines appended to `out`.
void AppendJoinedLines(std::string& out, std::string_view text);

} // namespace vintrace::protocol
