#include "app/CommandEvent.h"
#include "app/TDefineHide.h"
#include "app/TMainForm.h"
#include "capture/PcapFile.h"
#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"
#include "support/FileContents.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

namespace vintrace::app {
namespace {

using capture::CommandMessage;
using capture::RecordKind;
using test::Append;
using test::Packet;

std::vector<std::uint8_t> Token(std::uint8_t pid, unsigned address, unsigned endpoint) {
    return Packet(pid, {static_cast<std::uint8_t>(address | (endpoint & 1) << 7),
                        static_cast<std::uint8_t>(endpoint >> 1)});
}

/// SOF, IN 3.1, DATA1, ACK, IN 3.2, NAK, SOF, OUT 7.0, DATA0, NAK
std::vector<std::uint8_t> SampleCapture() {
    std::vector<std::uint8_t> f = Packet(0xA5, {0x01, 0x00});
    Append(f, Token(0x69, 3, 1));
    Append(f, Packet(0x4B, {1, 2, 0xAA, 0xBB}));
    Append(f, Packet(0xD2));
    Append(f, Token(0x69, 3, 2));
    Append(f, Packet(0x5A));
    Append(f, Packet(0xA5, {0x02, 0x00}));
    Append(f, Token(0xE1, 7, 0));
    Append(f, Packet(0xC3, {9, 0xAA, 0xBB}));
    Append(f, Packet(0x5A));
    return f;
}

class CommandHub : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        write("usbdata.dat", SampleCapture());
        SharedCommand() = CommandMessage{};
        form_ = std::make_unique<TMainForm>(analyzer_);
        form_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
        form_->show();
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }

    void write(const QString& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(dir_.filePath(name).toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    QString path(const QString& name) const { return dir_.filePath(name); }
    /// Lets the window send what a hide dialog chooses, as Define Hide does.
    void wire(TDefineHide& dialog) {
        QObject::connect(&dialog, &TDefineHide::requested, form_.get(),
                         &TMainForm::SendHideRequest);
    }

    void send(std::uint8_t command) {
        SharedCommand().setCommand(command);
        SendCommand(form_.get());
    }

    /// The store and both lists agree, the lists are shown and the bar is back at 0.
    void expectConsistent() {
        const auto n = static_cast<std::int64_t>(form_->PacketList.size());
        EXPECT_EQ(form_->ListBox1->count(), n);
        EXPECT_EQ(form_->ListBox2->count(), n);
        EXPECT_TRUE(form_->ListBox1->isVisible());
        EXPECT_TRUE(form_->ListBox2->isVisible());
        EXPECT_EQ(form_->ProgressBar1->value(), 0);
    }

    std::vector<RecordKind> kinds() const {
        std::vector<RecordKind> out;
        for (std::size_t i = 0; i < form_->PacketList.size(); ++i) {
            out.push_back(form_->PacketList.kind(i));
        }
        return out;
    }

    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<TMainForm> form_;
    QStringList messages_;

private:
    QTemporaryDir dir_;
    QString previous_;
};

TEST_F(CommandHub, CodesThatAreNoCommandChangeNothing) {
    form_->ListBox1->setItemIndex(4);
    form_->ProgressBar1->setValue(30);
    for (int code : {4, 8, 100, 255}) {
        send(static_cast<std::uint8_t>(code));
        EXPECT_EQ(form_->PacketList.size(), 10u);
        EXPECT_EQ(form_->ListBox1->count(), 10);
        EXPECT_EQ(form_->ListBox1->itemIndex(), 4);
        EXPECT_EQ(form_->ProgressBar1->value(), 30);
    }
}

TEST_F(CommandHub, HideCommandsThenReloadRestoresEverything) {
    send(capture::CMD_HIDE_SOF);
    EXPECT_EQ(form_->PacketList.size(), 8u);
    expectConsistent();
    send(capture::CMD_HIDE_NAK);
    // IN 3.2 goes with its NAK, DATA0 with its NAK; the OUT before the refused data stays.
    EXPECT_EQ(kinds(), (std::vector<RecordKind>{RecordKind::In, RecordKind::Data1, RecordKind::Ack,
                                                RecordKind::Out}));
    expectConsistent();
    SharedCommand().setAddress(3);
    send(capture::CMD_HIDE_ADDRESS);
    EXPECT_EQ(kinds(), (std::vector<RecordKind>{RecordKind::Out}));
    expectConsistent();
    // Hiding leaves the endpoint table alone until the next reload.
    ASSERT_EQ(form_->EndpointTable.size(), 2u);
    EXPECT_EQ(form_->EndpointTable[0].address, 3);

    send(capture::CMD_RELOAD);
    EXPECT_EQ(form_->PacketList.size(), 10u);
    expectConsistent();
}

TEST_F(CommandHub, HideEndpointUsesTheRecordsAddressAndEndpoint) {
    CommandMessage& m = SharedCommand();
    m.setAddress(3);
    m.setEndpoint(1);
    send(capture::CMD_HIDE_ENDPOINT);
    EXPECT_EQ(form_->PacketList.size(), 7u);
    // A later sender that sets only the command leaves address and endpoint as they were.
    m.setCommand(capture::CMD_RELOAD);
    SendCommand(form_.get());
    EXPECT_EQ(m.address(), 3);
    EXPECT_EQ(m.endpoint(), 1);
    EXPECT_EQ(m.Msg, capture::UM_COMMAND);
}

TEST_F(CommandHub, ReloadOfAMissingFileEmptiesTheLists) {
    ASSERT_TRUE(QFile::remove(path("usbdata.dat")));
    send(capture::CMD_RELOAD);
    EXPECT_TRUE(form_->PacketList.empty());
    EXPECT_TRUE(form_->EndpointTable.empty());
    expectConsistent();
    EXPECT_TRUE(messages_.isEmpty());
}

// Qt draws a 0..0 range as a busy bar that never ends: an empty store shows an empty bar.
TEST_F(CommandHub, CommandsOnAnEmptyStoreLeaveAnEmptyBar) {
    form_->ChooseCaptureFile = [this] { return path("gone.dat").toStdString(); };
    const struct {
        const char* name;
        std::function<void()> run;
    } commands[] = {
        {"Open", [this] { form_->Open1->trigger(); }},
        {"Show All", [this] { form_->ShowAll1->trigger(); }},
        {"Search", [this] { QTest::mouseClick(form_->Button1, Qt::LeftButton); }},
        {"Hide SOF",
         [this] {
             TDefineHide dialog(form_.get());
             dialog.FillAddresses(form_->EndpointTable);
             wire(dialog);
             QTest::keyClick(dialog.ComboBox1, Qt::Key_Down);
             QTest::mouseClick(dialog.Button2, Qt::LeftButton);
         }},
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        c.run();
        ASSERT_TRUE(form_->PacketList.empty());
        EXPECT_LT(form_->ProgressBar1->minimum(), form_->ProgressBar1->maximum());
        EXPECT_EQ(form_->ProgressBar1->value(), form_->ProgressBar1->minimum());
    }
}

TEST_F(CommandHub, OpenCancelledReloadsAndShowsHiddenPackets) {
    send(capture::CMD_HIDE_SOF);
    form_->ChooseCaptureFile = [] { return std::nullopt; };
    form_->Open1->trigger();
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
    EXPECT_EQ(form_->PacketList.size(), 10u);
    expectConsistent();
}

TEST_F(CommandHub, OpenLoadsTheChosenFile) {
    write("other.dat", Packet(0xD2));
    const std::string other = path("other.dat").toStdString();
    form_->ChooseCaptureFile = [&] { return other; };
    form_->Open1->trigger();
    EXPECT_EQ(form_->CaptureFileName, other);
    EXPECT_EQ(kinds(), (std::vector<RecordKind>{RecordKind::Ack}));
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(CommandHub, OpenOfAnUnreadableFileSaysSo) {
    const std::string dir = path("a-directory.dat").toStdString();
    QDir().mkpath(QString::fromStdString(dir));
    form_->ChooseCaptureFile = [&] { return dir; };
    form_->Open1->trigger();
    EXPECT_TRUE(form_->PacketList.empty());
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("a-directory.dat")) << messages_[0].toStdString();
}

TEST_F(CommandHub, SaveAsMovesTheCaptureToANewName) {
    const auto original = test::ReadBytes(path("usbdata.dat").toStdString());
    const std::string kept = path("kept.dat").toStdString();
    form_->ChooseSaveName = [&] { return kept; };
    send(capture::CMD_HIDE_SOF);
    form_->SaveAs1->trigger();
    EXPECT_EQ(form_->CaptureFileName, kept);
    EXPECT_FALSE(QFile::exists(path("usbdata.dat")));
    EXPECT_EQ(test::ReadBytes(path("kept.dat").toStdString()), original);
    EXPECT_EQ(form_->PacketList.size(), 8u); // the display stays as it was
    form_->ShowAll1->trigger();
    EXPECT_EQ(form_->PacketList.size(), 10u); // now loaded from the new name
    EXPECT_TRUE(messages_.isEmpty());
}

// A failed move must not pretend to succeed: the name stays, so the next Start cannot
// overwrite a capture the user believes kept, and the user is told why.
TEST_F(CommandHub, SaveAsOntoAnExistingFileChangesNothingAndSaysWhy) {
    write("taken.dat", Packet(0xD2));
    const auto taken = test::ReadBytes(path("taken.dat").toStdString());
    const auto original = test::ReadBytes(path("usbdata.dat").toStdString());
    form_->ChooseSaveName = [&] { return path("taken.dat").toStdString(); };
    form_->SaveAs1->trigger();
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
    EXPECT_EQ(test::ReadBytes(path("taken.dat").toStdString()), taken);
    EXPECT_EQ(test::ReadBytes(path("usbdata.dat").toStdString()), original);
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("usbdata.dat")) << messages_[0].toStdString();
    EXPECT_TRUE(messages_[0].contains("taken.dat"));
    EXPECT_TRUE(messages_[0].contains("already exists"));
}

TEST_F(CommandHub, SaveAsWithoutACaptureFileSaysSo) {
    ASSERT_TRUE(QFile::remove(path("usbdata.dat")));
    form_->ChooseSaveName = [&] { return path("new.dat").toStdString(); };
    form_->SaveAs1->trigger();
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
    EXPECT_FALSE(QFile::exists(path("new.dat")));
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("does not exist"));
}

TEST_F(CommandHub, SaveAsCancelledDoesNothing) {
    form_->ChooseSaveName = [] { return std::nullopt; };
    form_->SaveAs1->trigger();
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
    EXPECT_TRUE(QFile::exists(path("usbdata.dat")));
    EXPECT_TRUE(messages_.isEmpty());
}

// Export what the list shows and import it again: the same packets come back, as a capture
// beside the pcap that becomes the current one.
TEST_F(CommandHub, PcapExportThenImportGivesTheSamePackets) {
    send(capture::CMD_HIDE_SOF);
    const std::string pcap = path("shown.pcap").toStdString();
    form_->ChoosePcapToExport = [&] { return pcap; };
    form_->ExportPcap1->trigger();
    ASSERT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    std::vector<capture::CaptureRecord> before;
    for (std::size_t i = 0; i < form_->PacketList.size(); ++i) {
        before.push_back(form_->PacketList[i]);
    }
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const auto& r : before) {
        bytes.emplace_back(r.bytes.begin(), r.bytes.end()); // views die with the reload
    }
    form_->ChoosePcapToImport = [&] { return pcap; };
    form_->ImportPcap1->trigger();
    ASSERT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    EXPECT_EQ(form_->CaptureFileName, path("shown.dat").toStdString());
    ASSERT_EQ(form_->PacketList.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        const capture::CaptureRecord r = form_->PacketList[i];
        EXPECT_EQ(r.kind, before[i].kind) << i;
        EXPECT_EQ(r.length, before[i].length) << i;
        EXPECT_EQ(std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.end()), bytes[i]) << i;
    }
    // Importing again finds its own import there and opens it.
    form_->ImportPcap1->trigger();
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    EXPECT_EQ(form_->CaptureFileName, path("shown.dat").toStdString());
    EXPECT_EQ(form_->PacketList.size(), before.size());
}

// USB 2.0 8.4.3: micro-frame SOFs repeat their frame number. Imported all the same, with one
// warning.
TEST_F(CommandHub, ImportOfAHighSpeedCaptureWarnsOnce) {
    capture::PacketList packets;
    for (int i = 0; i < 16; ++i) {
        const std::uint16_t field = capture::WithCrc5(static_cast<std::uint16_t>(100 + i / 8));
        const std::uint8_t sof[2] = {static_cast<std::uint8_t>(field),
                                     static_cast<std::uint8_t>(field >> 8)};
        packets.append(capture::RecordKind::Sof, 2, sof);
    }
    const std::string pcap = path("hs.pcap").toStdString();
    ASSERT_TRUE(capture::ExportPcap(packets, pcap, capture::UsbLinkType::Usb20, true).ok());
    form_->ChoosePcapToImport = [&] { return pcap; };
    form_->ImportPcap1->trigger();
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("looks high-speed")) << messages_[0].toStdString();
    EXPECT_EQ(form_->CaptureFileName, path("hs.dat").toStdString());
    EXPECT_EQ(form_->PacketList.size(), 16u);
}

// A data packet longer than a record keeps (an isochronous payload, USB 2.0 5.6.3) is
// imported all the same, and the window says how many were cut and to what.
TEST_F(CommandHub, ImportSaysHowManyPacketsWereCut) {
    const std::vector<std::uint8_t> pcap =
        test::FullSpeedPcap({{0xA5, 0x11, 0x11}, std::vector<std::uint8_t>(869, 0xC3)});
    write("iso.pcap", pcap);
    form_->ChoosePcapToImport = [&] { return path("iso.pcap").toStdString(); };
    form_->ImportPcap1->trigger();
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_EQ(messages_[0].toStdString(),
              "Cut on loading: 1 packet of \"" + path("iso.pcap").toStdString() +
                  "\" longer than a capture keeps, to 66 bytes after the PID (2 for tokens, "
                  "handshakes and SOFs), their length counted modulo 256. The longest has 869 "
                  "bytes.");
    EXPECT_EQ(form_->CaptureFileName, path("iso.dat").toStdString());
    ASSERT_EQ(form_->PacketList.size(), 2u);
    EXPECT_EQ(form_->PacketList[1].length, 868 % 256);
}

TEST_F(CommandHub, ImportOfAFileThatIsNoPcapSaysWhereItWentWrong) {
    write("bogus.pcap", Packet(0xD2));
    form_->ChoosePcapToImport = [&] { return path("bogus.pcap").toStdString(); };
    form_->ImportPcap1->trigger();
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("bogus.pcap")) << messages_[0].toStdString();
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
    EXPECT_FALSE(QFile::exists(path("bogus.dat")));
}

TEST_F(CommandHub, ShowAllReloads) {
    send(capture::CMD_HIDE_SOF);
    form_->ShowAll1->trigger();
    EXPECT_EQ(form_->PacketList.size(), 10u);
}

/// The hide dialog as the Define Hide item opens it, without running it modally.
class HideDialog : public CommandHub {
protected:
    void SetUp() override {
        CommandHub::SetUp();
        dialog_ = std::make_unique<TDefineHide>(form_.get());
        dialog_->FillAddresses(form_->EndpointTable);
        wire(*dialog_);
    }
    void TearDown() override {
        dialog_.reset();
        CommandHub::TearDown();
    }
    void chooseAddress(int index) {
        dialog_->ComboBox2->setCurrentIndex(index);
        dialog_->ComboBox2Change();
    }
    /// Types `text` into a box in place of what it shows, as a user does.
    static void typeInto(QComboBox* box, const QString& text) {
        QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
        QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box->lineEdit(), text);
    }
    /// Moves a box's choice `steps` items down its list with the arrow key.
    static void arrowDown(QComboBox* box, int steps) {
        QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(box, Qt::Key_Down);
        }
    }
    static QStringList Items(const QComboBox* box) {
        QStringList items;
        for (int i = 0; i < box->count(); ++i) {
            items << box->itemText(i);
        }
        return items;
    }

    std::unique_ptr<TDefineHide> dialog_;
};

TEST_F(HideDialog, OffersAddressesAndTheirEndpoints) {
    EXPECT_EQ(dialog_->windowTitle(), "Define Hide");
    EXPECT_EQ(Items(dialog_->ComboBox1), (QStringList{"Nothing", "SOF", "NAK, and NAK DATA"}));
    EXPECT_EQ(dialog_->ComboBox1->currentText(), "Nothing");
    EXPECT_EQ(Items(dialog_->ComboBox2), (QStringList{"Nothing", "0x3", "0x7"}));
    EXPECT_EQ(dialog_->ComboBox2->currentIndex(), 0);
    EXPECT_EQ(Items(dialog_->ComboBox3), (QStringList{"Nothing"}));
    chooseAddress(1);
    EXPECT_EQ(Items(dialog_->ComboBox3), (QStringList{"0x1", "0x2", "All"}));
    EXPECT_EQ(dialog_->ComboBox3->currentIndex(), 0);
    chooseAddress(0);
    EXPECT_EQ(Items(dialog_->ComboBox3), (QStringList{"Nothing"}));
}

TEST_F(HideDialog, ApplyHidesTheChosenEndpointAndResets) {
    chooseAddress(1);
    dialog_->ComboBox3->setCurrentIndex(1); // 0x2
    dialog_->Button2->click();
    EXPECT_EQ(form_->PacketList.size(), 8u); // IN 3.2 and its NAK
    EXPECT_EQ(SharedCommand().command(), capture::CMD_HIDE_ENDPOINT);
    EXPECT_EQ(SharedCommand().endpoint(), 2);
    EXPECT_EQ(dialog_->ComboBox1->currentIndex(), 0);
    EXPECT_EQ(dialog_->ComboBox2->currentIndex(), 0);
    EXPECT_EQ(Items(dialog_->ComboBox3), (QStringList{"Nothing"}));

    chooseAddress(1);
    dialog_->ComboBox3->setCurrentIndex(2); // All
    dialog_->Button2->click();
    EXPECT_EQ(form_->PacketList.size(), 5u);
    // The hidden address is still offered.
    TDefineHide again(form_.get());
    again.FillAddresses(form_->EndpointTable);
    EXPECT_EQ(Items(again.ComboBox2), (QStringList{"Nothing", "0x3", "0x7"}));
}

TEST_F(HideDialog, FirstBoxTakesPrecedence) {
    dialog_->ComboBox1->setCurrentIndex(1);
    chooseAddress(2);
    dialog_->Button2->click();
    EXPECT_EQ(SharedCommand().command(), capture::CMD_HIDE_SOF);
    EXPECT_EQ(form_->PacketList.size(), 8u);
    dialog_->ComboBox1->setCurrentIndex(2);
    dialog_->Button2->click();
    EXPECT_EQ(form_->PacketList.size(), 4u);
}

TEST_F(HideDialog, NothingChosenSendsNothing) {
    SharedCommand().setCommand(42);
    dialog_->Button2->click();
    EXPECT_EQ(SharedCommand().command(), 42);
    EXPECT_EQ(form_->PacketList.size(), 10u);
}

// An address text that does not parse must not re-send the previous command's address and
// endpoint and so hide traffic nobody chose.
TEST_F(HideDialog, UnparsableChoiceSendsNothing) {
    CommandMessage& m = SharedCommand();
    m.setAddress(3);
    m.setEndpoint(1);
    m.setCommand(42);
    dialog_->ComboBox2->setCurrentIndex(-1); // typed text: no item selected
    dialog_->ComboBox2->setEditText("hello");
    dialog_->Button2->click();
    EXPECT_EQ(m.command(), 42);
    EXPECT_EQ(form_->PacketList.size(), 10u);

    capture::EndpointTable empty;
    TDefineHide blank(form_.get());
    blank.FillAddresses(empty);
    wire(blank);
    EXPECT_EQ(blank.ComboBox2->currentText(), "ComboBox2");
    EXPECT_EQ(blank.ComboBox3->currentText(), "ComboBox3");
    blank.Button2->click();
    EXPECT_EQ(m.command(), 42);
    EXPECT_EQ(form_->PacketList.size(), 10u);
}

// Apply uses what the three boxes show: a text that is exactly an item's text is that item,
// any other text is none; the endpoints follow what the address box shows.
TEST_F(HideDialog, TypedTextCountsAsTheItemItNamesOrAsNone) {
    using Choose = std::function<void(TDefineHide&)>;
    const struct {
        const char* name;
        Choose choose;
        QStringList endpoints; // what the endpoint box offers before Apply
        std::uint8_t command;  // 42: nothing sent
        unsigned address, endpoint;
        std::size_t remaining;
    } cases[] = {
        {"an address typed over the chosen 0x7",
         [](TDefineHide& d) {
             arrowDown(d.ComboBox2, 2);
             typeInto(d.ComboBox2, "3");
         },
         {"Nothing"},
         42,
         0,
         0,
         10},
        {"an address typed in full",
         [](TDefineHide& d) {
             typeInto(d.ComboBox2, "0x3");
             arrowDown(d.ComboBox3, 1);
         },
         {"0x1", "0x2", "All"},
         capture::CMD_HIDE_ENDPOINT,
         3,
         2,
         8},
        {"an endpoint wheeled to while the address is still being typed",
         [](TDefineHide& d) {
             typeInto(d.ComboBox2, "0x3");
             QWheelEvent wheel(QPointF(5, 5), d.ComboBox3->mapToGlobal(QPointF(5, 5)), QPoint(),
                               QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                               false);
             QApplication::sendEvent(d.ComboBox3, &wheel);
         },
         {"0x1", "0x2", "All"},
         capture::CMD_HIDE_ENDPOINT,
         3,
         2,
         8},
        {"an address completed from its first character",
         [](TDefineHide& d) {
             typeInto(d.ComboBox2, "0");
             EXPECT_EQ(d.ComboBox2->currentText(), "0x3");
         },
         {"0x1", "0x2", "All"},
         capture::CMD_HIDE_ENDPOINT,
         3,
         1,
         7},
        {"an endpoint typed over the chosen 0x1",
         [](TDefineHide& d) {
             arrowDown(d.ComboBox2, 1);
             typeInto(d.ComboBox3, "0x2");
         },
         {"0x1", "0x2", "All"},
         capture::CMD_HIDE_ENDPOINT,
         3,
         2,
         8},
        {"an endpoint that is no item",
         [](TDefineHide& d) {
             arrowDown(d.ComboBox2, 1);
             typeInto(d.ComboBox3, "5");
         },
         {"0x1", "0x2", "All"},
         42,
         0,
         0,
         10},
        {"a kind typed over SOF",
         [](TDefineHide& d) {
             arrowDown(d.ComboBox1, 1);
             typeInto(d.ComboBox1, "x");
         },
         {"Nothing"},
         42,
         0,
         0,
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        send(capture::CMD_RELOAD);
        SharedCommand() = CommandMessage{};
        SharedCommand().setCommand(42);
        TDefineHide dialog(form_.get());
        dialog.FillAddresses(form_->EndpointTable);
        wire(dialog);
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        c.choose(dialog);
        EXPECT_EQ(Items(dialog.ComboBox3), c.endpoints);
        QTest::mouseClick(dialog.Button2, Qt::LeftButton);
        EXPECT_EQ(form_->PacketList.size(), c.remaining);
        EXPECT_EQ(SharedCommand().command(), c.command);
        EXPECT_EQ(SharedCommand().address(), c.address);
        EXPECT_EQ(SharedCommand().endpoint(), c.endpoint);
    }
}

TEST_F(HideDialog, ShowAllReloads) {
    dialog_->ComboBox1->setCurrentIndex(1);
    dialog_->Button2->click();
    ASSERT_EQ(form_->PacketList.size(), 8u);
    dialog_->Button3->click();
    EXPECT_EQ(form_->PacketList.size(), 10u);
}

TEST_F(CommandHub, DefineHideOpensAFreshModalDialog) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<TDefineHide*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        seen = dialog->ComboBox2->count() == 3;
        // What it chooses reaches the hub while it stays open.
        dialog->ComboBox1->setCurrentIndex(1);
        dialog->Button2->click();
        dialog->Button1->click();
    });
    form_->HideDefine1->trigger();
    EXPECT_TRUE(seen);
    EXPECT_EQ(form_->PacketList.size(), 8u); // the two SOFs hidden
    EXPECT_EQ(form_->findChildren<TDefineHide*>().size(), 0);
}

} // namespace
} // namespace vintrace::app
