#pragma once

#include "capture/CaptureCheck.h"
#include "capture/PacketList.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vintrace::capture {

/// Traffic of one device endpoint. Handshakes and data packets count for the endpoint of the
/// token that opened their transaction.
struct EndpointStats {
    std::uint8_t address = 0;
    std::uint8_t endpoint = 0;
    std::uint64_t setup = 0;
    std::uint64_t out = 0;
    std::uint64_t in = 0;
    std::uint64_t data = 0;
    std::uint64_t ack = 0;
    std::uint64_t nak = 0;
    std::uint64_t stall = 0;

    /// Transactions (tokens) on the endpoint.
    std::uint64_t transactions() const { return setup + out + in; }
    /// Share of transactions answered by NAK, 0 without transactions.
    double nakRatio() const;

    friend bool operator==(const EndpointStats&, const EndpointStats&) = default;
};

/// Counts over a whole capture.
struct CaptureStats {
    std::uint64_t packets = 0;
    std::array<std::uint64_t, 10> perKind{}; // indexed by RecordKind code, SETUP to UNKNOWN
    std::vector<EndpointStats> endpoints;    // by address, then endpoint
    std::uint64_t crc5Errors = 0;
    std::uint64_t crc16Errors = 0;
    std::uint64_t sofs = 0;                  // SOFs with a whole frame number
    std::optional<std::uint16_t> firstFrame; // frame numbers of the first and last such SOF
    std::optional<std::uint16_t> lastFrame;
    /// Frames from the first SOF to the last, counting across the wrap at 2048.
    std::uint64_t framesCovered = 0;
    /// Bit times the packets take on the bus: sync (8), PID and bytes (8 each), end of packet
    /// (3). Bit stuffing and the gaps between packets are left out, so this is a lower bound.
    std::uint64_t busBits = 0;
};

/// Counts `packets`, with `findings` from CheckCapture for the CRC errors.
CaptureStats ComputeStats(const PacketList& packets, const std::vector<Findings>& findings);

/// Share of the bus time in the covered frames that the packets take, for a bus of
/// `bitsPerFrame` bit times per 1 ms frame (12000 at full speed); nothing without frames.
std::optional<double> BusUtilisation(const CaptureStats& stats, std::uint32_t bitsPerFrame);

} // namespace vintrace::capture
