#include "capture/CaptureStats.h"

#include <map>
#include <utility>

namespace vintrace::capture {

namespace {
constexpr std::uint64_t kSyncBits = 8;
constexpr std::uint64_t kEndOfPacketBits = 3;
} // namespace

double EndpointStats::nakRatio() const {
    const std::uint64_t n = transactions();
    return n == 0 ? 0.0 : static_cast<double>(nak) / static_cast<double>(n);
}

CaptureStats ComputeStats(const PacketList& packets, const std::vector<Findings>& findings) {
    CaptureStats s;
    s.packets = packets.size();
    std::map<std::pair<std::uint8_t, std::uint8_t>, EndpointStats> endpoints;
    EndpointStats* current = nullptr; // the endpoint of the open transaction
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const CaptureRecord r = packets[i];
        const auto code = static_cast<std::size_t>(r.kind);
        if (code < s.perKind.size()) {
            ++s.perKind[code];
        }
        if (i < findings.size()) {
            s.crc5Errors += (findings[i] & kFindingCrc5) != 0;
            s.crc16Errors += (findings[i] & kFindingCrc16) != 0;
        }
        // The PID byte is counted in `length` only for UNKNOWN records.
        const std::uint64_t wireBytes = r.length + (r.kind == RecordKind::Unknown ? 0u : 1u);
        s.busBits += kSyncBits + 8 * wireBytes + kEndOfPacketBits;
        switch (r.kind) {
        case RecordKind::Setup:
        case RecordKind::Out:
        case RecordKind::In: {
            EndpointStats& e = endpoints[{r.address, r.endpoint}];
            e.address = r.address;
            e.endpoint = r.endpoint;
            ++(r.kind == RecordKind::Setup ? e.setup : r.kind == RecordKind::Out ? e.out : e.in);
            current = &e;
            break;
        }
        case RecordKind::Data0:
        case RecordKind::Data1:
            if (current != nullptr) {
                ++current->data;
            }
            break;
        case RecordKind::Ack:
        case RecordKind::Nak:
        case RecordKind::Stall:
            if (current != nullptr) {
                ++(r.kind == RecordKind::Ack   ? current->ack
                   : r.kind == RecordKind::Nak ? current->nak
                                               : current->stall);
            }
            current = nullptr; // a handshake closes the transaction
            break;
        case RecordKind::Sof:
            current = nullptr;
            if (r.bytes.size() == 2) {
                const auto frame =
                    static_cast<std::uint16_t>(r.bytes[0] | ((r.bytes[1] & 0x07) << 8));
                s.framesCovered += s.lastFrame ? ((frame - *s.lastFrame) & 0x7FF) : 1;
                if (!s.firstFrame) {
                    s.firstFrame = frame;
                }
                s.lastFrame = frame;
                ++s.sofs;
            }
            break;
        default:
            break;
        }
    }
    s.endpoints.reserve(endpoints.size());
    for (const auto& [key, e] : endpoints) {
        s.endpoints.push_back(e);
    }
    return s;
}

std::optional<double> BusUtilisation(const CaptureStats& stats, std::uint32_t bitsPerFrame) {
    if (stats.framesCovered == 0 || bitsPerFrame == 0) {
        return std::nullopt;
    }
    return static_cast<double>(stats.busBits) /
           (static_cast<double>(stats.framesCovered) * bitsPerFrame);
}

} // namespace vintrace::capture
