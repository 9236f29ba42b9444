#pragma once

#include "capture/CaptureRecord.h"
#include "display/KindStyle.h"

#include <string>
#include <vector>

namespace vintrace::display {

/// How the packet list lays out the payload of data packets.
enum class WrapMode { NoWrap, Wrap16, Wrap32 };

/// Bytes per row under `mode`, 0 for NoWrap.
int WrapWidth(WrapMode mode);

/// Height in pixels of a packet list line: 25, or for data packets in a wrap mode
/// 7 + 18 per row of payload.
int LineHeight(const capture::CaptureRecord& record, WrapMode mode);

/// A line's rectangle; right and bottom lie just outside it.
struct LineRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

/// One drawing step of a packet line.
struct DrawOp {
    enum class Type {
        Frame, // outline (x1, y1)-(x2, y2) with the black pen, inside filled with `fill`
        Fill,  // (x1, y1)-(x2, y2) filled with `fill`, no outline
        Text,  // `text` with its top-left at (x1, y1), cells painted opaque with `fill`
    };
    Type type = Type::Fill;
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    Rgb fill{255, 255, 255};
    Rgb textColour{0, 0, 0};
    bool toolkitTextColour = false; // text takes the list's own (selection-aware) colour
    int pointSize = 8;              // 8 or 11
    std::string text;

    friend bool operator==(const DrawOp&, const DrawOp&) = default;
};

/// Row pitch of wrapped payload rows, and the width of one byte's slot.
inline constexpr int kRowPitch = 18;
inline constexpr int kByteSlot = 23;

/// What a payload byte that was counted but not stored shows: it was never received intact
/// into the record, so no value is made up for it.
inline constexpr const char* kMissingByte = "?? ";

/// The steps that paint `record` into `rect` under `mode`, in order. Pure; the list, tests
/// and the image export all paint from it.
std::vector<DrawOp> PlanPacketLine(const capture::CaptureRecord& record, WrapMode mode,
                                   LineRect rect);

} // namespace vintrace::display
