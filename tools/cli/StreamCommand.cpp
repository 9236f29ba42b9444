#include "StreamCommand.h"

#include "AssumeOption.h"
#include "OutputFile.h"

#include "capture/StagedFile.h"
#include "protocol/EndpointStream.h"
#include "protocol/TransferFilter.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::cli {

namespace {

using protocol::Direction;

constexpr int kExitUsage = 106;
/// The endpoint carried no bulk or interrupt transfer in the asked direction.
constexpr int kExitNoStream = 1;

struct StreamOptions {
    std::string file;
    std::string address;
    std::string endpoint;
    std::string direction;
    std::string output;
    bool force = false;
    std::vector<std::string> assume;
};

int Usage(const std::string& what) {
    std::fprintf(stderr, "vintrace-cli: stream: %s\n", what.c_str());
    return kExitUsage;
}

bool WriteAll(std::FILE* f, const protocol::EndpointStream& stream) {
    for (const protocol::StreamChunk& c : stream.chunks) {
        if (std::fwrite(c.bytes.data(), 1, c.bytes.size(), f) != c.bytes.size()) {
            return false;
        }
    }
    return true;
}

int Run(const StreamOptions& o) {
    const auto address = protocol::ParseDeviceAddress(o.address);
    if (!address) {
        return Usage("not a device address: " + o.address);
    }
    const auto endpoint = protocol::ParseEndpoint(o.endpoint);
    if (!endpoint) {
        return Usage("not an endpoint number: " + o.endpoint);
    }
    if (endpoint->number == 0) {
        return Usage("endpoint 0 carries control transfers, not a stream");
    }
    std::optional<Direction> direction = endpoint->direction;
    if (!o.direction.empty()) {
        const Direction asked = o.direction == "in" ? Direction::In : Direction::Out;
        if (direction && *direction != asked) {
            return Usage("endpoint " + o.endpoint + " is an IN endpoint; --direction " +
                         o.direction + " contradicts it");
        }
        direction = asked;
    }
    const bool toStdout = o.output.empty() || o.output == "-";
    if (!toStdout && !CheckOutput(o.file, o.output, o.force)) {
        return kExitFileError;
    }
    session::CaptureSession session;
    if (!OpenAssuming(session, o.file, o.assume)) {
        return kExitFileError;
    }
    ReportUnusedAssumptions(o.file, session.devices(), session.assumptions());
    const protocol::EndpointStream stream = protocol::ReconstructStream(
        session.packets(), session.transactions(), session.devices(), session.transferList(true),
        *address, endpoint->number, direction);
    const std::string where =
        "address " + std::to_string(*address) + " endpoint " + std::to_string(endpoint->number);
    const std::size_t out = stream.transfers[0];
    const std::size_t in = stream.transfers[1];
    if (out + in == 0) {
        ReportFileError(o.file,
                        "no bulk or interrupt transfers at " + where +
                            (direction ? (*direction == Direction::In ? " IN" : " OUT") : ""));
        return kExitNoStream;
    }
    if (!direction && out > 0 && in > 0) {
        // Two streams under one number: writing them into one file would mix them.
        return Usage(where + " carries data both ways (" + std::to_string(in) + " IN and " +
                     std::to_string(out) + " OUT transfers); choose one with --direction in|out");
    }
    if (toStdout) {
        UseBinaryStdout();
        errno = 0;
        if (!WriteAll(stdout, stream) || std::fflush(stdout) != 0) {
            return ReportStdoutFailure(errno);
        }
        return 0;
    }
    capture::StagedFile staged(o.output);
    if (staged.file() == nullptr) {
        ReportStagedFailure(staged, o.output);
        return kExitFileError;
    }
    errno = 0;
    if (!WriteAll(staged.file(), stream)) {
        ReportFileError(o.output, std::strerror(errno != 0 ? errno : EIO));
        return kExitFileError;
    }
    if (!staged.commit(o.force)) {
        ReportStagedFailure(staged, o.output);
        return kExitFileError;
    }
    return 0;
}

} // namespace

void AddStreamCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<StreamOptions>();
    CLI::App* cmd = app.add_subcommand(
        "stream",
        "Write the bytes one bulk or interrupt endpoint carried, raw, in capture order: what "
        "each transfer delivered, a retransmitted packet once, without the status bytes an "
        "FTDI serial chip puts before each IN packet (serial data as the port sent it). An "
        "endpoint address with the direction bit (0x81) means IN; a plain number means the "
        "direction its transfers go, and needs --direction when it carries data both ways. "
        "Exits 1 when the endpoint carried no bulk or interrupt transfer.");
    cmd->add_option("FILE", options->file, "Capture file")->required();
    cmd->add_option("--address", options->address, "Device address (a C literal)")->required();
    cmd->add_option("--endpoint", options->endpoint,
                    "Endpoint: its number, or its address with the direction bit for IN (a C "
                    "literal: 1, 0x81)")
        ->required();
    cmd->add_option("--direction", options->direction, "Only this direction: in or out")
        ->check(CLI::IsMember({"in", "out"}));
    cmd->add_option("-o,--output", options->output,
                    "File to write instead of standard output ('-' for standard output)");
    cmd->add_flag("--force", options->force,
                  "Replace the output if it exists and is a regular file (never the input)");
    AddAssumeOption(*cmd, options->assume);
    cmd->callback([options, &exitCode] { exitCode = Run(*options); });
}

} // namespace vintrace::cli
