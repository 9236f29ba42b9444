// vintrace-cli: the capture core on the command line, for scripts, CI and benchmarks.

#include "AnalyzerCommand.h"
#include "CheckCommand.h"
#include "DevicesCommand.h"
#include "DumpWriter.h"
#include "OutputFile.h"
#include "StatsCommand.h"
#include "StreamCommand.h"
#include "TransfersCommand.h"
#include "Validators.h"
#ifdef VINTRACE_HAVE_RENDER
#include "RenderCommand.h"
#endif
#include "Version.h"
#include "capture/BusSpeedSigns.h"
#include "capture/CaptureLoader.h"
#include "capture/HexText.h"
#include "capture/HidePasses.h"
#include "capture/PcapFile.h"
#include "platform/HeapPolicy.h"
#include "platform/OutputPipe.h"
#include "search/PacketSearch.h"
#include "session/CaptureSession.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace vintrace;
using cli::kExitFileError;
using cli::ReportFileError;

constexpr int kExitUsage = 106; // what CLI11 returns for a bad command line

/// Opens `file` in `session`; on failure reports it and returns false.
bool OpenOrReport(session::CaptureSession& session, const std::string& file) {
    const capture::LoadResult result = session.open(file);
    if (!result.ok()) {
        ReportFileError(file, result.reason);
        return false;
    }
    return true;
}

struct DumpOptions {
    std::string file;
    std::string output = "-";
    bool force = false;
    cli::DumpColumns columns;
};

int RunDump(const DumpOptions& o) {
    const bool toStdout = o.output == "-";
    if (!toStdout && !cli::CheckOutput(o.file, o.output, o.force)) {
        return kExitFileError;
    }
    session::CaptureSession session;
    if (!OpenOrReport(session, o.file)) {
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    if (toStdout) {
        if (!cli::DumpAll(packets, stdout, o.columns)) {
            return cli::ReportStdoutFailure(errno);
        }
        return 0;
    }
    capture::StagedFile staged(o.output);
    if (staged.file() == nullptr) {
        cli::ReportStagedFailure(staged, o.output);
        return kExitFileError;
    }
    errno = 0;
    if (!cli::DumpAll(packets, staged.file(), o.columns)) {
        ReportFileError(o.output, std::strerror(errno != 0 ? errno : EIO));
        return kExitFileError;
    }
    if (!staged.commit(o.force)) {
        cli::ReportStagedFailure(staged, o.output);
        return kExitFileError;
    }
    return 0;
}

/// Applies hide operations in the order given, then dumps what remains. `args` holds the
/// operations and the capture file, which may stand before, between or after them.
int RunHide(const std::vector<std::string>& args) {
    auto usage = [](const std::string& what) {
        std::fprintf(stderr, "vintrace-cli: hide: %s\n", what.c_str());
        return kExitUsage;
    };
    std::vector<std::string> ops;
    std::string file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--address" || arg == "--endpoint") {
            ops.push_back(arg);
            if (i + 1 < args.size()) {
                ops.push_back(args[++i]);
            }
        } else if (arg.rfind("--", 0) == 0) {
            ops.push_back(arg);
        } else if (file.empty()) {
            file = arg;
        } else {
            return usage("one capture file only: " + file + " and " + arg);
        }
    }
    if (file.empty()) {
        return usage("a capture file is required");
    }
    session::CaptureSession session;
    if (!OpenOrReport(session, file)) {
        return kExitFileError;
    }
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const std::string& op = ops[i];
        if (op == "--sof") {
            session.hide(capture::HidePass::Sof());
        } else if (op == "--nak") {
            session.hide(capture::HidePass::Nak());
        } else if (op == "--address") {
            if (i + 1 >= ops.size()) {
                return usage("--address needs a value");
            }
            const auto address = capture::ParseByteLiteral(ops[++i]);
            if (!address || *address > 0x7F) {
                return usage("not a device address: " + ops[i]);
            }
            std::optional<std::uint8_t> endpoint;
            if (i + 1 < ops.size() && ops[i + 1] == "--endpoint") {
                if (i + 2 >= ops.size()) {
                    return usage("--endpoint needs a value");
                }
                endpoint = capture::ParseByteLiteral(ops[i + 2]);
                if (!endpoint || *endpoint > 0x0F) {
                    return usage("not an endpoint number: " + ops[i + 2]);
                }
                i += 2;
            }
            session.hide(capture::HidePass::Transactions(*address, endpoint));
        } else if (op == "--endpoint") {
            return usage("--endpoint must follow --address A");
        } else {
            return usage("unknown operation: " + op);
        }
    }
    if (!cli::DumpAll(session.packets(), stdout)) {
        return cli::ReportStdoutFailure(errno);
    }
    return 0;
}

struct SearchOptions {
    std::string file;
    std::string pid;
    std::string address;
    std::string endpoint;
    std::optional<std::string> data;
    std::size_t from = 0;
    bool all = false;
};

/// The longest data pattern the Define Search dialog takes.
constexpr std::size_t kMaxPatternDigits = 128;

/// Searches as the window's Search does; with --all, again from the line after each match.
int RunSearch(const SearchOptions& o) {
    if (o.data) {
        const std::string& digits = *o.data;
        const bool hex = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
        if (!hex || digits.size() > kMaxPatternDigits) {
            std::fprintf(stderr,
                         "vintrace-cli: search: --data takes 1 to %zu hex digits (0-9, A-F) "
                         "without spaces or 0x: '%s'\n",
                         kMaxPatternDigits, digits.c_str());
            return kExitFileError;
        }
    }
    search::SearchCriteria criteria;
    if (!o.pid.empty()) {
        const std::string pid = o.pid == "DATA" ? "DATA0 or DATA1" : o.pid;
        const auto it = std::find(search::kPidItems.begin(), search::kPidItems.end(), pid);
        criteria.pidEnabled = true;
        criteria.pidIndex = static_cast<std::uint8_t>(it - search::kPidItems.begin());
    }
    search::WantedValues wanted;
    if (!o.address.empty()) {
        const auto address = capture::ParseByteLiteral(o.address);
        if (!address || *address > 0x7F) {
            std::fprintf(stderr, "vintrace-cli: search: not a device address: %s\n",
                         o.address.c_str());
            return kExitUsage;
        }
        wanted.address = *address;
        if (o.endpoint.empty()) {
            criteria.addressAnyEndpoint = true;
        } else {
            const auto endpoint = capture::ParseByteLiteral(o.endpoint);
            if (!endpoint || *endpoint > 0x0F) {
                std::fprintf(stderr, "vintrace-cli: search: not an endpoint number: %s\n",
                             o.endpoint.c_str());
                return kExitUsage;
            }
            criteria.addressWithEndpoint = true;
            wanted.endpoint = *endpoint;
        }
    }
    if (o.data) {
        std::string pattern = *o.data;
        for (char& c : pattern) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        criteria.dataEnabled = true;
        criteria.setPattern(pattern);
    }
    session::CaptureSession session;
    if (!OpenOrReport(session, o.file)) {
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    if (o.from > packets.size()) {
        ReportFileError(o.file, "--from " + std::to_string(o.from) + " is past the end: it has " +
                                    std::to_string(packets.size()) + " packets");
        return kExitFileError;
    }
    bool found = false;
    std::size_t start = o.from;
    while (const auto match = search::FindNext(packets, criteria, wanted, start)) {
        std::printf("%zu\n", *match);
        found = true;
        if (!o.all) {
            break;
        }
        start = *match + 1;
    }
    if (!found) {
        std::printf("Not found\n");
        return 1;
    }
    return 0;
}

void ReportPcapError(const capture::PcapResult& r) {
    std::string what = r.reason;
    if (r.status == capture::PcapStatus::TargetExists) {
        what += " (use --force to replace it)";
    } else if (r.status == capture::PcapStatus::TargetNotRegular) {
        what += " (--force replaces only regular files)";
    }
    if (r.offset) {
        what = "offset " + std::to_string(*r.offset) + ": " + what;
    }
    ReportFileError(r.file, what);
}

struct ExportOptions {
    std::string file;
    std::string output;
    std::string speed = "full";
    int linkType = 0;
    bool force = false;
};

int RunExport(const ExportOptions& o) {
    const bool toStdout = o.output == "-";
    if (!toStdout && !cli::CheckOutput(o.file, o.output, o.force)) {
        return kExitFileError;
    }
    session::CaptureSession session;
    if (!OpenOrReport(session, o.file)) {
        return kExitFileError;
    }
    const capture::PacketList& packets = session.packets();
    auto linkType =
        o.speed == "low" ? capture::UsbLinkType::LowSpeed : capture::UsbLinkType::FullSpeed;
    if (o.linkType != 0) {
        linkType = static_cast<capture::UsbLinkType>(o.linkType);
    }
    if (toStdout) {
        cli::UseBinaryStdout();
        const capture::PcapResult result =
            capture::WritePcap(packets, stdout, cli::kStdoutName, linkType);
        if (!result.ok()) {
            return cli::ReportStdoutFailure(result.reason);
        }
        return 0;
    }
    const capture::PcapResult result = capture::ExportPcap(packets, o.output, linkType, o.force);
    if (!result.ok()) {
        ReportPcapError(result);
        return kExitFileError;
    }
    return 0;
}

int RunImport(const std::string& input, const std::string& output, bool force) {
    if (!cli::CheckOutput(input, output, force)) {
        return kExitFileError;
    }
    const capture::PcapResult result = capture::ImportPcap(input, output, force);
    if (!result.ok()) {
        ReportPcapError(result);
        return kExitFileError;
    }
    if (result.emptyRecords != 0) {
        std::fprintf(stderr, "vintrace-cli: %s: skipped %llu empty records\n", input.c_str(),
                     static_cast<unsigned long long>(result.emptyRecords));
    }
    if (result.highSpeed) {
        std::fprintf(stderr, "vintrace-cli: %s: warning: %s\n", input.c_str(),
                     std::string(capture::kHighSpeedWarning).c_str());
    }
    if (result.cutRecords != 0) {
        // The capture file holds every byte, but its records keep only so many: a round trip
        // through it loses the rest, so the user hears of it now.
        const bool wraps = result.longestCut > 256; // 256 or more bytes after the PID
        std::fprintf(stderr,
                     "vintrace-cli: %s: cut on loading: %llu %s longer than a capture keeps, "
                     "to 66 bytes after the PID (2 for tokens, handshakes and SOFs)%s; the "
                     "longest has %u bytes\n",
                     input.c_str(), static_cast<unsigned long long>(result.cutRecords),
                     result.cutRecords == 1 ? "packet" : "packets",
                     wraps ? ", their length counted modulo 256" : "", result.longestCut);
    }
    return 0;
}

/// Names the first word that is not a subcommand where one is required, with the choices;
/// CLI11 would only say that a subcommand is required. True when it reported one.
bool ReportUnknownSubcommand(const CLI::App& app, int argc, char** argv) {
    const CLI::App* level = &app;
    for (int i = 1; i < argc && level->get_require_subcommand_min() > 0; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') {
            return false; // an option: CLI11's own messages cover those
        }
        const CLI::App* next = nullptr;
        std::string names;
        for (const CLI::App* sub : level->get_subcommands({})) {
            names += (names.empty() ? "" : ", ") + sub->get_name();
            if (sub->check_name(word)) {
                next = sub;
            }
        }
        if (next == nullptr) {
            const std::string where =
                level == &app ? std::string() : " of '" + level->get_name() + "'";
            std::fprintf(stderr,
                         "vintrace-cli: unknown subcommand%s '%s'; the subcommands are: %s\n",
                         where.c_str(), word.c_str(), names.c_str());
            return true;
        }
        level = next;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Help and short answers stay in this buffer until the final flush, which reports why a
    // write failed; a smaller buffer would fail mid-print and lose the reason.
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    // transfers and devices free a pass's index before the next grows: keep the peak low.
    vintrace::platform::ReturnLargeBlocksToSystem();
    // Listings run to hundreds of megabytes and are mostly piped into another program.
    vintrace::platform::WidenOutputPipe(1);
    CLI::App app{"vintrace-cli: decode and examine Vintrace capture files (.dat)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionLine("vintrace-cli"));
    int exitCode = 0;

    DumpOptions dumpOptions;
    CLI::App* dump = app.add_subcommand(
        "dump", "Print one line per packet: index, kind, length, address, endpoint, bytes "
                "(TAB-separated; address and endpoint are '-' for packets that are not "
                "tokens; bytes are the stored bytes in upper-case hex)");
    dump->add_option("FILE", dumpOptions.file, "Capture file")->required();
    dump->add_option("-o,--output", dumpOptions.output,
                     "File to write instead of standard output ('-')")
        ->capture_default_str();
    dump->add_flag("--force", dumpOptions.force, "Replace the output file if it is a regular file");
    cli::DumpColumns& dumpColumns = dumpOptions.columns;
    dump->add_flag("--check", dumpColumns.check,
                   "Add a column with what is wrong with each packet, 'ok' or a comma-separated "
                   "list: crc5 (token or SOF CRC), crc16 (data CRC), pid (check nibble), "
                   "length (token or SOF not 2 bytes, handshake with bytes, data shorter than "
                   "its CRC or so long that its length count wrapped), toggle (DATA0/DATA1 out of "
                   "turn on its endpoint; SETUP expects "
                   "DATA0, then DATA1 both ways; every ACKed data packet flips its endpoint), "
                   "handshake (ACK, NAK or STALL answering no data packet or IN token)");
    dump->add_flag("--decode", dumpColumns.decode,
                   "Add a column with the standard request a SETUP's DATA0 carries (empty for "
                   "other packets)");
    dump->callback([&] { exitCode = RunDump(dumpOptions); });

    CLI::App* hide = app.add_subcommand(
        "hide", "vintrace-cli hide FILE OP... (the OPs may also come first). Hide packets as the "
                "Define Hide dialog does, then print what remains in the dump "
                "format (renumbered from 0). OPs, applied in the order given: --sof (start-of-"
                "frame packets); --nak (each NAK and the packet it answers); --address A "
                "[--endpoint E] (the transactions of address A, on endpoint E or on all "
                "endpoints). A and E are C literals: 0x1A hexadecimal, 26 decimal.");
    // The file and the operations are read together, in order, so either may come first.
    hide->allow_extras();
    hide->callback([&] { exitCode = RunHide(hide->remaining()); });

    SearchOptions searchOptions;
    CLI::App* searchCmd = app.add_subcommand(
        "search", "Search packets as the window's Search does and print the index of the first "
                  "match (exit 1 and \"Not found\" when there is none). Criteria combine like "
                  "the Define Search dialog's: a kind, an address (all endpoints, or one with "
                  "--endpoint) and a data pattern, tied together along each transaction.");
    searchCmd->add_option("FILE", searchOptions.file, "Capture file")->required();
    searchCmd
        ->add_option("--pid", searchOptions.pid,
                     "Packet kind: SETUP OUT IN ACK NAK STALL DATA0 DATA1 DATA SOF "
                     "(DATA: DATA0 or DATA1)")
        ->check(CLI::IsMember(
            {"SETUP", "OUT", "IN", "ACK", "NAK", "STALL", "DATA0", "DATA1", "DATA", "SOF"}));
    CLI::Option* addressOpt = searchCmd->add_option("--address", searchOptions.address,
                                                    "Device address, a C literal (0x1A or 26)");
    searchCmd
        ->add_option("--endpoint", searchOptions.endpoint,
                     "Endpoint number of the address, a C literal")
        ->needs(addressOpt);
    searchCmd->add_option("--data", searchOptions.data,
                          "Hex digits to find in a data packet's payload, at any digit: 1 to "
                          "128 of 0-9 and A-F (exit 2 for anything else)");
    searchCmd
        ->add_option("--from", searchOptions.from,
                     "First line to examine, 0 to the number of packets")
        ->check(cli::WholeNumberFrom(0))
        ->capture_default_str();
    searchCmd->add_flag("--all", searchOptions.all,
                        "Print every match, searching again from the line after each");
    searchCmd->callback([&] { exitCode = RunSearch(searchOptions); });

    ExportOptions exportOptions;
    CLI::App* exportCmd = app.add_subcommand(
        "export",
        "Write a capture as pcap, one record per packet: the PID byte, then the bytes the "
        "packet holds (at most 66 after the PID). The capture has no time stamps, so they are "
        "made up: each SOF starts its frame 1 ms per frame number after the previous SOF's "
        "(frame numbers wrap at 2048), and every other packet comes 1 us after the one before "
        "it; without SOFs packets are simply 1 us apart.");
    exportCmd->add_option("FILE", exportOptions.file, "Capture file")->required();
    exportCmd
        ->add_option("OUT", exportOptions.output, "pcap file to write, '-' for standard output")
        ->required();
    exportCmd
        ->add_option("--speed", exportOptions.speed, "Bus speed: full (link type 294) or low (293)")
        ->check(CLI::IsMember({"full", "low"}))
        ->capture_default_str();
    exportCmd
        ->add_option("--linktype", exportOptions.linkType,
                     "Link type, overriding --speed: 288 (USB 2.0, any speed), 293, 294")
        ->check(cli::OneOf({288, 293, 294}, "link type"));
    exportCmd->add_flag("--force", exportOptions.force,
                        "Replace OUT if it exists and is a regular file (never the input)");
    exportCmd->callback([&] { exitCode = RunExport(exportOptions); });

    std::string importInput;
    std::string importOutput;
    bool importForce = false;
    CLI::App* importCmd = app.add_subcommand(
        "import", "Convert a pcap or pcapng file of USB packets (link type 288, 293 or 294) "
                  "into a capture file: each record becomes a start unit with its first byte "
                  "(the PID) and one unit per following byte. Time stamps are dropped.");
    importCmd->add_option("IN", importInput, "pcap or pcapng file")->required();
    importCmd->add_option("OUT", importOutput, "Capture file to write")->required();
    importCmd->add_flag("--force", importForce,
                        "Replace OUT if it exists and is a regular file (never the input)");
    importCmd->callback([&] { exitCode = RunImport(importInput, importOutput, importForce); });

    cli::StatsOptions statsOptions;
    CLI::App* statsCmd = app.add_subcommand(
        "stats",
        "Count a capture's packets: per kind; per address and endpoint (tokens, and the data "
        "packets and handshakes of their transactions, with the share of transactions "
        "answered by NAK); CRC5 and CRC16 errors; SOFs and the frames they cover (first to "
        "last frame number, across the wrap at 2048). Bus utilisation is estimated as the bit "
        "times of the packets (sync 8, PID and bytes 8 each, end of packet 3; no bit stuffing, "
        "no gaps, so a lower bound) over the bit times of the covered frames (1 ms each at "
        "12 Mb/s, or 1.5 Mb/s with --speed low); without SOFs it is unknown.");
    statsCmd->add_option("FILE", statsOptions.file, "Capture file")->required();
    statsCmd->add_option("--speed", statsOptions.speed, "Bus speed: full or low")
        ->check(CLI::IsMember({"full", "low"}))
        ->capture_default_str();
    statsCmd->add_flag("--json", statsOptions.json, "Print JSON instead of a table");
    statsCmd->callback([&] { exitCode = cli::RunStats(statsOptions); });

#ifdef VINTRACE_HAVE_RENDER
    cli::RenderOptions render;
    CLI::App* renderCmd = app.add_subcommand(
        "render", "Draw packet lines exactly as the packet list shows them, into a PNG image");
    renderCmd->add_option("FILE", render.file, "Capture file")->required();
    renderCmd->add_option("-o,--output", render.output, "PNG file to write")->required();
    renderCmd->add_flag("--force", render.force,
                        "Replace the output if it exists and is a regular file (never the input)");
    renderCmd->add_option("--wrap", render.wrap, "Wrap mode: none, 16 or 32")
        ->check(CLI::IsMember({"none", "16", "32"}))
        ->capture_default_str();
    renderCmd->add_option("--first", render.first, "First line to draw, within the capture")
        ->check(cli::WholeNumberFrom(0))
        ->capture_default_str();
    renderCmd->add_option("--count", render.count, "Number of lines, at least 1")
        ->check(cli::WholeNumberFrom(1))
        ->capture_default_str();
    renderCmd->add_option("--width", render.width, "Image width in pixels")
        ->check(CLI::Range(16, 16384))
        ->capture_default_str();
    renderCmd->callback([&] { exitCode = cli::RunRender(render); });
#endif

    cli::AddAnalyzerCommand(app, exitCode);
    cli::AddTransfersCommand(app, exitCode);
    cli::AddDevicesCommand(app, exitCode);
    cli::AddCheckCommand(app, exitCode);
    cli::AddStreamCommand(app, exitCode);

    if (ReportUnknownSubcommand(app, argc, argv)) {
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e);
        // check promises CI jobs 2 for a wrong command line, apart from its findings' 1.
        if (exitCode != 0 && argc > 1 && std::string(argv[1]) == "check") {
            exitCode = cli::kExitCheckUsage;
        }
    }
    // Whatever the subcommand, output that did not arrive is a failure.
    if (!cli::FlushStdout()) {
        return kExitFileError;
    }
    return exitCode;
}
