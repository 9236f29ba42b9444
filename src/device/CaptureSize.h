#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vintrace::device {

/// The progress bar maximum during a download, at start.
inline constexpr std::int32_t kDefaultCaptureSize = 131071;

/// The capture size for an entered N: 2 x N in 32-bit two's complement arithmetic (it wraps
/// as the analyzer software always did, without undefined behaviour), or nothing when that is
/// not positive.
std::optional<std::int32_t> CaptureSizeFor(std::int32_t n);

/// Parses the edit text as a 32-bit integer (optional sign, decimal digits, nothing else).
std::optional<std::int32_t> ParseInt32(std::string_view text);

} // namespace vintrace::device
