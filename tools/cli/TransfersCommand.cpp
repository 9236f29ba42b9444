#include "TransfersCommand.h"

#include "AssumeOption.h"
#include "OutputFile.h"

#include "protocol/ClassDecoder.h"
#include "protocol/Devices.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferLines.h"
#include "protocol/Transfers.h"
#include "session/CaptureSession.h"

#include <array>
#include <cerrno>
#include <cstdio>
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
    session::CaptureSession session;
    if (!OpenAssuming(session, o.file, o.assume)) {
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    const protocol::Transactions& tx = session.transactions();
    // Endpoint types and sizes from the capture's own descriptors.
    const protocol::TransferList& items = session.transferList(!o.noFold);
    protocol::ClassDecoder decoder(packets, tx, session.devices());
    const protocol::TransferFilterMatch passes(filter, packets, tx, &session.devices());
    ReportUnusedAssumptions(o.file, session.devices(), session.assumptions());
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
                protocol::AppendTransferJson(into, packets, tx, batch[i].item, batch[i].decoded);
            } else {
                protocol::AppendTransferLine(into, packets, tx, batch[i].item, batch[i].decoded);
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
        if (!passes(item)) {
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
