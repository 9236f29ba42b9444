#include "app/TMainForm.h"
#include "capture/PacketList.h"
#include "display/PacketLinePainter.h"
#include "support/CaptureBytes.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QAction>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace vintrace::display {
namespace {

using capture::PacketList;
using capture::RecordKind;
using test::Append;
using test::Packet;

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);

/// Paints record 0 of `list` into a white image the size of one line at (0, 0).
QImage PaintLine(const PacketList& list, WrapMode mode, int width) {
    const capture::CaptureRecord r = list[0];
    QImage image(width, LineHeight(r, mode), QImage::Format_RGB32);
    image.fill(Qt::magenta); // anything the line does not paint would show
    QPainter painter(&image);
    PaintPacketLine(painter, image.rect(), r, mode);
    return image;
}

PacketList One(RecordKind kind, std::uint8_t length, std::vector<std::uint8_t> bytes) {
    PacketList list;
    list.append(kind, length, bytes);
    return list;
}

QColor At(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

TEST(PacketLinePixels, SetupBoxOutlinesAndFrameEnd) {
    const QImage line = PaintLine(One(RecordKind::Setup, 2, {0x85, 0x00}), WrapMode::NoWrap, 400);
    EXPECT_EQ(At(line, 30, 20), QColor(240, 103, 162)); // inside the kind box, below the text
    EXPECT_EQ(At(line, 2, 12), kBlack);                 // kind box outline, left
    EXPECT_EQ(At(line, 60, 12), kBlack);                // kind box outline, right (L+61 outside)
    EXPECT_EQ(At(line, 239, 12), kBlack);               // line frame, right end L+240
    EXPECT_EQ(At(line, 240, 12), kWhite);
    EXPECT_EQ(At(line, 100, 2), kBlack);  // line frame, top at T+2
    EXPECT_EQ(At(line, 100, 22), kBlack); // bottom at B-2 (outside), so y = 22
    EXPECT_EQ(At(line, 0, 0), kWhite);
    EXPECT_EQ(At(line, 399, 24), kWhite);
}

TEST(PacketLinePixels, KindBoxColours) {
    const struct {
        RecordKind kind;
        std::uint8_t length;
        QColor fill;
    } cases[] = {
        {RecordKind::Out, 2, QColor(255, 249, 178)},
        {RecordKind::In, 2, QColor(251, 201, 197)},
        {RecordKind::Ack, 0, QColor(255, 255, 0)},
        {RecordKind::Nak, 0, QColor(128, 128, 128)},
        {RecordKind::Sof, 2, QColor(186, 229, 242)},
        {RecordKind::Data0, 10, QColor(126, 203, 178)},
        {RecordKind::Data1, 10, QColor(245, 128, 32)},
        {RecordKind::Stall, 0, kWhite},
    };
    for (const auto& c : cases) {
        const QImage line = PaintLine(One(c.kind, c.length, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                                      WrapMode::NoWrap, 400);
        EXPECT_EQ(At(line, 30, 20), c.fill) << capture::KindName(c.kind);
    }
}

TEST(PacketLinePixels, FrameRightEnds) {
    const struct {
        RecordKind kind;
        std::uint8_t length;
        WrapMode mode;
        int width;
        int lastBlack; // x of the right outline
    } cases[] = {
        {RecordKind::Data0, 70, WrapMode::NoWrap, 1700, 1628},
        {RecordKind::Data1, 2, WrapMode::NoWrap, 400, 164},
        {RecordKind::Data0, 70, WrapMode::Wrap16, 400, 367},
        {RecordKind::Unknown, 3, WrapMode::NoWrap, 400, 148},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes(c.length, 0x11);
        const QImage line = PaintLine(One(c.kind, c.length, bytes), c.mode, c.width);
        const int y = line.height() - 4;
        EXPECT_EQ(At(line, c.lastBlack, y), kBlack) << capture::KindName(c.kind);
        EXPECT_EQ(At(line, c.lastBlack + 1, y), kWhite) << capture::KindName(c.kind);
    }
}

/// The rows of text in a line: y of the first dark pixel row of each group of dark rows
/// between two x positions.
std::vector<int> TextRowTops(const QImage& image, int fromX, int toX) {
    std::vector<int> tops;
    bool inRow = false;
    for (int y = 3; y < image.height() - 2; ++y) { // inside the frame outline
        bool dark = false;
        for (int x = fromX; x < toX && !dark; ++x) {
            dark = image.pixelColor(x, y).lightness() < 100;
        }
        if (dark && !inRow) {
            tops.push_back(y);
        }
        inRow = dark;
    }
    return tops;
}

TEST(PacketLinePixels, WrappedRowsStand18PixelsApart) {
    std::vector<std::uint8_t> bytes(66, 0x88);
    const QImage line = PaintLine(One(RecordKind::Data1, 70, bytes), WrapMode::Wrap16, 400);
    EXPECT_EQ(line.height(), 97);
    const std::vector<int> tops = TextRowTops(line, 70, 360);
    ASSERT_EQ(tops.size(), 5u); // four rows of bytes and "ERR"
    for (std::size_t i = 1; i < tops.size(); ++i) {
        EXPECT_EQ(tops[i] - tops[i - 1], 18);
    }
}

/// The main window over a capture written to a temporary working directory.
class DisplayWindow : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
    }
    void TearDown() override { QDir::setCurrent(previous_); }

    void open(const std::vector<std::uint8_t>& capture) {
        std::ofstream(dir_.filePath("usbdata.dat").toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(capture.data()),
                   static_cast<std::streamsize>(capture.size()));
        form_ = std::make_unique<app::TMainForm>(analyzer_);
        form_->show();
    }

    QImage shrinkView() { return form_->ListBox2->viewport()->grab().toImage(); }

    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<app::TMainForm> form_;

private:
    QTemporaryDir dir_;
    QString previous_;
};

std::vector<std::uint8_t> ManyPackets(int n) {
    std::vector<std::uint8_t> file;
    for (int i = 0; i < n; ++i) {
        switch (i % 4) {
        case 0:
            Append(file, Packet(0x2D, {0x05, 0x00}));
            break;
        case 1:
            Append(file, Packet(0xC3, std::vector<std::uint8_t>(40, 0x22)));
            break;
        case 2:
            Append(file, Packet(0xD2));
            break;
        default:
            Append(file, Packet(0x1E));
            break;
        }
    }
    return file;
}

TEST_F(DisplayWindow, ShrinkViewStrokesAndMarker) {
    open(ManyPackets(300));
    QImage strip = shrinkView();
    EXPECT_EQ(strip.pixelColor(0, 0), QColor(240, 103, 162));
    EXPECT_EQ(strip.pixelColor(19, 0), QColor(240, 103, 162));
    EXPECT_EQ(strip.pixelColor(20, 0), kWhite);
    EXPECT_EQ(strip.pixelColor(5, 1), QColor(126, 203, 178));
    EXPECT_EQ(strip.pixelColor(5, 2), QColor(255, 255, 0));
    EXPECT_EQ(strip.pixelColor(5, 3), kWhite); // a STALL leaves its row blank

    // Selecting line 7 of the packet list marks row 7 red across the strip.
    const QRect line7 = form_->ListBox1->itemRect(7);
    ASSERT_FALSE(line7.isEmpty());
    QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {}, line7.center());
    EXPECT_EQ(form_->ListBox1->itemIndex(), 7);
    strip = shrinkView();
    EXPECT_EQ(strip.pixelColor(0, 7), QColor(255, 0, 0));
    EXPECT_EQ(strip.pixelColor(strip.width() - 1, 7), QColor(255, 0, 0));
    EXPECT_EQ(strip.pixelColor(30, 6), kWhite);

    // A key that moves the selection moves the marker with it.
    QTest::keyClick(form_->ListBox1, Qt::Key_Down);
    EXPECT_EQ(form_->ListBox1->itemIndex(), 8);
    strip = shrinkView();
    EXPECT_EQ(strip.pixelColor(30, 8), QColor(255, 0, 0));
    EXPECT_EQ(strip.pixelColor(30, 7), kWhite);
}

TEST_F(DisplayWindow, ClickInShrinkViewScrollsThePacketList) {
    open(ManyPackets(300));
    form_->ListBox1->setItemIndex(3);
    QTest::mouseClick(form_->ListBox2->viewport(), Qt::LeftButton, {}, QPoint(10, 120));
    EXPECT_EQ(form_->ListBox2->itemIndex(), 120);
    EXPECT_EQ(form_->ListBox1->topIndex(), 120);
    EXPECT_EQ(form_->ListBox1->itemIndex(), 3); // the selection stays

    // Near the end the list scrolls as far as it can.
    form_->ListBox2->setTopIndex(form_->ListBox2->maxTopIndex());
    const int lastRowY = form_->ListBox2->viewport()->height() - 1;
    QTest::mouseClick(form_->ListBox2->viewport(), Qt::LeftButton, {}, QPoint(10, lastRowY));
    ASSERT_EQ(form_->ListBox2->itemIndex(), 299);
    EXPECT_EQ(form_->ListBox1->topIndex(), form_->ListBox1->maxTopIndex());
    EXPECT_LT(form_->ListBox1->maxTopIndex(), 299);
    // The last line is in view.
    EXPECT_FALSE(form_->ListBox1->itemRect(299).isEmpty());
}

TEST_F(DisplayWindow, ClickWithoutARowMovesNothing) {
    open(ManyPackets(40));
    form_->ListBox1->setTopIndex(2);
    ASSERT_EQ(form_->ListBox1->topIndex(), 2);
    QTest::mouseClick(form_->ListBox2->viewport(), Qt::LeftButton, {}, QPoint(10, 100));
    EXPECT_EQ(form_->ListBox2->itemIndex(), -1);
    EXPECT_EQ(form_->ListBox1->topIndex(), 2);
}

TEST_F(DisplayWindow, WrapModeChangeRebuildsThePacketListOnly) {
    open(ManyPackets(300));
    form_->ListBox1->setTopIndex(100);
    form_->ListBox1->setItemIndex(105);
    form_->ListBox2->setTopIndex(40);
    EXPECT_EQ(form_->ListBox1MeasureItem(1), 25);

    form_->Wrap32->trigger();
    EXPECT_TRUE(form_->Wrap32->isChecked());
    EXPECT_FALSE(form_->NoWrap1->isChecked());
    EXPECT_FALSE(form_->Wrap16->isChecked());
    EXPECT_EQ(form_->ListBox1->topIndex(), 0);
    EXPECT_EQ(form_->ListBox1->itemIndex(), -1);
    EXPECT_EQ(form_->ListBox1->count(), 300);
    EXPECT_EQ(form_->ListBox1MeasureItem(1), 43); // 38 payload bytes: two rows of 32
    EXPECT_EQ(form_->ListBox2->topIndex(), 40);   // the shrink view is not rebuilt

    // Choosing the checked item again keeps exactly that one checked.
    form_->Wrap32->trigger();
    EXPECT_TRUE(form_->Wrap32->isChecked());
    form_->Wrap16->trigger();
    EXPECT_EQ(form_->ListBox1MeasureItem(1), 61);
    form_->NoWrap1->trigger();
    EXPECT_EQ(form_->ListBox1MeasureItem(1), 25);
    EXPECT_EQ(form_->ListBox2MeasureItem(1), 1);
}

TEST_F(DisplayWindow, SelectionDoesNotChangeALinesColours) {
    open(ManyPackets(8));
    const QRect line = form_->ListBox1->itemRect(0);
    const QImage before = form_->ListBox1->viewport()->grab(line).toImage();
    form_->ListBox1->setItemIndex(0);
    form_->ListBox1->clearFocus();
    const QImage after = form_->ListBox1->viewport()->grab(line).toImage();
    EXPECT_EQ(before, after);
}

TEST_F(DisplayWindow, KeysScrollToTheEnd) {
    open(ManyPackets(1000));
    form_->ListBox1->setFocus();
    QTest::keyClick(form_->ListBox1, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(form_->ListBox1->itemIndex(), 999);
    EXPECT_FALSE(form_->ListBox1->itemRect(999).isEmpty());
    EXPECT_EQ(form_->ListBox1->verticalScrollBar()->value(), form_->ListBox1->maxTopIndex());
    QTest::keyClick(form_->ListBox1, Qt::Key_Home);
    EXPECT_EQ(form_->ListBox1->topIndex(), 0);
}

TEST_F(DisplayWindow, EmptyCaptureGivesEmptyListsThatIgnoreClicks) {
    open({});
    EXPECT_EQ(form_->ListBox1->count(), 0);
    QTest::mouseClick(form_->ListBox2->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    form_->Wrap16->trigger();
    EXPECT_EQ(form_->ListBox1->count(), 0);
    EXPECT_EQ(form_->ListBox1->topIndex(), 0);
}

} // namespace
} // namespace vintrace::display
