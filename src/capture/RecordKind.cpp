#include "capture/RecordKind.h"

#include <array>

namespace vintrace::capture {

namespace {
constexpr std::array<std::string_view, kRecordKindCount> kNames = {
    "SETUP", "OUT", "IN", "ACK", "NAK", "STALL", "DATA0", "DATA1", "SOF", "UNKNOWN", "HIDDEN"};
constexpr std::array<std::uint8_t, 9> kPids = {0x2D, 0xE1, 0x69, 0xD2, 0x5A,
                                               0x1E, 0xC3, 0x4B, 0xA5};
} // namespace

std::string_view KindName(RecordKind k) {
    const auto i = static_cast<std::size_t>(k);
    return i < kNames.size() ? kNames[i] : std::string_view("?");
}

RecordKind KindOfPid(std::uint8_t pid) {
    for (std::size_t i = 0; i < kPids.size(); ++i) {
        if (kPids[i] == pid) {
            return static_cast<RecordKind>(i);
        }
    }
    return RecordKind::Unknown;
}

std::uint8_t PidOfKind(RecordKind k) {
    const auto i = static_cast<std::size_t>(k);
    return i < kPids.size() ? kPids[i] : 0;
}

} // namespace vintrace::capture
