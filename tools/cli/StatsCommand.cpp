#include "StatsCommand.h"

#include "OutputFile.h"
#include "capture/CaptureStats.h"
#include "session/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace vintrace::cli {

namespace {

using capture::CaptureStats;

constexpr std::uint32_t kFullSpeedBitsPerFrame = 12'000; // 12 Mb/s for 1 ms
constexpr std::uint32_t kLowSpeedBitsPerFrame = 1'500;   // 1.5 Mb/s for 1 ms

std::string Number(std::uint64_t v) {
    return std::to_string(v);
}

std::string Fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string Text(const CaptureStats& s, const std::string& speed,
                 std::optional<double> utilisation) {
    std::string out = "packets\t" + Number(s.packets) + "\n\nkind\tpackets\n";
    for (std::size_t k = 0; k < s.perKind.size(); ++k) {
        out += std::string(capture::KindName(static_cast<capture::RecordKind>(k))) + "\t" +
               Number(s.perKind[k]) + "\n";
    }
    out += "\naddress\tendpoint\tSETUP\tOUT\tIN\tDATA\tACK\tNAK\tSTALL\tNAK ratio\n";
    for (const capture::EndpointStats& e : s.endpoints) {
        out += Number(e.address) + "\t" + Number(e.endpoint) + "\t" + Number(e.setup) + "\t" +
               Number(e.out) + "\t" + Number(e.in) + "\t" + Number(e.data) + "\t" + Number(e.ack) +
               "\t" + Number(e.nak) + "\t" + Number(e.stall) + "\t" + Fixed(e.nakRatio(), 3) + "\n";
    }
    out += "\nCRC5 errors\t" + Number(s.crc5Errors) + "\nCRC16 errors\t" + Number(s.crc16Errors) +
           "\n";
    out += "\nSOFs\t" + Number(s.sofs) + "\n";
    if (s.firstFrame) {
        out += "frames\t" + Number(*s.firstFrame) + " to " + Number(*s.lastFrame) + "\n";
    }
    out += "frames covered\t" + Number(s.framesCovered) + "\n";
    out += "bus bits\t" + Number(s.busBits) + "\n";
    out += "bus utilisation\t" +
           (utilisation ? Fixed(*utilisation * 100, 2) + "% of " + speed + " speed"
                        : std::string("unknown (no SOFs)")) +
           "\n";
    return out;
}

std::string Json(const CaptureStats& s, const std::string& speed,
                 std::optional<double> utilisation) {
    std::string out = "{\n  \"packets\": " + Number(s.packets) + ",\n  \"kinds\": {";
    for (std::size_t k = 0; k < s.perKind.size(); ++k) {
        out += std::string(k ? ", " : "") + "\"" +
               std::string(capture::KindName(static_cast<capture::RecordKind>(k))) +
               "\": " + Number(s.perKind[k]);
    }
    out += "},\n  \"endpoints\": [";
    for (std::size_t i = 0; i < s.endpoints.size(); ++i) {
        const capture::EndpointStats& e = s.endpoints[i];
        out += std::string(i ? "," : "") + "\n    {\"address\": " + Number(e.address) +
               ", \"endpoint\": " + Number(e.endpoint) + ", \"setup\": " + Number(e.setup) +
               ", \"out\": " + Number(e.out) + ", \"in\": " + Number(e.in) +
               ", \"data\": " + Number(e.data) + ", \"ack\": " + Number(e.ack) +
               ", \"nak\": " + Number(e.nak) + ", \"stall\": " + Number(e.stall) +
               ", \"nak_ratio\": " + Fixed(e.nakRatio(), 6) + "}";
    }
    out += s.endpoints.empty() ? "],\n" : "\n  ],\n";
    out += "  \"crc_errors\": {\"crc5\": " + Number(s.crc5Errors) +
           ", \"crc16\": " + Number(s.crc16Errors) + "},\n";
    out += "  \"frames\": {\"sofs\": " + Number(s.sofs) +
           ", \"first\": " + (s.firstFrame ? Number(*s.firstFrame) : "null") +
           ", \"last\": " + (s.lastFrame ? Number(*s.lastFrame) : "null") +
           ", \"covered\": " + Number(s.framesCovered) + "},\n";
    out += "  \"bus\": {\"speed\": \"" + speed + "\", \"bits\": " + Number(s.busBits) +
           ", \"utilisation\": " + (utilisation ? Fixed(*utilisation, 6) : "null") + "}\n}\n";
    return out;
}

} // namespace

int RunStats(const StatsOptions& o) {
    session::CaptureSession session;
    const capture::LoadResult loaded = session.open(o.file);
    if (!loaded.ok()) {
        std::fprintf(stderr, "vintrace-cli: %s: %s\n", o.file.c_str(), loaded.reason.c_str());
        return 2;
    }
    const capture::PacketList& packets = session.packets();
    const CaptureStats stats = capture::ComputeStats(packets, capture::CheckCapture(packets));
    const auto utilisation = capture::BusUtilisation(
        stats, o.speed == "low" ? kLowSpeedBitsPerFrame : kFullSpeedBitsPerFrame);
    const std::string out =
        o.json ? Json(stats, o.speed, utilisation) : Text(stats, o.speed, utilisation);
    errno = 0;
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout)) {
        return ReportStdoutFailure(errno);
    }
    return 0;
}

} // namespace vintrace::cli
