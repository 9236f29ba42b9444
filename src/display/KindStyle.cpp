#include "display/KindStyle.h"

#include <array>

namespace vintrace::display {

namespace {
struct Style {
    Rgb fill;
    std::string_view label;
    Rgb text;
};

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kGrey{128, 128, 128};
constexpr Rgb kRed{255, 0, 0};

constexpr std::array<Style, 10> kStyles = {{
    {{240, 103, 162}, "  SETUP", kBlack},
    {{255, 249, 178}, "  OUT", kBlack},
    {{251, 201, 197}, "  IN", kGrey},
    {{255, 255, 0}, "  ACK", kBlack},
    {kGrey, "  NAK", kWhite},
    {kWhite, "STALL", kRed},
    {{126, 203, 178}, " DATA0", kBlack},
    {{245, 128, 32}, " DATA1", {128, 0, 128}},
    {{186, 229, 242}, "  SOF", kGrey},
    {kWhite, "UNKNOWN", kRed},
}};
constexpr Style kOther{kWhite, "UnDeciphered PID", kBlack};

const Style& StyleOf(capture::RecordKind kind) {
    const auto i = static_cast<std::size_t>(kind);
    return i < kStyles.size() ? kStyles[i] : kOther;
}
} // namespace

Rgb KindColour(capture::RecordKind kind) {
    return StyleOf(kind).fill;
}
std::string_view KindLabel(capture::RecordKind kind) {
    return StyleOf(kind).label;
}
Rgb KindLabelColour(capture::RecordKind kind) {
    return StyleOf(kind).text;
}

} // namespace vintrace::display
