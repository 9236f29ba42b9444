#include "protocol/TransferSummary.h"

#include "capture/SetupRequest.h"
#include "protocol/SafeText.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>

namespace vintrace::protocol {

namespace {

/// 1189 -> "1,189".
std::string Thousands(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    }
    return digits;
}

std::string BriefRequest(const capture::SetupRequest& r) {
    const std::string_view standard = capture::StandardRequestName(r);
    if (standard.empty()) {
        static constexpr const char* kTypes[] = {"Standard", "Class", "Vendor", "Reserved"};
        char text[40];
        std::snprintf(text, sizeof text, "%s request 0x%02X", kTypes[r.type()], r.request);
        return text;
    }
    std::string text(standard);
    constexpr std::uint8_t kGetDescriptor = 6;
    constexpr std::uint8_t kSetDescriptor = 7;
    if (r.type() == 0 && (r.request == kGetDescriptor || r.request == kSetDescriptor)) {
        const std::string_view descriptor = capture::DescriptorTypeName(r.value >> 8);
        if (!descriptor.empty()) {
            text += ' ';
            text += descriptor;
        }
    }
    return text;
}

std::string TypeTitle(TransferType t) {
    std::string name(TypeName(t));
    if (!name.empty()) {
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    }
    return name;
}

std::string DirectionTitle(Direction d) {
    return d == Direction::In ? "IN" : "OUT";
}

/// Members whose data packet failed its CRC16 and delivered nothing.
std::size_t CorruptMembers(const Transactions& tx, const TransferItem& item) {
    std::size_t n = 0;
    if (tx.empty()) {
        return n;
    }
    const std::size_t last = std::min(item.lastTransaction, tx.size() - 1);
    for (std::size_t x = tx.nextMaybeCorrupt(item.firstTransaction, last); x <= last;
         x = tx.nextMaybeCorrupt(x + 1, last)) {
        const Transaction t = tx[x];
        n += t.corruptData && IsMember(item, x, t) ? 1 : 0;
    }
    return n;
}

/// ", 1 with a bad CRC16" when members failed their CRC16.
std::string Corrupt(const Transactions& tx, const TransferItem& item) {
    const std::size_t corrupt = CorruptMembers(tx, item);
    return corrupt == 0 ? std::string() : ", " + std::to_string(corrupt) + " with a bad CRC16";
}

/// "6 bytes", "1 byte".
std::string Bytes(std::uint64_t n) {
    return Thousands(n) + (n == 1 ? " byte" : " bytes");
}

/// ", 6 bytes past wLength" when the device sent more than asked for.
std::string Excess(const TransferItem& item) {
    return item.excess == 0 ? std::string() : ", " + Bytes(item.excess) + " past wLength";
}

/// ", NAKed ×1" for a data transfer that took in the NAK that delayed it.
std::string NakNote(const TransferItem& item) {
    return item.type != TransferType::Control && item.naks != 0 ? ", NAKed ×" + Thousands(item.naks)
                                                                : std::string();
}

std::string Control(const capture::PacketList& packets, const Transactions& tx,
                    const TransferItem& item, SummaryForm form) {
    const bool brief = form == SummaryForm::Brief;
    const auto request = ControlRequest(packets, tx, item);
    if (!request && item.excess != 0) {
        // What a device sent after its data stage had reached wLength (9.3.5).
        const std::string s = Bytes(item.excess) + " sent past wLength";
        return brief ? "Control " + s : s + Corrupt(tx, item);
    }
    if (!request) {
        if (tx[item.firstTransaction].kind == TransactionKind::Setup) {
            return "SETUP not accepted";
        }
        return brief ? "Control stage without its SETUP"
                     : "stage of a transfer whose SETUP is not in the capture";
    }
    if (brief) {
        return BriefRequest(*request) + Excess(item);
    }
    std::string s = capture::DescribeSetupRequest(*request);
    if (item.naks != 0) {
        s += ", " + std::to_string(item.naks) + " NAKed";
    }
    return s + Corrupt(tx, item) + Excess(item);
}

void AppendNumber(std::string& out, std::uint64_t n) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, n).ptr);
}

std::string Sof(const capture::PacketList& packets, const Transactions& tx,
                const TransferItem& item) {
    const auto frames = SofFrames(packets, tx, item);
    std::string s = "SOF";
    if (item.count != 1) {
        s += " ×" + Thousands(item.count);
    }
    if (frames) {
        s += frames->first == frames->second ? " (frame " + std::to_string(frames->first) + ")"
                                             : " (frames " + std::to_string(frames->first) + "–" +
                                                   std::to_string(frames->second) + ")";
    }
    return s;
}

} // namespace

std::string TransferSummary(const capture::PacketList& packets, const Transactions& tx,
                            const TransferItem& item, SummaryForm form) {
    const bool brief = form == SummaryForm::Brief;
    if (!brief && item.type != TransferType::Control && item.type != TransferType::Malformed) {
        std::string s;
        AppendTransferSummaryLine(s, packets, tx, item);
        return s;
    }
    switch (item.type) {
    case TransferType::Control:
        return Control(packets, tx, item, form);
    case TransferType::Sof:
        return Sof(packets, tx, item);
    case TransferType::Polling:
        if (brief) {
            const std::string pipe = std::to_string(item.address) + "." +
                                     std::to_string(item.endpoint) + " ×" + Thousands(item.count);
            // A NAKed OUT is the host offering data again that the device cannot take yet
            // (USB 2.0 8.5.1); it polls nothing.
            return item.direction == Direction::Out ? "NAKed OUT " + pipe
                                                    : "Polling IN " + pipe + " NAK";
        }
        break;
    case TransferType::Malformed: {
        const Transaction t = tx[item.firstTransaction];
        for (std::size_t r = t.first; r <= t.last(); ++r) {
            if (HasBadCrc5(packets, r)) {
                // Its address and endpoint cannot be trusted: no device took it (8.3.5).
                return std::string(capture::KindName(packets.kind(r))) + " with a bad CRC5";
            }
        }
        return std::string(capture::KindName(packets.kind(t.last()))) + " fits no transaction";
    }
    default:
        // A transfer that took in the NAK that delayed it says so, as its own poll row would.
        return TypeTitle(item.type) + " " + DirectionTitle(item.direction) + " " +
               Thousands(item.bytes) + " bytes" + NakNote(item);
    }
    return {}; // not reached: the Line form of these is appended above
}

void AppendTransferSummaryLine(std::string& out, const capture::PacketList& packets,
                               const Transactions& tx, const TransferItem& item) {
    switch (item.type) {
    case TransferType::Control:
    case TransferType::Malformed:
        out += TransferSummary(packets, tx, item, SummaryForm::Line);
        return;
    case TransferType::Sof:
        AppendNumber(out, item.count);
        out += " SOF";
        if (const auto frames = SofFrames(packets, tx, item)) {
            out += ", frames ";
            AppendNumber(out, frames->first);
            out += " to ";
            AppendNumber(out, frames->second);
        }
        return;
    case TransferType::Polling:
        AppendNumber(out, item.count);
        out += " NAKed";
        return;
    default:
        break;
    }
    AppendNumber(out, item.count);
    out += item.count == 1 ? " transaction" : " transactions";
    if (item.naks != 0) {
        out += ", ";
        AppendNumber(out, item.naks);
        out += " NAKed";
    }
    if (const std::size_t corrupt = CorruptMembers(tx, item); corrupt != 0) {
        out += ", ";
        AppendNumber(out, corrupt);
        out += " with a bad CRC16";
    }
}

std::string TransferTitle(const capture::PacketList& packets, const Transactions& tx,
                          const TransferItem& item, const std::optional<Decoded>& decoded) {
    std::string title = TransferSummary(packets, tx, item, SummaryForm::Brief);
    if (!decoded) {
        return title;
    }
    const std::string_view text = decoded->text;
    const std::string headline = JoinLines(text.substr(0, text.find('\n')));
    if (headline.empty()) {
        return title;
    }
    switch (decoded->use) {
    case HeadlineUse::Replace:
        // The class's headline knows nothing of the NAK that delayed the transfer.
        return headline + NakNote(item);
    case HeadlineUse::Aside:
        return title + " (" + headline + ")";
    case HeadlineUse::Append:
        break;
    }
    return title + "; " + headline;
}

std::string JoinLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendJoinedLines(out, text);
    return out;
}

void AppendJoinedLines(std::string& out, std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') {
            ++end;
        }
        // Each line escaped whole, so a character's UTF-8 bytes stay together; the decoder
        // escaped what it quotes already.
        AppendEscapedText(out, text.substr(i, end - i), {.newlines = false, .backslashes = true});
        if (end == text.size()) {
            break;
        }
        // CR LF is one break.
        if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            ++end;
        }
        out += " | ";
        i = end + 1;
    }
}

} // namespace vintrace::protocol
