#include "TransfersCommand.h"

#include "JsonText.h"
#include "OutputFile.h"

#include "capture/HexText.h"
#include "capture/SetupRequest.h"
#include "protocol/Devices.h"
#include "protocol/TransferSummary.h"
#include "protocol/Transfers.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

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

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
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

std::string TextLine(const capture::PacketList& packets, const protocol::Transactions& tx,
                     const TransferItem& item, const std::optional<std::string>& decoded) {
    const bool endpoint = HasEndpoint(item);
    return std::to_string(protocol::FirstRecord(tx, item)) + "\t" +
           std::to_string(protocol::LastRecord(tx, item)) + "\t" +
           std::string(protocol::TypeName(item.type)) + "\t" +
           (endpoint ? std::to_string(item.address) : "-") + "\t" +
           (endpoint ? std::to_string(item.endpoint) : "-") + "\t" +
           (endpoint ? std::string(protocol::DirectionName(item.direction)) : "-") + "\t" +
           std::string(protocol::StatusName(item.status)) + "\t" + std::to_string(item.bytes) +
           "\t" + protocol::TransferSummary(packets, tx, item, protocol::SummaryForm::Line) +
           (decoded ? "; " + protocol::JoinLines(*decoded) : "") + "\n";
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string JsonLine(const capture::PacketList& packets, const protocol::Transactions& tx,
                     const TransferItem& item, const std::optional<std::string>& decoded) {
    const bool endpoint = HasEndpoint(item);
    const std::string null = "null";
    std::string s =
        "{\"type\": \"" + std::string(protocol::TypeName(item.type)) +
        "\", \"first\": " + std::to_string(protocol::FirstRecord(tx, item)) +
        ", \"last\": " + std::to_string(protocol::LastRecord(tx, item)) +
        ", \"address\": " + (endpoint ? std::to_string(item.address) : null) +
        ", \"endpoint\": " + (endpoint ? std::to_string(item.endpoint) : null) +
        ", \"direction\": " +
        (endpoint ? JsonString(std::string(protocol::DirectionName(item.direction))) : null) +
        ", \"status\": \"" + std::string(protocol::StatusName(item.status)) +
        "\", \"count\": " + std::to_string(item.count) +
        ", \"bytes\": " + std::to_string(item.bytes) + ", \"data\": \"" +
        Hex(protocol::DeliveredPayload(packets, tx, item)) + "\"";
    if (item.type == TransferType::Control) {
        const auto request = protocol::ControlRequest(packets, tx, item);
        if (request) {
            const auto setup = protocol::TransactionPayload(packets, tx[item.firstTransaction]);
            s += ", \"setup\": \"" + Hex(setup) +
                 "\", \"request\": " + JsonString(RequestName(*request));
        }
        s += ", \"naks\": " + std::to_string(item.naks);
        if (item.excess != 0) {
            s += ", \"excess\": " + std::to_string(item.excess);
        }
    }
    if (const auto frames = protocol::SofFrames(packets, tx, item)) {
        s += ", \"first_frame\": " + std::to_string(frames->first) +
             ", \"last_frame\": " + std::to_string(frames->second);
    }
    if (decoded) {
        s += ", \"decoded\": " + JsonQuote(*decoded);
    }
    return s + "}\n";
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
    const std::vector<TransferItem>& items = session.transfers(!o.noFold);
    std::string out;
    bool failed = false;
    errno = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TransferItem& item = items[i];
        if (address && (!HasEndpoint(item) || item.address != *address ||
                        (endpoint && item.endpoint != *endpoint))) {
            continue;
        }
        // The session decodes every item before this one too, shown or not, so a
        // mass-storage data stage is read by its command even when the filter hides it.
        const std::optional<std::string> decoded = session.decoded(i, !o.noFold);
        out += o.json ? JsonLine(packets, tx, item, decoded) : TextLine(packets, tx, item, decoded);
        if (out.size() >= (1u << 16)) {
            // Stops at the first failure: the errno of the first is the one to report.
            failed = std::fwrite(out.data(), 1, out.size(), stdout) != out.size();
            out.clear();
            if (failed) {
                break;
            }
        }
    }
    if (failed || std::fwrite(out.data(), 1, out.size(), stdout) != out.size() ||
        std::fflush(stdout) != 0) {
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
