#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace vintrace::protocol {

/// The little-endian value of `size` (at most 4) bytes of `d` from `at`, as USB lays out every
/// multi-byte field (USB 2.0 8.1); the caller has checked that they are there.
inline std::uint32_t Le(std::span<const std::uint8_t> d, std::size_t at, std::size_t size) {
    std::uint32_t v = 0;
    for (std::size_t i = size; i-- > 0;) {
        v = v << 8 | d[at + i];
    }
    return v;
}

/// The 32-bit little-endian field at `at`; the caller has checked that its four bytes are there.
inline std::uint32_t Le32(std::span<const std::uint8_t> d, std::size_t at) {
    return Le(d, at, 4);
}

/// `value` through a printf format of one unsigned conversion ("%u Hz", "0x%04X").
inline std::string Format(const char* format, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace vintrace::protocol
