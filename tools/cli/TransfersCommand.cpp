#include "TransfersCommand.h"

#include "JsonText.h"
#include "OutputFile.h"

#include "capture/HexText.h"
#include "capture/SetupRequest.h"
#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/TransferSummary.h"
#include "protocol/Transfers.h"
#include "session/CaptureSession.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::cli {

namespace {

using protocol::TransferItem;
using protocol::TransferType;

constexpr int kExitUsage = 106;

struct TransfersOptions {
    std::string file;
    std::string address;
    std::string endpoint;
    bool json = false;
    bool noFold = false;
};

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
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

/// Appends the item's TAB-separated line to `out`.
void TextLine(std::string& out, const capture::PacketList& packets,
              const protocol::Transactions& tx, const TransferItem& item,
              const std::optional<std::string>& decoded) {
    const bool endpoint = HasEndpoint(item);
    AppendNumber(out, protocol::FirstRecord(tx, item));
    out += '\t';
    AppendNumber(out, protocol::LastRecord(tx, item));
    out += '\t';
    out += protocol::TypeName(item.type);
    out += '\t';
    if (endpoint) {
        AppendNumber(out, item.address);
        out += '\t';
        AppendNumber(out, item.endpoint);
        out += '\t';
        out += protocol::DirectionName(item.direction);
    } else {
        out += "-\t-\t-";
    }
    out += '\t';
    out += protocol::StatusName(item.status);
    out += '\t';
    AppendNumber(out, item.bytes);
    out += '\t';
    out += protocol::TransferSummary(packets, tx, item, protocol::SummaryForm::Line);
    if (decoded) {
        out += "; ";
        out += protocol::JoinLines(*decoded);
    }
    out += '\n';
}

/// Appends the item's JSON object, one line, to `out`.
void JsonLine(std::string& out, const capture::PacketList& packets,
              const protocol::Transactions& tx, const TransferItem& item,
              const std::optional<std::string>& decoded) {
    const bool endpoint = HasEndpoint(item);
    out += "{\"type\": \"";
    out += protocol::TypeName(item.type);
    out += "\", \"first\": ";
    AppendNumber(out, protocol::FirstRecord(tx, item));
    out += ", \"last\": ";
    AppendNumber(out, protocol::LastRecord(tx, item));
    out += ", \"address\": ";
    if (endpoint) {
        AppendNumber(out, item.address);
    } else {
        out += "null";
    }
    out += ", \"endpoint\": ";
    if (endpoint) {
        AppendNumber(out, item.endpoint);
    } else {
        out += "null";
    }
    out += ", \"direction\": ";
    if (endpoint) {
        out += JsonQuote(protocol::DirectionName(item.direction));
    } else {
        out += "null";
    }
    out += ", \"status\": \"";
    out += protocol::StatusName(item.status);
    out += "\", \"count\": ";
    AppendNumber(out, item.count);
    out += ", \"bytes\": ";
    AppendNumber(out, item.bytes);
    out += ", \"data\": \"";
    AppendHex(out, protocol::DeliveredPayload(packets, tx, item));
    out += '"';
    if (item.type == TransferType::Control) {
        const auto request = protocol::ControlRequest(packets, tx, item);
        if (request) {
            out += ", \"setup\": \"";
            AppendHex(out, protocol::TransactionPayload(packets, tx[item.firstTransaction]));
            out += "\", \"request\": ";
            out += JsonQuote(RequestName(*request));
        }
        out += ", \"naks\": ";
        AppendNumber(out, item.naks);
        if (item.excess != 0) {
            out += ", \"excess\": ";
            AppendNumber(out, item.excess);
        }
    }
    if (const auto frames = protocol::SofFrames(packets, tx, item)) {
        out += ", \"first_frame\": ";
        AppendNumber(out, frames->first);
        out += ", \"last_frame\": ";
        AppendNumber(out, frames->second);
    }
    if (decoded) {
        out += ", \"decoded\": ";
        out += JsonQuote(*decoded);
    }
    out += "}\n";
}

int Run(const TransfersOptions& o) {
    std::optional<std::uint8_t> address;
    std::optional<std::uint8_t> endpoint;
    if (!o.address.empty()) {
        address = capture::ParseByteLiteral(o.address);
        if (!address || *address > 0x7F) {
            std::fprintf(stderr, "vintrace-cli: transfers: not a device address: %s\n",
                         o.address.c_str());
            return kExitUsage;
        }
    }
    if (!o.endpoint.empty()) {
        endpoint = capture::ParseByteLiteral(o.endpoint);
        if (!endpoint || *endpoint > 0x0F) {
            std::fprintf(stderr, "vintrace-cli: transfers: not an endpoint number: %s\n",
                         o.endpoint.c_str());
            return kExitUsage;
        }
    }
    session::CaptureSession session;
    const capture::LoadResult loaded = session.open(o.file);
    if (!loaded.ok()) {
        std::fprintf(stderr, "vintrace-cli: %s: %s\n", o.file.c_str(), loaded.reason.c_str());
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    const protocol::Transactions& tx = session.transactions();
    // Endpoint types and sizes from the capture's own descriptors.
    const protocol::TransferList& items = session.transferList(!o.noFold);
    protocol::ClassDecoder decoder(packets, tx, session.devices());
    // Items are decoded in capture order on this thread; the lines of each batch are written
    // on two threads (half each) and output in order.
    struct Shown {
        TransferItem item;
        std::optional<std::string> decoded;
    };
    constexpr std::size_t kBatch = std::size_t{1} << 14;
    std::vector<Shown> batch;
    batch.reserve(kBatch);
    std::array<std::string, 2> halves;
    const auto format = [&](std::size_t begin, std::size_t end, std::string& into) {
        into.clear();
        for (std::size_t i = begin; i < end; ++i) {
            if (o.json) {
                JsonLine(into, packets, tx, batch[i].item, batch[i].decoded);
            } else {
                TextLine(into, packets, tx, batch[i].item, batch[i].decoded);
            }
        }
    };
    // Stops at the first failure: the errno of the first is the one to report.
    const auto flush = [&] {
        const std::size_t mid = batch.size() / 2;
        if (batch.size() < 1024) {
            format(0, batch.size(), halves[0]);
            halves[1].clear();
        } else {
            std::thread worker(format, mid, batch.size(), std::ref(halves[1]));
            format(0, mid, halves[0]);
            worker.join();
        }
        batch.clear();
        return std::fwrite(halves[0].data(), 1, halves[0].size(), stdout) == halves[0].size() &&
               std::fwrite(halves[1].data(), 1, halves[1].size(), stdout) == halves[1].size();
    };
    bool failed = false;
    errno = 0;
    for (const TransferItem item : items) {
        // Every item is decoded, shown or not, so a mass-storage data stage is read by its
        // command even when the filter hides the command.
        std::optional<protocol::Decoded> decoded = decoder.decode(item);
        if (address && (!HasEndpoint(item) || item.address != *address ||
                        (endpoint && item.endpoint != *endpoint))) {
            continue;
        }
        batch.push_back({item, decoded ? std::optional(std::move(decoded->text)) : std::nullopt});
        if (batch.size() == kBatch && !flush()) {
            failed = true;
            break;
        }
    }
    if (failed || !flush() || std::fflush(stdout) != 0) {
        return ReportStdoutFailure(errno);
    }
    return 0;
}

} // namespace

void AddTransfersCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<TransfersOptions>();
    CLI::App* cmd = app.add_subcommand(
        "transfers",
        "Group the packets into transactions and the transactions into transfers, and print "
        "one item per line in capture order: first and last packet index (as dump numbers "
        "them), type (control, bulk, interrupt, isochronous, data when the endpoint's type is "
        "unknown, sof, polling, malformed), address, endpoint, direction (for control the "
        "direction bit of bmRequestType), status (ok, stall, incomplete, error), payload "
        "bytes delivered and a summary, TAB-separated. Runs of SOFs and of NAKed polls on an "
        "endpoint are folded into one item each.");
    cmd->add_option("FILE", options->file, "Capture file")->required();
    cmd->add_flag(
        "--json", options->json,
        "One JSON object per line: type, first, last, address, endpoint, direction, "
        "status, count, bytes, data (delivered payload in hex); control transfers add "
        "setup, request and naks (and excess, the bytes sent past wLength, when there were "
        "any); SOF items first_frame and last_frame");
    CLI::Option* addressOpt = cmd->add_option(
        "--address", options->address, "Only the items of this device address (a C literal)");
    cmd->add_option("--endpoint", options->endpoint,
                    "Only the items of this endpoint number of the address (a C literal)")
        ->needs(addressOpt);
    cmd->add_flag("--no-fold", options->noFold, "List SOFs and NAKed transactions one by one");
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
