#pragma once

#include "app/CommandEvent.h"
#include "app/TMainForm.h"
#include "support/RecordingAnalyzer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstdint>
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

} // namespace vintrace::test
