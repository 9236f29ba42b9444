#include "display/PacketLinePlan.h"

#include <cstdio>

namespace vintrace::display {

using capture::RecordKind;

namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

/// Builds the steps with a current fill colour, text colour and font size, as a canvas does.
class Planner {
public:
    std::vector<DrawOp> ops;
    Rgb fill = kWhite;
    Rgb text = kBlack;
    int pointSize = 8;

    void frame(int x1, int y1, int x2, int y2) { add(DrawOp::Type::Frame, x1, y1, x2, y2); }
    void fillArea(int x1, int y1, int x2, int y2) { add(DrawOp::Type::Fill, x1, y1, x2, y2); }
    void textAt(int x, int y, std::string s, bool toolkitColour = false) {
        DrawOp& op = add(DrawOp::Type::Text, x, y, x, y);
        op.text = std::move(s);
        op.toolkitTextColour = toolkitColour;
    }

private:
    DrawOp& add(DrawOp::Type type, int x1, int y1, int x2, int y2) {
        DrawOp& op = ops.emplace_back();
        op.type = type;
        op.x1 = x1;
        op.y1 = y1;
        op.x2 = x2;
        op.y2 = y2;
        op.fill = fill;
        op.textColour = text;
        op.pointSize = pointSize;
        return op;
    }
};

std::string Label(RecordKind kind) {
    return std::string(KindLabel(kind));
}

void AppendByte(std::string& row, const capture::CaptureRecord& r, std::size_t i) {
    if (i >= r.bytes.size()) {
        row += kMissingByte;
        return;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", r.bytes[i]);
    row += hex;
}

std::string AddressDetail(const capture::CaptureRecord& r) {
    char s[64];
    std::snprintf(s, sizeof s, "Address  %d      Endpoint  %d", r.address, r.endpoint);
    return s;
}

void PlanToken(Planner& p, const capture::CaptureRecord& r, const LineRect& q) {
    p.fill = kWhite;
    p.frame(q.left + 2, q.top + 2, q.left + 240, q.bottom - 2);
    p.fill = KindColour(r.kind);
    p.text = KindLabelColour(r.kind);
    if (r.kind == RecordKind::Setup) {
        p.fillArea(q.left + 3, q.top + 3, q.left + 60, q.bottom - 3);
        p.frame(q.left + 2, q.top + 2, q.left + 61, q.bottom - 2);
    } else {
        p.fillArea(q.left + 3, q.top + 3, q.left + 59, q.bottom - 3);
    }
    p.textAt(q.left + 5, q.top + 5, Label(r.kind));
    p.fill = kWhite;
    p.text = kBlack;
    p.textAt(q.left + 70, q.top + 5, AddressDetail(r));
}

void PlanSof(Planner& p, const capture::CaptureRecord& r, const LineRect& q) {
    p.fill = kWhite;
    p.frame(q.left + 2, q.top + 2, q.left + 240, q.bottom - 2);
    p.fill = KindColour(r.kind);
    p.text = KindLabelColour(r.kind);
    p.fillArea(q.left + 3, q.top + 3, q.left + 60, q.bottom - 3);
    p.textAt(q.left + 5, q.top + 5, Label(r.kind));
    p.fill = kWhite;
    p.text = kBlack;
    if (r.length < 2) {
        p.textAt(q.left + 70, q.top + 5, "Error in SOF Frame number");
        return;
    }
    // A wrapped length can count 2 or more with fewer bytes stored; those read as 0.
    char s[64];
    std::snprintf(s, sizeof s, "Frame  %1X%02X     CRC %02X", r.byteAt(1) & 7, r.byteAt(0),
                  r.byteAt(1) >> 3);
    p.textAt(q.left + 70, q.top + 5, s);
}

void PlanHandshake(Planner& p, const capture::CaptureRecord& r, const LineRect& q) {
    p.fill = kWhite;
    p.frame(q.left + 2, q.top + 2, q.left + 60, q.bottom - 2);
    if (r.kind != RecordKind::Stall) {
        p.fill = KindColour(r.kind);
        p.fillArea(q.left + 3, q.top + 3, q.left + 59, q.bottom - 3);
    }
    p.text = KindLabelColour(r.kind);
    p.textAt(q.left + 5, q.top + 5, Label(r.kind));
}

void PlanUnknown(Planner& p, const capture::CaptureRecord& r, const LineRect& q) {
    const int xe = r.length <= 66 ? q.left + 80 + kByteSlot * r.length : q.left + 1552;
    p.fill = kWhite;
    p.frame(q.left + 2, q.top + 2, xe, q.bottom - 2);
    p.text = KindLabelColour(r.kind);
    p.textAt(q.left + 5, q.top + 5, Label(r.kind));
    std::string detail;
    if (r.length == 0) {
        detail = "=ERR=";
    } else {
        const std::size_t shown = r.length <= 66 ? r.length : 64;
        for (std::size_t i = 0; i < shown; ++i) {
            AppendByte(detail, r, i);
        }
    }
    p.textAt(q.left + 70, q.top + 5, detail);
}

void PlanData(Planner& p, const capture::CaptureRecord& r, WrapMode mode, const LineRect& q) {
    const int length = r.length;
    int w = length > 70 ? 1537 : kByteSlot * length + 19;
    if (mode == WrapMode::Wrap16 && w > 368) {
        w = 368;
    } else if (mode == WrapMode::Wrap32 && w > 736) {
        w = 736;
    }
    int right = q.right;
    if (q.right - q.left > w) {
        right = length > 2 ? q.left + w : q.left + 165;
    }
    p.fill = kWhite;
    p.frame(q.left + 65, q.top + 2, right, q.bottom);
    p.fill = KindColour(r.kind);
    p.frame(q.left + 2, q.top + 2, q.left + 61, q.top + 23);
    p.text = KindLabelColour(r.kind);
    p.textAt(q.left + 5, q.top + 5, Label(r.kind));
    p.fill = kWhite;
    p.text = kBlack;
    p.pointSize = 11;
    if (length <= 2) {
        p.textAt(q.left + 70, q.top + 5, "Zero Paket");
        return;
    }
    const bool longPacket = length >= 70;
    const int shown = longPacket ? 64 : length - 2;
    const int wrap = WrapWidth(mode);
    int y = q.top + 5;
    std::string row;
    int count = 0;
    for (int i = 0; i < shown; ++i) {
        AppendByte(row, r, static_cast<std::size_t>(i));
        ++count;
        if (wrap != 0 && count % wrap == 0 && i != length - 3) {
            p.textAt(q.left + 70, y, row);
            y += kRowPitch;
            row.clear();
            count = 0;
        }
    }
    if (longPacket) {
        row += "ERR";
    }
    p.textAt(q.left + 70, y, row);
}

} // namespace

int WrapWidth(WrapMode mode) {
    switch (mode) {
    case WrapMode::Wrap16:
        return 16;
    case WrapMode::Wrap32:
        return 32;
    case WrapMode::NoWrap:
        break;
    }
    return 0;
}

int LineHeight(const capture::CaptureRecord& record, WrapMode mode) {
    const int wrap = WrapWidth(mode);
    if (!capture::IsData(record.kind) || wrap == 0 || record.length <= 2) {
        return 25;
    }
    const int payload = record.length - 2;
    return 7 + kRowPitch * ((payload + wrap - 1) / wrap);
}

std::vector<DrawOp> PlanPacketLine(const capture::CaptureRecord& record, WrapMode mode,
                                   LineRect rect) {
    Planner p;
    p.fillArea(rect.left, rect.top, rect.right, rect.bottom);
    switch (record.kind) {
    case RecordKind::Setup:
    case RecordKind::Out:
    case RecordKind::In:
        PlanToken(p, record, rect);
        break;
    case RecordKind::Sof:
        PlanSof(p, record, rect);
        break;
    case RecordKind::Ack:
    case RecordKind::Nak:
    case RecordKind::Stall:
        PlanHandshake(p, record, rect);
        break;
    case RecordKind::Unknown:
        PlanUnknown(p, record, rect);
        break;
    case RecordKind::Data0:
    case RecordKind::Data1:
        PlanData(p, record, mode, rect);
        break;
    default:
        p.frame(rect.left + 2, rect.top + 2, rect.left + 80, rect.bottom - 2);
        p.textAt(rect.left + 5, rect.top + 5, "UnDeciphered PID", true);
        break;
    }
    return std::move(p.ops);
}

} // namespace vintrace::display
