#include "protocol/TransferLines.h"

#include "capture/SetupRequest.h"
#include "protocol/ClassDecoder.h"
#include "protocol/JsonText.h"
#include "protocol/TransferSummary.h"
#include "protocol/Transfers.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace vintrace::protocol {

namespace {

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    // Both digits of a byte at once: the JSON listing spells out every payload byte.
    static constexpr auto kPairs = [] {
        constexpr char kDigits[] = "0123456789ABCDEF";
        std::array<char, 512> pairs{};
        for (std::size_t b = 0; b < 256; ++b) {
            pairs[2 * b] = kDigits[b >> 4];
            pairs[2 * b + 1] = kDigits[b & 0x0F];
        }
        return pairs;
    }();
    const std::size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    char* to = out.data() + at;
    for (std::uint8_t b : bytes) {
        std::memcpy(to, &kPairs[2 * std::size_t{b}], 2);
        to += 2;
    }
}

void AppendNumber(std::string& out, std::uint64_t n) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    out.append(text, end);
}

std::string RequestName(const capture::SetupRequest& r) {
    const std::string_view standard = capture::StandardRequestName(r);
    if (!standard.empty()) {
        return std::string(standard);
    }
    static constexpr const char* kTypes[] = {"standard", "class", "vendor", "reserved"};
    char text[40];
    std::snprintf(text, sizeof text, "%s request 0x%02X", kTypes[r.type()], r.request);
    return text;
}

bool HasEndpoint(const TransferItem& item) {
    return item.type != TransferType::Sof && item.type != TransferType::Malformed;
}

} // namespace

void AppendTransferLine(std::string& out, const capture::PacketList& packets,
                        const Transactions& tx, const TransferItem& item,
                        std::optional<std::string_view> decoded) {
    const bool endpoint = HasEndpoint(item);
    AppendNumber(out, FirstRecord(tx, item));
    out += '\t';
    AppendNumber(out, LastRecord(tx, item));
    out += '\t';
    out += TypeName(item.type);
    out += '\t';
    if (endpoint) {
        AppendNumber(out, item.address);
        out += '\t';
        AppendNumber(out, item.endpoint);
        out += '\t';
        out += DirectionName(item.direction);
    } else {
        out += "-\t-\t-";
    }
    out += '\t';
    out += StatusName(item.status);
    out += '\t';
    AppendNumber(out, item.bytes);
    out += '\t';
    AppendTransferSummaryLine(out, packets, tx, item);
    if (decoded) {
        out += "; ";
        AppendJoinedLines(out, *decoded);
    }
    out += '\n';
}

void AppendTransferJson(std::string& out, const capture::PacketList& packets,
                        const Transactions& tx, const TransferItem& item,
                        std::optional<std::string_view> decoded) {
    const bool endpoint = HasEndpoint(item);
    out += "{\"type\": \"";
    out += TypeName(item.type);
    out += "\", \"first\": ";
    AppendNumber(out, FirstRecord(tx, item));
    out += ", \"last\": ";
    AppendNumber(out, LastRecord(tx, item));
    // SOF and malformed items name no endpoint: null rather than a made-up 0.0.
    if (endpoint) {
        out += ", \"address\": ";
        AppendNumber(out, item.address);
        out += ", \"endpoint\": ";
        AppendNumber(out, item.endpoint);
        out += ", \"direction\": \"";
        out += DirectionName(item.direction);
        out += '"';
    } else {
        out += ", \"address\": null, \"endpoint\": null, \"direction\": null";
    }
    out += ", \"status\": \"";
    out += StatusName(item.status);
    out += "\", \"count\": ";
    AppendNumber(out, item.count);
    out += ", \"bytes\": ";
    AppendNumber(out, item.bytes);
    out += ", \"data\": \"";
    VisitDeliveredPayload(packets, tx, item,
                          [&out](std::span<const std::uint8_t> piece) { AppendHex(out, piece); });
    out += '"';
    if (item.type == TransferType::Control) {
        const auto request = ControlRequest(packets, tx, item);
        if (request) {
            out += ", \"setup\": \"";
            AppendHex(out, TransactionPayload(packets, tx[item.firstTransaction]));
            out += "\", \"request\": ";
            AppendJsonQuoted(out, RequestName(*request));
        }
        out += ", \"naks\": ";
        AppendNumber(out, item.naks);
        if (item.excess != 0) {
            out += ", \"excess\": ";
            AppendNumber(out, item.excess);
        }
    } else if (item.naks != 0) {
        out += ", \"naks\": ";
        AppendNumber(out, item.naks);
    }
    if (const auto frames = SofFrames(packets, tx, item)) {
        out += ", \"first_frame\": ";
        AppendNumber(out, frames->first);
        out += ", \"last_frame\": ";
        AppendNumber(out, frames->second);
    }
    if (decoded) {
        out += ", \"decoded\": ";
        AppendJsonQuoted(out, *decoded);
    }
    out += "}\n";
}

} // namespace vintrace::protocol
