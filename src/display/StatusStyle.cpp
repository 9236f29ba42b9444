#include "display/StatusStyle.h"

namespace vintrace::display {

using protocol::Outcome;
using protocol::TransferStatus;
using protocol::TransferType;

StatusTone ToneOf(const protocol::TransferItem& item) {
    if (item.status == TransferStatus::Stall) {
        return StatusTone::Stall;
    }
    if (item.status == TransferStatus::Error || item.type == TransferType::Malformed) {
        return StatusTone::Error;
    }
    if (item.status == TransferStatus::Incomplete) {
        return StatusTone::Incomplete;
    }
    // NAKs are flow control (USB 2.0 8.4.5): a NAKed poll or a transfer that waited is routine.
    return StatusTone::Quiet;
}

StatusTone ToneOf(const protocol::Transaction& transaction) {
    // A data packet whose CRC16 failed delivered nothing (8.6.3): its transfer waits for a retry.
    if (transaction.corruptData || transaction.outcome == Outcome::Malformed) {
        return StatusTone::Error;
    }
    return transaction.outcome == Outcome::Stall ? StatusTone::Stall : StatusTone::Quiet;
}

StatusTone ToneOf(capture::RecordKind kind) {
    switch (kind) {
    case capture::RecordKind::Stall:
        return StatusTone::Stall;
    case capture::RecordKind::Unknown:
        return StatusTone::Error;
    default:
        return StatusTone::Quiet;
    }
}

std::optional<StatusColours> ToneColours(StatusTone tone) {
    // Dark text on a pale fill: both readable, and the highlight of a selected row replaces
    // the fill without leaving the text unreadable.
    switch (tone) {
    case StatusTone::Stall:
        return StatusColours{{0x9C, 0x00, 0x06}, {0xFF, 0xC7, 0xCE}};
    case StatusTone::Error:
        return StatusColours{{0x8A, 0x3B, 0x00}, {0xFF, 0xD8, 0xA8}};
    case StatusTone::Incomplete:
        return StatusColours{{0x6B, 0x55, 0x00}, {0xFF, 0xF2, 0xB8}};
    case StatusTone::Quiet:
        break;
    }
    return std::nullopt;
}

std::string_view ToneMeaning(StatusTone tone) {
    switch (tone) {
    case StatusTone::Stall:
        return "Red: the device answered STALL (the request or endpoint is refused or halted).";
    case StatusTone::Error:
        return "Orange: an error on the bus (a corrupted or malformed packet, data past "
               "wLength).";
    case StatusTone::Incomplete:
        return "Yellow: the transfer did not complete within the capture.";
    case StatusTone::Quiet:
        break;
    }
    return {};
}

std::string StatusLegend() {
    std::string out;
    for (const StatusTone tone : {StatusTone::Stall, StatusTone::Error, StatusTone::Incomplete}) {
        out += ToneMeaning(tone);
        out += '\n';
    }
    out += "Uncoloured: ok, or NAKed and retried (flow control, routine).";
    return out;
}

} // namespace vintrace::display
