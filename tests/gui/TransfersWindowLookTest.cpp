#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "display/StatusStyle.h"
#include "display/TransferTreeModel.h"
#include "support/BusSequence.h"
#include "support/CompanionWindowTest.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QStyle>
#include <QTest>
#include <QToolTip>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vintrace::display {
namespace {

using Model = TransferTreeModel;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

/// The top row whose item begins at `record`.
QModelIndex TopRowAt(const Model& model, std::size_t record) {
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.FirstRecordOf(model.index(row, 0)) == record) {
            return model.index(row, 0);
        }
    }
    return {};
}

QColor Colour(Rgb c) {
    return {c.r, c.g, c.b};
}

// Problems stand out and routine traffic stays quiet: a STALL (8.4.5) or a corrupted packet
// (8.6.3) is coloured, an ok transfer, NAKed retries and polling are not; each colour says
// what it means on hover.
TEST(TransferTreeStatus, ProblemsStandOutAndRoutineStaysQuiet) {
    const std::string wire = "SETUP 1.0, DATA0 8006000100000400, ACK, IN 1.0, DATA1 12010002, ACK, "
                             "OUT 1.0, DATA1, ACK, OUT 3.2, DATA0! 0102, OUT 3.2, DATA0 0102, ACK";
    const struct {
        const char* file; // nothing: the wire sequence above
        std::size_t record;
        int child; // -1: the item itself, else its transaction of that row
        StatusTone tone;
    } rows[] = {
        {"fs-badge.dat", 127, -1, StatusTone::Stall},
        {"fs-badge.dat", 6, -1, StatusTone::Quiet},
        {"fs-badge.dat", 1406, -1, StatusTone::Quiet}, // 4 NAKed, then delivered
        {"ls-mouse.dat", 0, -1, StatusTone::Error},
        {"ls-mouse.dat", 314, -1, StatusTone::Quiet}, // polling
        {nullptr, 9, 0, StatusTone::Error},           // bad CRC16
        {nullptr, 9, 1, StatusTone::Quiet},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << (r.file ? r.file : "wire") << " record " << r.record
                                        << " child " << r.child);
        session::CaptureSession session;
        if (r.file) {
            ASSERT_TRUE(session.open(Data(r.file)).ok());
        } else {
            session.replaceStore(test::BusSequence(wire), {}, "wire.dat");
        }
        Model model(session);
        QModelIndex index = TopRowAt(model, r.record);
        ASSERT_TRUE(index.isValid());
        if (r.child >= 0) {
            model.fetchMore(index);
            index = model.index(r.child, 0, index);
        }
        const QModelIndex status = index.siblingAtColumn(Model::StatusColumn);
        const auto colours = ToneColours(r.tone);
        if (!colours) {
            EXPECT_FALSE(status.data(Qt::BackgroundRole).isValid());
            EXPECT_FALSE(status.data(Qt::ForegroundRole).isValid());
            continue;
        }
        EXPECT_EQ(status.data(Qt::BackgroundRole).value<QColor>(), Colour(colours->fill));
        EXPECT_EQ(status.data(Qt::ForegroundRole).value<QColor>(), Colour(colours->text));
        EXPECT_TRUE(status.data(Qt::ToolTipRole)
                        .toString()
                        .startsWith(QString::fromLatin1(ToneMeaning(r.tone).data())));
    }
}

// The column shows sixteen bytes and says when there are more; the tooltip has the rest, up
// to a bound, and the length of what it leaves out.
TEST(TransferTreePayload, ACutPayloadEndsWithAnEllipsisAndItsTipHoldsTheRest) {
    std::string bulk;
    for (int i = 0; i < 5; ++i) {
        bulk += std::string(i % 2 == 0 ? "OUT 3.2, DATA0 " : "OUT 3.2, DATA1 ") +
                std::string(128, i % 2 == 0 ? 'A' : '5') + ", ACK, ";
    }
    bulk += "OUT 3.2, DATA1 01, ACK";
    const struct {
        const char* file;
        std::size_t record;
        const char* shownEnd;
        int tipLines; // 0: no tooltip
        const char* tipEnd;
    } rows[] = {
        // 9.6.1: a device descriptor is 18 bytes.
        {"fs-badge.dat", 6, "01 02 …", 2, "01 02\n03 01"},
        {"fs-badge.dat", 92, "", 0, ""},
        {nullptr, 0, "AA AA …", 17, "55 55\n… 321 bytes"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.record);
        session::CaptureSession session;
        if (r.file) {
            ASSERT_TRUE(session.open(Data(r.file)).ok());
        } else {
            session.replaceStore(test::BusSequence(bulk), {}, "bulk.dat");
        }
        Model model(session);
        const QModelIndex payload = TopRowAt(model, r.record).siblingAtColumn(Model::PayloadColumn);
        ASSERT_TRUE(payload.isValid());
        const QString shown = payload.data().toString();
        EXPECT_EQ(shown.right(static_cast<int>(QString::fromUtf8(r.shownEnd).size())),
                  QString::fromUtf8(r.shownEnd));
        const QString tip = payload.data(Qt::ToolTipRole).toString();
        if (r.tipLines == 0) {
            EXPECT_TRUE(tip.isEmpty()) << tip.toStdString();
            continue;
        }
        EXPECT_EQ(tip.count(QLatin1Char('\n')) + 1, r.tipLines) << tip.toStdString();
        EXPECT_TRUE(tip.startsWith(shown.chopped(2))) << tip.toStdString();
        EXPECT_TRUE(tip.endsWith(QString::fromUtf8(r.tipEnd))) << tip.toStdString();
    }
}

} // namespace
} // namespace vintrace::display

namespace vintrace::app {
namespace {

using display::TransferTreeModel;

class TransfersWindowLook : public test::TransfersWindowOpen {
protected:
    QAbstractItemModel* model() const { return tree()->model(); }
    QModelIndex topRowAt(std::size_t record) const {
        return display::TopRowAt(window_->model(), record);
    }
    /// The tooltip a rest of the mouse over `at` in `widget` shows; empty for none.
    static QString hover(QWidget* widget, QPoint at) {
        QToolTip::hideText();
        // The tip fades out rather than going at once.
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000));
        QHelpEvent tip(QEvent::ToolTip, at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &tip);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    }
    QString hoverCell(const QModelIndex& index) {
        tree()->scrollTo(index);
        QApplication::processEvents(); // laid out where the scroll put it
        return hover(tree()->viewport(), tree()->visualRect(index).center());
    }
    bool inView(const QModelIndex& index) const {
        return tree()->viewport()->rect().contains(tree()->visualRect(index));
    }
    void clickPacket(std::int64_t record) {
        form_->ListBox1->setTopIndex(record);
        QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                          form_->ListBox1->itemRect(record).center());
        QApplication::processEvents();
    }
};

TEST_F(TransfersWindowLook, StatusColoursHaveALegendAndShowOnTheScreen) {
    const int status = TransferTreeModel::StatusColumn;
    QHeaderView* header = tree()->header();
    const QPoint onHeader(header->sectionViewportPosition(status) + header->sectionSize(status) / 2,
                          header->height() / 2);
    EXPECT_EQ(hover(header->viewport(), onHeader), QString::fromStdString(display::StatusLegend()));

    const QModelIndex stall = topRowAt(127).siblingAtColumn(status);
    ASSERT_TRUE(stall.isValid());
    EXPECT_TRUE(hoverCell(stall).startsWith("Red:")) << hoverCell(stall).toStdString();
    EXPECT_EQ(hoverCell(topRowAt(6).siblingAtColumn(status)), QString()); // ok: nothing to say

    // The fill is painted where the text is not; an ok row keeps the view's base.
    const auto fillAt = [this](const QModelIndex& index) {
        const QRect cell = tree()->visualRect(index);
        return tree()->viewport()->grab().toImage().pixelColor(cell.right() - 2, cell.center().y());
    };
    const auto stallColours = display::ToneColours(display::StatusTone::Stall);
    EXPECT_EQ(fillAt(stall), display::Colour(stallColours->fill));
    EXPECT_NE(fillAt(topRowAt(6).siblingAtColumn(status)), display::Colour(stallColours->fill));
    // Selected, the row takes the highlight and its highlighted text, as every row does.
    ClickRow(tree(), stall);
    EXPECT_NE(fillAt(stall), display::Colour(stallColours->fill));
}

// Every record number shows whole at every depth, and the column follows the store: narrower
// for a short capture, wide again for a long one.
TEST_F(TransfersWindowLook, RecordColumnFitsTheLargestRecordNumber) {
    const struct {
        const char* file; // nothing: the capture the window opened over
        const char* last;
    } captures[] = {{nullptr, "4405"}, {"edge-cases.dat", "10"}, {"fs-badge.dat", "4405"}};
    int previous = 0;
    for (const auto& c : captures) {
        SCOPED_TRACE(c.last);
        if (c.file) {
            form_->OpenCaptureFile(display::Data(c.file));
        }
        // The last item, its last transaction, its last packet, opened as a user opens them.
        tree()->setFocus();
        QTest::keyClick(tree(), Qt::Key_End);
        QTest::keyClick(tree(), Qt::Key_Right);
        for (int depth = 0; depth < 2; ++depth) {
            const QModelIndex here = tree()->currentIndex();
            ASSERT_GT(model()->rowCount(here), 0);
            QTest::keyClick(tree(), Qt::Key_Down);
            while (tree()->currentIndex().row() + 1 < model()->rowCount(here)) {
                QTest::keyClick(tree(), Qt::Key_Down);
            }
            QTest::keyClick(tree(), Qt::Key_Right);
        }
        const QModelIndex packet = tree()->currentIndex();
        ASSERT_TRUE(packet.parent().parent().isValid());
        EXPECT_EQ(packet.data().toString().size(), static_cast<int>(std::strlen(c.last)));
        const int margin = tree()->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
        EXPECT_LE(tree()->fontMetrics().horizontalAdvance(packet.data().toString()),
                  tree()->visualRect(packet).width() - 2 * margin);
        const int width = tree()->header()->sectionSize(TransferTreeModel::RecordColumn);
        if (previous != 0) {
            EXPECT_NE(width, previous);
        }
        previous = width;
    }
}

// Cells the column cuts show their whole text on hover; cells that fit show nothing.
TEST_F(TransfersWindowLook, CutCellsShowTheirWholeTextOnHover) {
    const QModelIndex item = topRowAt(6);
    const QModelIndex endpoint = item.siblingAtColumn(TransferTreeModel::EndpointColumn);
    EXPECT_EQ(hoverCell(endpoint), QString()); // fits
    // A transaction's cell has no tooltip of its own until the column cuts it.
    ClickRow(tree(), item);
    QTest::keyClick(tree(), Qt::Key_Right);
    QTest::keyClick(tree(), Qt::Key_Down);
    const QModelIndex setup = tree()->currentIndex().siblingAtColumn(TransferTreeModel::ItemColumn);
    ASSERT_EQ(setup.data().toString(), "SETUP DATA0");
    EXPECT_EQ(hoverCell(setup), QString());
    tree()->header()->resizeSection(TransferTreeModel::ItemColumn, 24);
    EXPECT_EQ(hoverCell(setup), "SETUP DATA0");
}

TEST_F(TransfersWindowLook, TitleSofsAndAnEmptyCapture) {
    EXPECT_EQ(window_->windowTitle(), "Transfers \u2014 usbdata.dat");
    EXPECT_FALSE(window_->StateLabel->isVisible());
    EXPECT_EQ(model()->headerData(TransferTreeModel::EndpointColumn, Qt::Horizontal).toString(),
              "Addr.EP");
    const std::size_t records = form_->PacketList.size();
    const int all = model()->rowCount();

    // Without SOFs the tree holds the transfers only; the store keeps every packet.
    ASSERT_TRUE(window_->ShowSofsCheckBox->isChecked());
    QTest::mouseClick(window_->ShowSofsCheckBox, Qt::LeftButton);
    EXPECT_FALSE(window_->ShowSofsCheckBox->isChecked());
    ASSERT_GT(model()->rowCount(), 0);
    EXPECT_LT(model()->rowCount(), all);
    for (int row = 0; row < model()->rowCount(); ++row) {
        EXPECT_FALSE(
            model()->index(row, TransferTreeModel::ItemColumn).data().toString().startsWith("SOF"))
            << row;
    }
    EXPECT_EQ(form_->PacketList.size(), records);
    // A packet of a transfer is still found; an SOF's selects nothing.
    clickPacket(8);
    EXPECT_EQ(window_->model().FirstRecordOf(tree()->currentIndex()), 8u);
    clickPacket(0);
    EXPECT_FALSE(tree()->currentIndex().isValid());
    QTest::mouseClick(window_->ShowSofsCheckBox, Qt::LeftButton);
    EXPECT_EQ(model()->rowCount(), all);

    QFile empty(dir_.filePath("empty.dat"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    form_->ChooseCaptureFile = [this] { return dir_.filePath("empty.dat").toStdString(); };
    form_->Open1->trigger();
    EXPECT_EQ(model()->rowCount(), 0);
    EXPECT_TRUE(window_->StateLabel->isVisible());
    EXPECT_EQ(window_->StateLabel->text(), "The capture is empty: it holds no packets.");
    EXPECT_EQ(window_->windowTitle(), "Transfers \u2014 empty.dat");
}

// Time in frames beside the record number: the count of the last SOF goes on increasing across
// the 11-bit counter's wrap (8.4.3.1), and the SOF run that skipped frames is split at the
// hole, which the run after it names.
TEST_F(TransfersWindowLook, FramesCountOnAcrossWrapsAndHolesAreShown) {
    QHeaderView* header = tree()->header();
    EXPECT_EQ(header->logicalIndex(1), TransferTreeModel::FrameColumn);
    EXPECT_EQ(model()->headerData(TransferTreeModel::FrameColumn, Qt::Horizontal).toString(),
              "Frame");
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Home);
    std::uint64_t previous = 0;
    QStringList holes;
    for (int row = 0; row < model()->rowCount(); ++row) {
        const QModelIndex current = tree()->currentIndex();
        ASSERT_EQ(current.row(), row);
        const QString frame =
            current.siblingAtColumn(TransferTreeModel::FrameColumn).data().toString();
        ASSERT_FALSE(frame.isEmpty()) << row;
        EXPECT_GE(frame.toULongLong(), previous) << row;
        previous = frame.toULongLong();
        const QString item =
            current.siblingAtColumn(TransferTreeModel::ItemColumn).data().toString();
        if (item.contains("missing")) {
            holes << item;
        }
        QTest::keyClick(tree(), Qt::Key_Down);
    }
    EXPECT_GT(previous, 2047u);
    // Two resets without SOFs (602 to 658, 138 to 194), and 1869 to 62: frames 1870-2047 and
    // 0-61.
    const QStringList expected = {"SOF ×77 (frames 658–734), after 55 missing frames",
                                  "SOF ×77 (frames 62–138), after 240 missing frames",
                                  "SOF ×73 (frames 194–266), after 55 missing frames"};
    EXPECT_EQ(holes, expected) << holes.join('|').toStdString();
}

// Following the packet list upwards, the selected packet comes into view below its
// transaction and transfer, not at the top with its parents scrolled off above it.
TEST_F(TransfersWindowLook, FollowingTheListKeepsTheParentsInView) {
    // A short tree (about 17 rows) above the detail pane, which takes a quarter of the room.
    window_->resize(window_->width(), 470);
    QApplication::processEvents();
    for (const std::int64_t record : {1423, 1415, 150}) {
        SCOPED_TRACE(record);
        tree()->setFocus();
        QTest::keyClick(tree(), Qt::Key_End);
        clickPacket(record);
        const QModelIndex packet = tree()->currentIndex();
        ASSERT_TRUE(packet.parent().parent().isValid());
        EXPECT_TRUE(inView(packet));
        EXPECT_TRUE(inView(packet.parent()));
        EXPECT_TRUE(inView(packet.parent().parent()));
    }
}

} // namespace
} // namespace vintrace::app
