#include "display/PacketToolTipText.h"

#include "capture/HexText.h"
#include "capture/SetupRequest.h"
#include "protocol/TransferSummary.h"

#include <array>
#include <string_view>

namespace vintrace::display {

namespace {

using capture::RecordKind;

std::string WhatItIs(const capture::PacketList& packets, std::size_t i) {
    const capture::CaptureRecord r = packets[i];
    std::string text(capture::KindName(r.kind));
    if (capture::IsToken(r.kind)) {
        text += " token, address " + std::to_string(r.address) + ", endpoint " +
                std::to_string(r.endpoint);
    } else if (r.kind == RecordKind::Sof && r.bytes.size() == 2) {
        text += ", frame " + std::to_string(r.bytes[0] | ((r.bytes[1] & 0x07) << 8));
    } else if (capture::IsData(r.kind) && r.length >= 2) {
        const unsigned payload = r.length - 2u;
        text +=
            ", " + std::to_string(payload) + (payload == 1 ? " payload byte" : " payload bytes");
    } else if (capture::IsHandshake(r.kind)) {
        text += " handshake";
    } else if (r.kind == RecordKind::Unknown) {
        const std::uint8_t pid = r.byteAt(0);
        text =
            pid == 0x3C ? "PRE, low-speed preamble" : "Unknown identifier " + capture::HexText(pid);
    }
    return text;
}

} // namespace

std::string PacketToolTipText(const capture::PacketList& packets, std::size_t i,
                              capture::Findings findings,
                              const std::optional<std::string>& meaning) {
    std::string text = WhatItIs(packets, i);
    if (const auto request = capture::SetupRequestAt(packets, i)) {
        text += '\n';
        text += capture::DescribeSetupRequest(*request);
    }
    if (meaning && !meaning->empty()) {
        text += '\n';
        text += protocol::JoinLines(*meaning);
    }
    static constexpr std::array<std::string_view, 6> kProblems = {
        "CRC5 does not match",
        "CRC16 does not match",
        "PID check bits are not the complement of the PID",
        "unexpected length for its kind",
        "data toggle out of turn for its endpoint",
        "handshake without a transaction",
    };
    if (findings == 0) {
        text += "\nChecks: ok";
    }
    for (std::size_t bit = 0; bit < kProblems.size(); ++bit) {
        if ((findings & (1u << bit)) != 0) {
            text += "\nProblem: ";
            text += kProblems[bit];
        }
    }
    return text;
}

} // namespace vintrace::display
