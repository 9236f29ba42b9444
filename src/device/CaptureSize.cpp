#include "device/CaptureSize.h"

#include <charconv>

namespace vintrace::device {

std::optional<std::int32_t> CaptureSizeFor(std::int32_t n) {
    const auto doubled = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) << 1);
    if (doubled > 0) {
        return doubled;
    }
    return std::nullopt;
}

std::optional<std::int32_t> ParseInt32(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace vintrace::device
