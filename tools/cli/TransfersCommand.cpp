#include "TransfersCommand.h"

#include "AssumeOption.h"
#include "OutputFile.h"
#include "PhaseClock.h"
#include "TransferWriter.h"

#include "protocol/Devices.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferLines.h"
#include "protocol/Transfers.h"
#include "session/CaptureSession.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vintrace::cli {

namespace {

using protocol::TransferItem;

constexpr int kExitUsage = 106;

struct TransfersOptions {
    std::string file;
    std::string address;
    std::string endpoint;
    bool json = false;
    bool noFold = false;
    std::vector<std::string> assume;
};

int Run(const TransfersOptions& o) {
    // The Transfers window's filter box reads its address and endpoint the same way.
    protocol::TransferFilter filter;
    if (!o.address.empty()) {
        filter.address = protocol::ParseDeviceAddress(o.address);
        if (!filter.address) {
            std::fprintf(stderr, "vintrace-cli: transfers: not a device address: %s\n",
                         o.address.c_str());
            return kExitUsage;
        }
    }
    if (!o.endpoint.empty()) {
        filter.endpoint = protocol::ParseEndpoint(o.endpoint);
        if (!filter.endpoint) {
            std::fprintf(stderr, "vintrace-cli: transfers: not an endpoint number: %s\n",
                         o.endpoint.c_str());
            return kExitUsage;
        }
    }
    PhaseClock clock;
    auto session = std::make_unique<session::CaptureSession>();
    if (!OpenAssuming(*session, o.file, o.assume)) {
        return kExitFileError;
    }
    clock.lap("load");
    const capture::PacketList& packets = session->packets();
    const protocol::Transactions& tx = session->transactions();
    clock.lap("group");
    // Endpoint types and sizes from the capture's own descriptors, found beside the assembly.
    const protocol::TransferList& items = session->transferList(!o.noFold);
    clock.lap("devices and assemble");
    const protocol::TransferFilterMatch passes(filter, packets, tx, &session->devices());
    ReportUnusedAssumptions(o.file, session->devices(), session->assumptions());
    const bool json = o.json;
    int error = 0;
    const bool written = WriteDecodedTransfers(
        stdout, packets, tx, session->devices(), items,
        [&passes](const TransferItem& item) { return passes(item); },
        [&packets, &tx, json](std::string& out, const TransferItem& item,
                              std::optional<std::string_view> decoded) {
            if (json) {
                protocol::AppendTransferJson(out, packets, tx, item, decoded);
            } else {
                protocol::AppendTransferLine(out, packets, tx, item, decoded);
            }
        },
        std::thread::hardware_concurrency() > 1 ? 2 : 1, std::size_t{1} << 12, error);
    if (!written) {
        return ReportStdoutFailure(error);
    }
    clock.lap("decode");
    session.reset();
    clock.lap("free");
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
        "endpoint are folded into one item each (other endpoints' traffic does not end a "
        "run of NAKs), and a single NAK into the transfer it delayed (\"1 NAKed\" in its "
        "summary).");
    cmd->add_option("FILE", options->file, "Capture file")->required();
    cmd->add_flag(
        "--json", options->json,
        "One JSON object per line: type, first, last, address, endpoint, direction, "
        "status, count, bytes, data (delivered payload in hex); control transfers add "
        "setup, request and naks (and excess, the bytes sent past wLength, when there were "
        "any); SOF items first_frame and last_frame");
    CLI::Option* addressOpt = cmd->add_option(
        "--address", options->address, "Only the items of this device address (a C literal)");
    cmd->add_option(
           "--endpoint", options->endpoint,
           "Only the items of this endpoint of the address: its number, or its address with the "
           "direction bit for IN only (a C literal: 1, 0x81)")
        ->needs(addressOpt);
    cmd->add_flag("--no-fold", options->noFold, "List SOFs and NAKed transactions one by one");
    AddAssumeOption(*cmd, options->assume);
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
