#include "display/PacketLinePlan.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace vintrace::display {
namespace {

using capture::CaptureRecord;
using capture::RecordKind;
using Type = DrawOp::Type;

constexpr LineRect kLine{10, 100, 2010, 125}; // L=10, T=100, wide enough for any frame

/// A record with `length` counted bytes, storing the first min(length, capacity) of them.
struct Rec {
    std::vector<std::uint8_t> bytes;
    CaptureRecord record;
    Rec(RecordKind kind, int length, std::vector<std::uint8_t> stored = {}) {
        if (stored.empty()) {
            stored.resize(std::min<int>(length, capture::CapacityOf(kind)));
            std::iota(stored.begin(), stored.end(), 0);
        }
        bytes = std::move(stored);
        record.kind = kind;
        record.length = static_cast<std::uint8_t>(length);
        record.bytes = bytes;
    }
};

std::vector<DrawOp> OfType(const std::vector<DrawOp>& plan, Type type) {
    std::vector<DrawOp> out;
    for (const DrawOp& op : plan) {
        if (op.type == type) {
            out.push_back(op);
        }
    }
    return out;
}

TEST(LineHeight, FollowsKindLengthAndWrapMode) {
    const struct {
        RecordKind kind;
        int length;
        int noWrap, wrap16, wrap32;
    } cases[] = {
        {RecordKind::Data0, 18, 25, 25, 25}, // 16 payload bytes: one row everywhere
        {RecordKind::Data0, 19, 25, 43, 25}, // 17 bytes: a second row at 16
        {RecordKind::Data1, 66, 25, 79, 43}, // 64 bytes
        {RecordKind::Data1, 70, 25, 97, 61}, // long packet: height from its full length
        {RecordKind::Data1, 255, 25, 295, 151}, {RecordKind::Data0, 2, 25, 25, 25}, // "Zero Paket"
        {RecordKind::Data0, 0, 25, 25, 25},     {RecordKind::Setup, 2, 25, 25, 25},
        {RecordKind::Sof, 2, 25, 25, 25},       {RecordKind::Nak, 0, 25, 25, 25},
        {RecordKind::Unknown, 66, 25, 25, 25},
    };
    for (const auto& c : cases) {
        const Rec r(c.kind, c.length);
        SCOPED_TRACE(capture::ToString(r.record));
        EXPECT_EQ(LineHeight(r.record, WrapMode::NoWrap), c.noWrap);
        EXPECT_EQ(LineHeight(r.record, WrapMode::Wrap16), c.wrap16);
        EXPECT_EQ(LineHeight(r.record, WrapMode::Wrap32), c.wrap32);
    }
}

TEST(PacketLinePlan, EveryLineStartsWhite) {
    const Rec r(RecordKind::Ack, 0);
    const auto plan = PlanPacketLine(r.record, WrapMode::NoWrap, kLine);
    ASSERT_FALSE(plan.empty());
    EXPECT_EQ(plan[0].type, Type::Fill);
    EXPECT_EQ(plan[0].fill, (Rgb{255, 255, 255}));
    EXPECT_EQ(plan[0].x1, 10);
    EXPECT_EQ(plan[0].x2, 2010);
}

TEST(PacketLinePlan, SetupShowsPinkBoxAndAddress) {
    const Rec r(RecordKind::Setup, 2, {0x85, 0x00});
    CaptureRecord rec = r.record;
    rec.address = 5;
    rec.endpoint = 1;
    const auto plan = PlanPacketLine(rec, WrapMode::NoWrap, kLine);
    const auto frames = OfType(plan, Type::Frame);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].x2, 10 + 240);
    EXPECT_EQ(frames[0].fill, (Rgb{255, 255, 255}));
    EXPECT_EQ(frames[1].x2, 10 + 61);
    EXPECT_EQ(frames[1].fill, (Rgb{240, 103, 162}));
    const auto texts = OfType(plan, Type::Text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "  SETUP");
    EXPECT_EQ(texts[0].fill, (Rgb{240, 103, 162}));
    EXPECT_EQ(texts[1].text, "Address  5      Endpoint  1");
    EXPECT_EQ(texts[1].x1, 10 + 70);
    EXPECT_EQ(texts[1].y1, 100 + 5);
}

TEST(PacketLinePlan, SofShowsFrameNumberAndCrcOrAnError) {
    const Rec good(RecordKind::Sof, 2, {0x34, 0x2D});
    auto texts = OfType(PlanPacketLine(good.record, WrapMode::NoWrap, kLine), Type::Text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].text, "Frame  534     CRC 05");

    const Rec cut(RecordKind::Sof, 1, {0x34});
    texts = OfType(PlanPacketLine(cut.record, WrapMode::NoWrap, kLine), Type::Text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].text, "Error in SOF Frame number");
}

TEST(PacketLinePlan, HandshakesHaveNoDetail) {
    for (RecordKind kind : {RecordKind::Ack, RecordKind::Nak, RecordKind::Stall}) {
        const Rec r(kind, 0);
        const auto plan = PlanPacketLine(r.record, WrapMode::NoWrap, kLine);
        const auto texts = OfType(plan, Type::Text);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].text, KindLabel(kind));
        EXPECT_EQ(texts[0].textColour, KindLabelColour(kind));
        EXPECT_EQ(OfType(plan, Type::Frame).front().x2, 10 + 60);
    }
}

TEST(PacketLinePlan, UnknownShowsItsBytesInRed) {
    const Rec r(RecordKind::Unknown, 3, {0x3C, 0xAA, 0x01});
    const auto plan = PlanPacketLine(r.record, WrapMode::NoWrap, kLine);
    EXPECT_EQ(OfType(plan, Type::Frame).front().x2, 10 + 149);
    const auto texts = OfType(plan, Type::Text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, "UNKNOWN");
    EXPECT_EQ(texts[1].text, "3C AA 01 ");
    EXPECT_EQ(texts[1].textColour, (Rgb{255, 0, 0}));

    const Rec empty(RecordKind::Unknown, 0, {0x3C});
    EXPECT_EQ(OfType(PlanPacketLine(empty.record, WrapMode::NoWrap, kLine), Type::Text)[1].text,
              "=ERR=");

    const Rec overlong(RecordKind::Unknown, 100);
    const auto longPlan = PlanPacketLine(overlong.record, WrapMode::NoWrap, kLine);
    EXPECT_EQ(OfType(longPlan, Type::Frame).front().x2, 10 + 1552);
    EXPECT_EQ(OfType(longPlan, Type::Text)[1].text.size(), 64u * 3);
}

TEST(PacketLinePlan, UndecipheredKindKeepsTheListTextColour) {
    const Rec r(static_cast<RecordKind>(10), 0);
    const auto plan = PlanPacketLine(r.record, WrapMode::NoWrap, kLine);
    const auto texts = OfType(plan, Type::Text);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, "UnDeciphered PID");
    EXPECT_TRUE(texts[0].toolkitTextColour);
    EXPECT_EQ(OfType(plan, Type::Frame).front().x2, 10 + 80);
}

/// The payload rows of a data line: (y offset from T, text).
std::vector<std::pair<int, std::string>> Rows(const CaptureRecord& r, WrapMode mode,
                                              LineRect line = kLine) {
    std::vector<std::pair<int, std::string>> rows;
    const auto texts = OfType(PlanPacketLine(r, mode, line), Type::Text);
    for (std::size_t i = 1; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].x1, line.left + 70);
        EXPECT_EQ(texts[i].pointSize, 11);
        rows.emplace_back(texts[i].y1 - line.top, texts[i].text);
    }
    return rows;
}

std::string HexRow(int from, int to) {
    std::string s;
    char b[4];
    for (int i = from; i < to; ++i) {
        std::snprintf(b, sizeof b, "%02X ", i);
        s += b;
    }
    return s;
}

TEST(PacketLinePlan, DataRowsWrapWithoutAnEmptyLastRow) {
    const Rec exact(RecordKind::Data0, 18);
    EXPECT_EQ(Rows(exact.record, WrapMode::Wrap16),
              (std::vector<std::pair<int, std::string>>{{5, HexRow(0, 16)}}));
    const Rec oneMore(RecordKind::Data0, 19);
    EXPECT_EQ(Rows(oneMore.record, WrapMode::Wrap16),
              (std::vector<std::pair<int, std::string>>{{5, HexRow(0, 16)}, {23, HexRow(16, 17)}}));
    EXPECT_EQ(Rows(oneMore.record, WrapMode::NoWrap),
              (std::vector<std::pair<int, std::string>>{{5, HexRow(0, 17)}}));
}

TEST(PacketLinePlan, LongDataPacketEndsInErr) {
    const Rec r(RecordKind::Data1, 70);
    const auto wrapped = Rows(r.record, WrapMode::Wrap16);
    ASSERT_EQ(wrapped.size(), 5u);
    EXPECT_EQ(wrapped[3], (std::pair<int, std::string>{59, HexRow(48, 64)}));
    EXPECT_EQ(wrapped[4], (std::pair<int, std::string>{77, "ERR"}));
    EXPECT_EQ(Rows(r.record, WrapMode::Wrap32).back(), (std::pair<int, std::string>{41, "ERR"}));
    const auto flat = Rows(r.record, WrapMode::NoWrap);
    ASSERT_EQ(flat.size(), 1u);
    EXPECT_EQ(flat[0].second, HexRow(0, 64) + "ERR");
}

TEST(PacketLinePlan, DataFrameRightEnds) {
    const struct {
        int length;
        WrapMode mode;
        int lineWidth;
        int right; // relative to L
    } cases[] = {
        {70, WrapMode::NoWrap, 2000, 1629}, // 23 x 70 + 19
        {71, WrapMode::NoWrap, 2000, 1537}, // longer: capped
        {70, WrapMode::Wrap16, 2000, 368},  {70, WrapMode::Wrap32, 2000, 736},
        {10, WrapMode::Wrap32, 2000, 249}, // narrower than the cap
        {2, WrapMode::NoWrap, 2000, 165},  // "Zero Paket"
        {70, WrapMode::NoWrap, 389, 389},  // the line is narrower: to its right edge
    };
    for (const auto& c : cases) {
        const Rec r(RecordKind::Data0, c.length);
        const LineRect line{10, 100, 10 + c.lineWidth, 125};
        const auto frames = OfType(PlanPacketLine(r.record, c.mode, line), Type::Frame);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].x1, 10 + 65);
        EXPECT_EQ(frames[0].x2, 10 + c.right) << "length " << c.length;
        EXPECT_EQ(frames[0].y2, 125);      // spans the full line height
        EXPECT_EQ(frames[1].y2, 100 + 23); // the kind box stays 21 pixels high
    }
}

TEST(PacketLinePlan, ZeroPaketInLargeFont) {
    const Rec r(RecordKind::Data1, 2);
    const auto texts = OfType(PlanPacketLine(r.record, WrapMode::Wrap16, kLine), Type::Text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, " DATA1");
    EXPECT_EQ(texts[0].textColour, (Rgb{128, 0, 128}));
    EXPECT_EQ(texts[0].fill, (Rgb{245, 128, 32}));
    EXPECT_EQ(texts[1].text, "Zero Paket");
    EXPECT_EQ(texts[1].pointSize, 11);
}

// Length 69 counts 67 payload bytes of which 66 were stored: the 67th is shown as missing,
// never read from beyond the record.
TEST(PacketLinePlan, UnstoredPayloadByteShowsAsMissing) {
    const Rec r(RecordKind::Data0, 69);
    ASSERT_EQ(r.record.bytes.size(), 66u);
    const auto rows = Rows(r.record, WrapMode::NoWrap);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].second, HexRow(0, 66) + kMissingByte);
}

} // namespace
} // namespace vintrace::display
