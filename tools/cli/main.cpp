// vintrace-cli: the capture core on the command line, for scripts, CI and benchmarks.

#include "DumpWriter.h"
#ifdef VINTRACE_HAVE_RENDER
#include "RenderCommand.h"
#endif
#include "capture/CaptureLoader.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

using namespace vintrace;

constexpr int kExitFileError = 2;

void ReportFileError(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "vintrace-cli: %s: %s\n", file.c_str(), what.c_str());
}

/// Loads `file`; on failure reports it and returns false.
bool LoadOrReport(const std::string& file, capture::PacketList& packets,
                  capture::EndpointTable& table) {
    const capture::LoadResult result = capture::LoadCaptureFile(file, packets, table);
    if (!result.ok()) {
        ReportFileError(file, result.reason);
        return false;
    }
    return true;
}

int RunDump(const std::string& file) {
    capture::PacketList packets;
    capture::EndpointTable table;
    if (!LoadOrReport(file, packets, table)) {
        return kExitFileError;
    }
    if (!cli::DumpAll(packets, stdout)) {
        ReportFileError("<stdout>", "write failed");
        return kExitFileError;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"vintrace-cli: decode and examine Vintrace capture files (.dat)"};
    app.require_subcommand(1);
    int exitCode = 0;

    std::string dumpFile;
    CLI::App* dump = app.add_subcommand(
        "dump", "Print one line per packet: index, kind, length, address, endpoint, bytes "
                "(TAB-separated; address and endpoint are '-' for packets that are not "
                "tokens; bytes are the stored bytes in upper-case hex)");
    dump->add_option("FILE", dumpFile, "Capture file")->required();
    dump->callback([&] { exitCode = RunDump(dumpFile); });

#ifdef VINTRACE_HAVE_RENDER
    cli::RenderOptions render;
    CLI::App* renderCmd = app.add_subcommand(
        "render", "Draw packet lines exactly as the packet list shows them, into a PNG image");
    renderCmd->add_option("FILE", render.file, "Capture file")->required();
    renderCmd->add_option("-o,--output", render.output, "PNG file to write")->required();
    renderCmd->add_option("--wrap", render.wrap, "Wrap mode: none, 16 or 32")
        ->check(CLI::IsMember({"none", "16", "32"}))
        ->capture_default_str();
    renderCmd->add_option("--first", render.first, "First line to draw")->capture_default_str();
    renderCmd->add_option("--count", render.count, "Number of lines")->capture_default_str();
    renderCmd->add_option("--width", render.width, "Image width in pixels")
        ->check(CLI::Range(16, 16384))
        ->capture_default_str();
    renderCmd->callback([&] { exitCode = cli::RunRender(render); });
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return exitCode;
}
