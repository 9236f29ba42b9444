#pragma once

#include "app/CommandEvent.h"
#include "app/TDevicesForm.h"
#include "app/TMainForm.h"
#include "app/TTransfersForm.h"
#include "session/FindingsJob.h"
#include "support/RecordingAnalyzer.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace vintrace::test {

/// The main window over fs-badge.dat, opened as the default capture from a fresh current
/// folder, for the tests of the windows that open beside it.
class CompanionWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        ASSERT_TRUE(QFile::copy(QString::fromLatin1(VINTRACE_TEST_DATA "/fs-badge.dat"),
                                dir_.filePath(QStringLiteral("usbdata.dat"))));
        form_ = std::make_unique<app::TMainForm>(analyzer_);
        form_->ShowMessage = [](const QString&, const QString&) {};
        form_->show();
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }

    /// A click on the row, scrolled into sight first, as a user makes it.
    static void ClickRow(QTreeView* tree, const QModelIndex& index) {
        tree->scrollTo(index);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
    }
    void send(std::uint8_t command) {
        app::SharedCommand().setCommand(command);
        app::SendCommand(form_.get());
    }

    QTemporaryDir dir_;
    QString previous_;
    RecordingAnalyzer analyzer_;
    std::unique_ptr<app::TMainForm> form_;
};

/// One of the windows the View menu opens beside the main window (`open` chooses it and
/// returns it), opened and shown; the messages it would show in a box are kept instead.
template <typename Form> class CompanionWindowOpen : public CompanionWindowTest {
protected:
    void SetUp() override {
        CompanionWindowTest::SetUp();
        window_ = open(*form_);
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
        // The capture's check runs behind the windows and marks the Transfers window when it
        // ends; the tests act once it has, as a user acts on a settled window.
        session::FindingsJob& check = form_->hub().findings();
        ASSERT_TRUE(QTest::qWaitFor(
            [&check] { return !check.watching() || (!check.checking() && check.current()); },
            30000));
        window_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
    }
    virtual Form* open(app::TMainForm& form) = 0;

    Form* window_ = nullptr;
    QStringList messages_;
};

/// The Transfers window over the capture.
class TransfersWindowOpen : public CompanionWindowOpen<app::TTransfersForm> {
protected:
    app::TTransfersForm* open(app::TMainForm& form) override {
        form.Transfers1->trigger();
        return form.transfersForm();
    }
    QTreeView* tree() const { return window_->TransferTree; }
};

/// The Devices window over the capture.
class DevicesWindowOpen : public CompanionWindowOpen<app::TDevicesForm> {
protected:
    app::TDevicesForm* open(app::TMainForm& form) override {
        form.Devices1->trigger();
        return form.devicesForm();
    }
    QTreeView* tree() const { return window_->DeviceTree; }
};

/// The first row under `parent` of `tree`, depth first, whose text in `column` `wanted`
/// accepts; the rows above it expanded, as a user opens them to reach it.
inline QModelIndex FindRow(QTreeView* tree, const std::function<bool(const QString&)>& wanted,
                           const QModelIndex& parent = {}, int column = 0) {
    QAbstractItemModel* model = tree->model();
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (wanted(index.siblingAtColumn(column).data().toString())) {
            return index.siblingAtColumn(column);
        }
        if (const QModelIndex below = FindRow(tree, wanted, index, column); below.isValid()) {
            tree->expand(index);
            return below;
        }
    }
    return {};
}

/// The first row whose text, without the indentation, starts with `text`.
inline QModelIndex FindRow(QTreeView* tree, const QString& text, const QModelIndex& parent = {},
                           int column = 0) {
    return FindRow(
        tree, [&](const QString& t) { return t.trimmed().startsWith(text); }, parent, column);
}

} // namespace vintrace::test
