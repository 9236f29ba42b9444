#pragma once

#include <cstdint>
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

} // namespace vintrace::test
