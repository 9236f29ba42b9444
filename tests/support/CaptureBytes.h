#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vintrace::test {

/// Bytes from a hex string; spaces are ignored ("01 2D 00 05" -> {0x01, 0x2D, 0x00, 0x05}).
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

/// The inverse of Hex: upper-case pairs, no spaces ({0x01, 0x2D} -> "012D").
inline std::string HexOf(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char text[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(text, sizeof text, "%02X", b);
        out += text;
    }
    return out;
}

/// A capture-file packet: the start unit "01 pid" and one "00 b" unit per byte.
inline std::vector<std::uint8_t> Packet(std::uint8_t pid, std::vector<std::uint8_t> bytes = {}) {
    std::vector<std::uint8_t> out{0x01, pid};
    for (std::uint8_t b : bytes) {
        out.push_back(0x00);
        out.push_back(b);
    }
    return out;
}

inline void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

/// A classic little-endian pcap of link type 294 (full-speed USB packets), one record each.
inline std::vector<std::uint8_t>
FullSpeedPcap(const std::vector<std::vector<std::uint8_t>>& records) {
    std::vector<std::uint8_t> b;
    const auto put32 = [&b](std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) {
            b.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    for (const std::uint32_t v : {0xA1B2C3D4u, 2u | 4u << 16, 0u, 0u, 65535u, 294u}) {
        put32(v);
    }
    for (const auto& r : records) {
        const auto size = static_cast<std::uint32_t>(r.size());
        for (const std::uint32_t v : {0u, 0u, size, size}) {
            put32(v);
        }
        Append(b, r);
    }
    return b;
}

} // namespace vintrace::test
