#include "app/TDefineSearch.h"
#include "app/TMainForm.h"
#include "support/CaptureBytes.h"
#include "support/QtPrinters.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

namespace vintrace::search {
namespace {

using app::TDefineSearch;

capture::EndpointTable TwoAddresses() {
    capture::EndpointTable table(2);
    table[0].address = 5;
    table[0].endpoints = {1, 3};
    table[0].endpointCount = 2;
    table[1].address = 26;
    table[1].endpoints = {0};
    table[1].endpointCount = 1;
    return table;
}

class SearchDialog : public ::testing::Test {
protected:
    std::unique_ptr<TDefineSearch> open() {
        auto dialog = std::make_unique<TDefineSearch>(criteria_, table_);
        dialog->Load();
        return dialog;
    }
    /// Picks an item as the user does.
    static void pick(QComboBox* box, int index) {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

    /// Types `text` into a box in place of what it shows, as a user does.
    static void typeInto(QComboBox* box, const QString& text) {
        QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
        QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box->lineEdit(), text);
    }
    static QStringList Items(const QComboBox* box) {
        QStringList items;
        for (int i = 0; i < box->count(); ++i) {
            items << box->itemText(i);
        }
        return items;
    }

    SearchCriteria criteria_;
    capture::EndpointTable table_ = TwoAddresses();
};

TEST_F(SearchDialog, StartsWithEverythingOff) {
    auto d = open();
    EXPECT_EQ(d->windowTitle(), "Define Search");
    EXPECT_FALSE(d->CheckBox1->isChecked());
    EXPECT_FALSE(d->ComboBox2->isEnabled());
    EXPECT_FALSE(d->ComboBox1->isEnabled());
    EXPECT_FALSE(d->Edit3->isEnabled());
    EXPECT_EQ(d->ComboBox2->count(), 10);
    EXPECT_EQ(d->ComboBox2->itemText(8), "DATA0 or DATA1");
    EXPECT_EQ(d->ComboBox1->itemText(1), "0x1A");
    EXPECT_EQ(d->ComboBox3->itemText(0), "All");
    EXPECT_EQ(d->ComboBox3->itemText(2), "0x3");
    EXPECT_EQ(d->Label3->palette().color(QPalette::WindowText), d->inactiveColour());
    EXPECT_EQ(d->Edit3->maxLength(), 128);
}

TEST_F(SearchDialog, CheckBoxRulesEnableTheirControls) {
    auto d = open();
    d->CheckBox1->click();
    EXPECT_TRUE(d->ComboBox2->isEnabled());
    EXPECT_EQ(d->Label3->palette().color(QPalette::WindowText), d->activeColour());
    d->CheckBox2->click();
    EXPECT_TRUE(d->ComboBox1->isEnabled());
    EXPECT_TRUE(d->ComboBox3->isEnabled());
    EXPECT_EQ(d->Label6->palette().color(QPalette::WindowText), d->activeColour());
    d->CheckBox2->click();
    EXPECT_FALSE(d->ComboBox3->isEnabled());
    EXPECT_EQ(d->Label2->palette().color(QPalette::WindowText), d->inactiveColour());
}

TEST_F(SearchDialog, DataTicksTheKindOnDataPackets) {
    auto d = open();
    d->CheckBox1->click();
    pick(d->ComboBox2, 3); // ACK
    d->CheckBox3->click();
    EXPECT_TRUE(d->Edit3->isEnabled());
    EXPECT_EQ(d->ComboBox2->currentIndex(), 8);
    // Another kind keeps the data criterion; SOF switches it off.
    pick(d->ComboBox2, 0);
    EXPECT_TRUE(d->CheckBox3->isChecked());
    pick(d->ComboBox2, 9);
    EXPECT_FALSE(d->CheckBox3->isChecked());
    EXPECT_FALSE(d->Edit3->isEnabled());
    EXPECT_EQ(d->Label5->palette().color(QPalette::WindowText), d->inactiveColour());
    EXPECT_TRUE(d->CheckBox1->isChecked()); // the kind stays on
}

TEST_F(SearchDialog, StoredDataShowsDataKindsWhateverKindWasStored) {
    criteria_.pidEnabled = true;
    criteria_.pidIndex = 3;
    criteria_.dataEnabled = true;
    criteria_.setPattern("0A0B");
    auto d = open();
    EXPECT_EQ(d->ComboBox2->currentIndex(), 8);
    EXPECT_EQ(d->Edit3->text(), "0A0B");
    d->Button2->click();
    EXPECT_EQ(criteria_.pidIndex, 8);
    EXPECT_TRUE(criteria_.dataEnabled);
    EXPECT_EQ(criteria_.pattern(), "0A0B");
}

TEST_F(SearchDialog, AddressChoiceStoresAllOrOneEndpoint) {
    auto d = open();
    d->CheckBox2->click();
    pick(d->ComboBox1, 0);
    d->Button2->click();
    EXPECT_TRUE(criteria_.addressAnyEndpoint);
    EXPECT_FALSE(criteria_.addressWithEndpoint);

    auto again = open();
    pick(again->ComboBox3, 2);
    again->Button2->click();
    EXPECT_FALSE(criteria_.addressAnyEndpoint);
    EXPECT_TRUE(criteria_.addressWithEndpoint);
    EXPECT_EQ(criteria_.endpointIndex, 2);

    // Another address starts again from "All".
    auto third = open();
    EXPECT_EQ(third->ComboBox3->currentIndex(), 2);
    pick(third->ComboBox1, 1);
    EXPECT_EQ(third->ComboBox3->currentIndex(), 0);
    EXPECT_EQ(third->ComboBox3->count(), 2);
}

/// Turns the mouse wheel one notch down over a box, which picks its next item.
void WheelDown(QComboBox* box) {
    QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box, &wheel);
}

// What a box shows is what counts, at once: a typed text that is exactly an item's text
// chooses that item, any other text chooses none (stored as 255).
TEST_F(SearchDialog, TypedTextChoosesTheItemItNames) {
    using Steps = std::function<void(TDefineSearch&)>;
    const struct {
        const char* name;
        Steps type;
        QStringList endpoints; // offered as soon as the text is typed
        Steps then;
        std::uint8_t pidIndex, addressIndex, endpointIndex;
        bool anyEndpoint, withEndpoint;
    } cases[] = {
        {"an address, then an endpoint by the wheel",
         [](TDefineSearch& d) {
             QTest::mouseClick(d.CheckBox2, Qt::LeftButton);
             typeInto(d.ComboBox1, "0x1A");
         },
         {"All", "0x0"},
         [](TDefineSearch& d) { WheelDown(d.ComboBox3); },
         255,
         1,
         1,
         false,
         true},
        {"an address completed from its first character",
         [](TDefineSearch& d) {
             QTest::mouseClick(d.CheckBox2, Qt::LeftButton);
             typeInto(d.ComboBox1, "0");
             EXPECT_EQ(d.ComboBox1->currentText(), "0x5");
         },
         {"All", "0x1", "0x3"},
         [](TDefineSearch& d) { typeInto(d.ComboBox3, "0x3"); },
         255,
         0,
         2,
         false,
         true},
        {"an address that is no item",
         [](TDefineSearch& d) {
             QTest::mouseClick(d.CheckBox2, Qt::LeftButton);
             typeInto(d.ComboBox1, "0x7");
         },
         {"Nothing"},
         [](TDefineSearch&) {},
         255,
         255,
         0,
         true,
         false},
        {"a kind",
         [](TDefineSearch& d) { typeInto(d.ComboBox2, "DATA1"); },
         {"All", "0x1", "0x3"},
         [](TDefineSearch&) {},
         7,
         0,
         0,
         false,
         false},
        {"a kind that is no item",
         [](TDefineSearch& d) { typeInto(d.ComboBox2, "Q"); },
         {"All", "0x1", "0x3"},
         [](TDefineSearch&) {},
         255,
         0,
         0,
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        criteria_ = {};
        criteria_.pidIndex = 255;
        criteria_.pidEnabled = true;
        auto d = open();
        d->show();
        d->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(d.get()));
        c.type(*d);
        EXPECT_EQ(Items(d->ComboBox3), c.endpoints);
        c.then(*d);
        QTest::mouseClick(d->Button2, Qt::LeftButton);
        EXPECT_EQ(criteria_.pidIndex, c.pidIndex);
        EXPECT_EQ(criteria_.addressIndex, c.addressIndex);
        EXPECT_EQ(criteria_.endpointIndex, c.endpointIndex);
        EXPECT_EQ(criteria_.addressAnyEndpoint, c.anyEndpoint);
        EXPECT_EQ(criteria_.addressWithEndpoint, c.withEndpoint);
    }
}

TEST_F(SearchDialog, AddressThatNamesNoRowOffersNothing) {
    criteria_.addressIndex = 255;
    criteria_.addressAnyEndpoint = true;
    auto d = open();
    EXPECT_EQ(d->ComboBox1->currentIndex(), -1);
    ASSERT_EQ(d->ComboBox3->count(), 1);
    EXPECT_EQ(d->ComboBox3->itemText(0), "Nothing");
    d->Button2->click();
    EXPECT_TRUE(criteria_.addressAnyEndpoint); // "Nothing" is item 0
    EXPECT_EQ(criteria_.addressIndex, 255);
}

TEST_F(SearchDialog, NoCaptureLeavesTheListsEmpty) {
    table_.clear();
    auto d = open();
    EXPECT_EQ(d->ComboBox1->count(), 0);
    EXPECT_EQ(d->ComboBox3->count(), 0);
    d->CheckBox2->click();
    d->Button2->click();
    EXPECT_TRUE(criteria_.addressWithEndpoint);
    EXPECT_EQ(criteria_.addressIndex, 255);
    EXPECT_EQ(criteria_.endpointIndex, 255);
}

TEST_F(SearchDialog, PatternKeysAreFiltered) {
    auto d = open();
    d->CheckBox3->click();
    QTest::keyClicks(d->Edit3, "0a0b");
    EXPECT_EQ(d->Edit3->text(), "0A0B");
    QTest::keyClicks(d->Edit3, "gx -");
    EXPECT_EQ(d->Edit3->text(), "0A0B");
    QTest::keyClick(d->Edit3, Qt::Key_Backspace);
    QTest::keyClicks(d->Edit3, "F");
    EXPECT_EQ(d->Edit3->text(), "0A0F");
    EXPECT_EQ(FilterPatternKey('c'), 'C');
    EXPECT_EQ(FilterPatternKey('G'), 0);
}

// A pasted text (the filter lets pastes through unchecked) reads the same at every reopening;
// one too long for the criteria keeps the whole characters that fit.
TEST_F(SearchDialog, PastedPatternSurvivesReopening) {
    const QString eAcute(QChar(0x00E9));
    const struct {
        const char* name;
        QString pasted;
        QString kept;
    } cases[] = {
        {"accents and symbols", QString::fromUtf8("0A \u00E9\u00DC \u20AC \u4E2D"),
         QString::fromUtf8("0A \u00E9\u00DC \u20AC \u4E2D")},
        {"128 two-byte characters", eAcute.repeated(128), eAcute.repeated(64)},
        {"a three-byte character across the limit", QString(127, u'A') + QChar(0x20AC),
         QString(127, u'A')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        criteria_ = {};
        auto d = open();
        QTest::mouseClick(d->CheckBox3, Qt::LeftButton);
        QApplication::clipboard()->setText(c.pasted);
        QTest::mouseClick(d->Edit3, Qt::LeftButton);
        QTest::keyClick(d->Edit3, Qt::Key_V, Qt::ControlModifier);
        ASSERT_EQ(d->Edit3->text(), c.pasted);
        QTest::mouseClick(d->Button2, Qt::LeftButton);
        for (int reopening = 0; reopening < 3; ++reopening) {
            auto again = open();
            EXPECT_EQ(again->Edit3->text(), c.kept) << "reopening " << reopening;
            QTest::mouseClick(again->Button2, Qt::LeftButton);
        }
    }
}

TEST_F(SearchDialog, EmptyPatternStillStoresAnActiveDataCriterion) {
    auto d = open();
    d->CheckBox3->click();
    d->Button2->click();
    EXPECT_TRUE(criteria_.dataEnabled);
    EXPECT_EQ(criteria_.dataPatternLength, 0);
}

TEST_F(SearchDialog, CloseBoxKeepsThePreviousCriteria) {
    const SearchCriteria before = criteria_;
    auto d = open();
    d->CheckBox1->click();
    d->CheckBox3->click();
    d->close();
    EXPECT_EQ(criteria_, before);
}

using test::Append;
using test::Packet;

/// 40 lines: SETUP/DATA0/ACK transactions to address 5, an ACK on line 37 and a NAK last.
std::vector<std::uint8_t> SearchCapture() {
    std::vector<std::uint8_t> f;
    for (int i = 0; i < 12; ++i) {
        Append(f, Packet(0x2D, {0x05, 0x00}));
        Append(f, Packet(0xC3, {0x80, 0x06, static_cast<std::uint8_t>(i), 0xAA, 0xBB}));
        Append(f, Packet(0xD2));
    }
    Append(f, Packet(0xA5, {0x01, 0x00}));
    Append(f, Packet(0x69, {0x05, 0x00}));
    Append(f, Packet(0xD2));
    Append(f, Packet(0x5A));
    return f;
}

class WindowSearch : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        const auto bytes = SearchCapture();
        std::ofstream(dir_.filePath("usbdata.dat").toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        form_ = std::make_unique<app::TMainForm>(analyzer_);
        form_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
        form_->show();
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }
    void searchKind(int pid) {
        form_->SearchCriteria.pidEnabled = true;
        form_->SearchCriteria.pidIndex = static_cast<std::uint8_t>(pid);
    }

    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<app::TMainForm> form_;
    QStringList messages_;

private:
    QTemporaryDir dir_;
    QString previous_;
};

TEST_F(WindowSearch, FindsFromStartThenFromTheCursor) {
    searchKind(3); // ACK
    form_->Button1->click();
    EXPECT_EQ(form_->ListBox1->topIndex(), 0); // ACK on line 2: top line 0
    EXPECT_EQ(form_->ListBox1->itemIndex(), 3);
    EXPECT_TRUE(form_->RadioButton2->isChecked());
    EXPECT_FALSE(form_->RadioButton1->isChecked());
    form_->Button1->click();
    EXPECT_EQ(form_->ListBox1->topIndex(), 3); // ACK on line 5: its transaction on top
    EXPECT_EQ(form_->ListBox1->itemIndex(), 6);
    EXPECT_TRUE(messages_.isEmpty());
    EXPECT_EQ(form_->ProgressBar1->value(), 0);
}

TEST_F(WindowSearch, FromCursorWithoutCursorStartsAtTheTop) {
    searchKind(0); // SETUP
    form_->RadioButton2->click();
    EXPECT_FALSE(form_->RadioButton1->isChecked());
    form_->Button1->click();
    EXPECT_EQ(form_->ListBox1->itemIndex(), 1);
}

TEST_F(WindowSearch, NotFoundLeavesCursorAndScrollAlone) {
    searchKind(5); // STALL
    form_->ListBox1->setTopIndex(4);
    QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                      form_->ListBox1->itemRect(7).center());
    form_->SearchNext1->trigger();
    EXPECT_EQ(messages_, QStringList{"Not found"});
    EXPECT_EQ(form_->ListBox1->itemIndex(), 7);
    EXPECT_EQ(form_->ListBox1->topIndex(), 4);
    EXPECT_TRUE(form_->RadioButton2->isChecked());

    // Nothing switched on: a full scan, "Not found".
    form_->SearchCriteria = {};
    form_->SearchfromTop1->trigger();
    EXPECT_EQ(messages_.size(), 2);
    EXPECT_TRUE(form_->RadioButton2->isChecked()); // ticked after every search
}

TEST_F(WindowSearch, MatchOnTheLastLineThenSearchingOnSaysNotFound) {
    searchKind(4); // NAK, the last record
    form_->SearchfromTop1->trigger();
    EXPECT_EQ(form_->ListBox1->itemIndex(), 39);
    EXPECT_FALSE(form_->ListBox1->itemRect(39).isEmpty());
    form_->SearchNext1->trigger();
    EXPECT_EQ(messages_, QStringList{"Not found"});
    // Search from Top finds it again.
    form_->SearchfromTop1->trigger();
    EXPECT_EQ(form_->ListBox1->itemIndex(), 39);
    EXPECT_EQ(messages_.size(), 1);
}

// After a match on the last line, a click or key that sets the cursor (even back onto that
// line) makes the next search from the cursor examine the cursor line.
TEST_F(WindowSearch, SettingTheCursorEndsResumingAfterTheLastMatch) {
    const auto clickLine = [this](std::int64_t line) {
        QTest::mouseClick(form_->ListBox1->viewport(), Qt::LeftButton, {},
                          form_->ListBox1->itemRect(line).center());
    };
    const struct {
        const char* name;
        std::function<void()> move;
        bool found;
    } cases[] = {
        {"another line, then the last line",
         [&] {
             clickLine(38);
             clickLine(39);
         },
         true},
        {"the last line itself", [&] { clickLine(39); }, true},
        {"up and down",
         [this] {
             QTest::keyClick(form_->ListBox1, Qt::Key_Up);
             QTest::keyClick(form_->ListBox1, Qt::Key_Down);
         },
         true},
        {"End", [this] { QTest::keyClick(form_->ListBox1, Qt::Key_End); }, true},
        {"a key that moves nothing", [this] { QTest::keyClick(form_->ListBox1, Qt::Key_A); },
         false},
    };
    searchKind(4); // NAK, the last record
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        messages_.clear();
        form_->SearchfromTop1->trigger();
        ASSERT_EQ(form_->ListBox1->itemIndex(), 39);
        c.move();
        ASSERT_EQ(form_->ListBox1->itemIndex(), 39);
        QTest::mouseClick(form_->Button1, Qt::LeftButton);
        EXPECT_EQ(messages_.isEmpty(), c.found) << messages_.join(",").toStdString();
        EXPECT_EQ(form_->ListBox1->itemIndex(), 39);
    }
}

TEST_F(WindowSearch, ShrinkViewFollowsTheMatch) {
    form_->ListBox2->resize(form_->ListBox2->width(), 20); // small, so it must scroll
    searchKind(9);                                         // SOF on line 36
    form_->Button1->click();
    EXPECT_EQ(form_->ListBox1->itemIndex(), 37);
    EXPECT_EQ(form_->ListBox2->topIndex(),
              std::max<std::int64_t>(0, form_->ListBox1->topIndex() - 50));
}

TEST_F(WindowSearch, AddressPositionsThatNameNothingFindNothing) {
    searchKind(2); // IN
    form_->SearchCriteria.addressAnyEndpoint = true;
    form_->SearchCriteria.addressIndex = 7; // the capture has one address
    form_->Button1->click();
    EXPECT_EQ(messages_, QStringList{"Not found"});
    form_->SearchCriteria.addressIndex = 0;
    form_->SearchfromTop1->trigger();
    EXPECT_EQ(form_->ListBox1->itemIndex(), 38);
}

TEST_F(WindowSearch, DefineSearchOpensTheDialogOnTheCriteria) {
    form_->SearchCriteria.pidEnabled = true;
    form_->SearchCriteria.pidIndex = 4;
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<TDefineSearch*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        checked = d->CheckBox1->isChecked() && d->ComboBox2->currentIndex() == 4 &&
                  d->ComboBox1->itemText(0) == "0x5";
        d->CheckBox1->click();
        d->Button2->click();
    });
    form_->DefineSearch1->trigger();
    EXPECT_TRUE(checked);
    EXPECT_FALSE(form_->SearchCriteria.pidEnabled);
}

// Ctrl+F opens Define Search; F3 then finds the next match from the cursor, as Search from
// Cursor does.
TEST_F(WindowSearch, CtrlFDefinesTheSearchAndF3FindsTheNext) {
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    bool opened = false;
    QTimer::singleShot(0, [&] {
        auto* d = qobject_cast<TDefineSearch*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        opened = true;
        d->Button2->click(); // Close, as it stands
    });
    searchKind(3); // ACK
    QTest::keyClick(form_.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(opened);
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    const struct {
        std::int64_t item; // where each F3 leaves the cursor
    } presses[] = {{3}, {6}};
    for (const auto& p : presses) {
        QTest::keyClick(form_->ListBox1, Qt::Key_F3);
        EXPECT_EQ(form_->ListBox1->itemIndex(), p.item);
    }
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
}

} // namespace
} // namespace vintrace::search
