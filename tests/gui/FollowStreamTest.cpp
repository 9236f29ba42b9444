// Follow stream, from the Transfers window, over a recording of the emulated FTDI converter:
// the window shows what the host and the chip sent, each side in its own colour, and saves it.
#include "AnalyzerBox.h"
#include "BusModel.h"
#include "app/TFollowStreamForm.h"
#include "display/StreamLineModel.h"
#include "protocol/EndpointStream.h"
#include "support/CompanionWindowTest.h"
#include "support/MenuClicks.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QPushButton>

#include <fstream>
#include <iterator>

namespace vintrace::test {
namespace {

using protocol::Direction;

/// The Transfers window over a recording of the ftdi profile, as the capture the main window
/// opens at start.
class FollowStream : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        emulator::BoxSettings box;
        box.seed = 7;
        box.profiles = {emulator::Profile::Ftdi};
        box.fillSeconds = 0;
        emulator::AnalyzerBox analyzer(box);
        const auto now = emulator::AnalyzerBox::Clock::now();
        analyzer.Command(0, {1}, now);
        const std::vector<std::uint8_t> bytes = analyzer.Transfer(box.memoryBytes, now);
        std::ofstream(dir_.filePath(QStringLiteral("usbdata.dat")).toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        form_ = std::make_unique<app::TMainForm>(analyzer_);
        form_->ShowMessage = [](const QString&, const QString&) {};
        form_->show();
        form_->Transfers1->trigger();
        transfers_ = form_->transfersForm();
        ASSERT_NE(transfers_, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(transfers_));
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }

    /// The first top-level row of a transfer that `wanted` accepts.
    QModelIndex RowOf(const std::function<bool(const protocol::TransferItem&)>& wanted) {
        display::TransferTreeModel& model = transfers_->model();
        const protocol::TransferList& items = form_->Session.transferList(model.fold());
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex index = model.index(row, 0);
            if (const auto item = model.ItemOf(index); item && wanted(items[*item])) {
                return index;
            }
        }
        return {};
    }
    QModelIndex BulkInRow() {
        return RowOf([](const protocol::TransferItem& t) {
            return t.type == protocol::TransferType::Bulk && t.direction == Direction::In;
        });
    }

    void Click(const QModelIndex& index) {
        QTreeView* tree = transfers_->TransferTree;
        tree->scrollTo(index);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
    }

    /// The window Follow stream opened, once it has read the stream.
    app::TFollowStreamForm* Opened() {
        app::TFollowStreamForm* follow = transfers_->followForm();
        if (follow != nullptr && !QTest::qWaitFor([&] { return follow->Finished(); }, 10000)) {
            ADD_FAILURE() << "the stream was never read";
        }
        return follow;
    }

    struct Line {
        Direction direction;
        std::string text;
    };
    static std::vector<Line> Shown(app::TFollowStreamForm* follow) {
        std::vector<Line> lines;
        QAbstractItemModel* model = follow->StreamList->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 0);
            lines.push_back({static_cast<Direction>(
                                 index.data(display::StreamLineModel::DirectionRole).toInt()),
                             index.data().toString().toStdString()});
        }
        return lines;
    }

    /// True when `data` is `sentence` over and over, at least `times` whole, the last maybe
    /// cut short by the end of the recording.
    static bool Repeats(const std::string& data, std::string_view sentence, std::size_t times) {
        std::string expected;
        while (expected.size() < data.size()) {
            expected += sentence;
        }
        return data.size() >= times * sentence.size() &&
               expected.compare(0, data.size(), data) == 0;
    }

    QTemporaryDir dir_;
    QString previous_;
    RecordingAnalyzer analyzer_;
    std::unique_ptr<app::TMainForm> form_;
    app::TTransfersForm* transfers_ = nullptr;
};

std::string WithoutLineEnd(std::string_view sentence) {
    return std::string(sentence.substr(0, sentence.size() - 2));
}

TEST_F(FollowStream, ShowsEachSideInItsOwnColourAndSavesOne) {
    const QModelIndex row = BulkInRow();
    ASSERT_TRUE(row.isValid());
    ASSERT_TRUE(
        ChooseFromContextMenu(transfers_->TransferTree, row, QStringLiteral("Follow stream...")));
    app::TFollowStreamForm* follow = Opened();
    ASSERT_NE(follow, nullptr);
    // The chip answers on 0x81, the host writes to 0x02: one conversation.
    EXPECT_EQ(follow->pair(), (protocol::StreamPair{1, 2, 1}));

    // Each line is one whole sentence, the host's and the chip's by turns (the recording may
    // end inside the last one).
    const std::vector<Line> lines = Shown(follow);
    ASSERT_GT(lines.size(), 20u);
    const std::string host = WithoutLineEnd(emulator::kFtdiHostText);
    const std::string chip = WithoutLineEnd(emulator::kFtdiDeviceText);
    std::size_t counted[2] = {0, 0};
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const Line& line = lines[i];
        EXPECT_EQ(line.text, line.direction == Direction::Out ? host : chip) << "line " << i;
        EXPECT_NE(line.direction, lines[i + 1].direction) << "line " << i;
        ++counted[line.direction == Direction::In ? 1 : 0];
    }
    EXPECT_GE(counted[0], 10u);
    EXPECT_GE(counted[1], 10u);
    EXPECT_NE(follow->StreamList->model()->index(0, 0).data(Qt::ForegroundRole),
              follow->StreamList->model()->index(1, 0).data(Qt::ForegroundRole));
    EXPECT_TRUE(follow->OutLegend->text().startsWith(QStringLiteral("host → device: ")));
    EXPECT_TRUE(follow->InLegend->text().startsWith(QStringLiteral("device → host: ")));

    // The chip's side alone, as a hex dump, saved as it came.
    follow->DirectionCombo->setFocus();
    QTest::keyClick(follow->DirectionCombo, Qt::Key_End);
    QTest::keyClick(follow->ViewCombo, Qt::Key_Down);
    const std::vector<Line> hex = Shown(follow);
    ASSERT_FALSE(hex.empty());
    EXPECT_EQ(hex.front().text.substr(0, 34), "00000000  56 69 6E 74 72 61 63 65 ");
    EXPECT_EQ(hex.back().direction, Direction::In);
    const QString target = dir_.filePath(QStringLiteral("chip.bin"));
    follow->ChooseFile = [&] { return std::optional(target.toStdString()); };
    QTest::mouseClick(follow->SaveButton, Qt::LeftButton);
    std::ifstream in(target.toStdString(), std::ios::binary);
    const std::string saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(Repeats(saved, emulator::kFtdiDeviceText, 10)) << saved.substr(0, 200);
    EXPECT_EQ(follow->InLegend->text(),
              QStringLiteral("device → host: %1 bytes")
                  .arg(QLocale().toString(static_cast<qulonglong>(saved.size()))));
}

TEST_F(FollowStream, OnlyStreamsAreFollowedAndTheWindowFollowsTheCapture) {
    // A control transfer is no stream: the key does nothing there.
    const QModelIndex control = RowOf(
        [](const protocol::TransferItem& t) { return t.type == protocol::TransferType::Control; });
    ASSERT_TRUE(control.isValid());
    Click(control);
    EXPECT_FALSE(transfers_->FollowStreamAction->isEnabled());
    const Qt::KeyboardModifiers chord = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
    QTest::keyClick(transfers_->TransferTree, Qt::Key_F, chord);
    EXPECT_EQ(transfers_->followForm(), nullptr);

    Click(BulkInRow());
    QTest::keyClick(transfers_->TransferTree, Qt::Key_F, chord);
    app::TFollowStreamForm* follow = Opened();
    ASSERT_NE(follow, nullptr);
    EXPECT_FALSE(Shown(follow).empty());

    // Another capture under the same name: reloaded, the pair carries nothing there.
    QFile::remove(QStringLiteral("usbdata.dat"));
    ASSERT_TRUE(QFile::copy(QString::fromLatin1(VINTRACE_TEST_DATA "/fs-badge.dat"),
                            QStringLiteral("usbdata.dat")));
    app::SharedCommand().setCommand(capture::CMD_RELOAD);
    app::SendCommand(form_.get());
    ASSERT_TRUE(QTest::qWaitFor([&] { return follow->Finished(); }, 10000));
    EXPECT_TRUE(Shown(follow).empty());
    EXPECT_EQ(follow->InLegend->text(), QStringLiteral("device → host: 0 bytes"));
    EXPECT_TRUE(follow->NoteLabel->text().contains(QStringLiteral("no bulk or interrupt")))
        << follow->NoteLabel->text().toStdString();
}

} // namespace
} // namespace vintrace::test
