// Opening captures the way users do: a file named at start-up, a dropped file, File > Recent.

#include "app/CommandEvent.h"
#include "app/TMainForm.h"
#include "capture/PcapFile.h"
#include "support/CaptureBytes.h"
#include "support/RecordingAnalyzer.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

namespace vintrace::app {
namespace {

using test::Append;
using test::Packet;

class OpenCapture : public ::testing::Test {
protected:
    void SetUp() override {
        // File > Recent lives in the settings: keep them in this test's folder.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        previous_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        write("usbdata.dat", 1);
        SharedCommand() = capture::CommandMessage{};
    }
    void TearDown() override {
        form_.reset();
        QDir::setCurrent(previous_);
    }
    /// A capture of `sofs` SOF packets, so each file tells itself apart by its size.
    std::string write(const QString& name, int sofs) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < sofs; ++i) {
            Append(bytes, Packet(0xA5, {static_cast<std::uint8_t>(i), 0x00}));
        }
        const std::string file = dir_.filePath(name).toStdString();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    TMainForm& open(bool loadDefault = true) {
        form_ = std::make_unique<TMainForm>(analyzer_, nullptr, loadDefault);
        form_->ShowMessage = [this](const QString&, const QString& text) { messages_ << text; };
        form_->show();
        return *form_;
    }
    QStringList recentItems() const {
        QStringList items;
        for (const QAction* a : form_->Recent1->actions()) {
            items << a->text();
        }
        return items;
    }
    /// Drags `urls` over the window and drops them, as the window system does; whether the
    /// window took the drag.
    bool drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        const QPoint at = form_->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &enter);
        if (!enter.isAccepted()) {
            return false;
        }
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &dropped);
        return dropped.isAccepted();
    }

    QTemporaryDir dir_;
    QTemporaryDir settingsDir_;
    QString previous_;
    test::RecordingAnalyzer analyzer_;
    std::unique_ptr<TMainForm> form_;
    QStringList messages_;
};

TEST_F(OpenCapture, AFileNamedAtStartUpIsLoadedInsteadOfTheDefault) {
    const std::string other = write("other.dat", 3);
    TMainForm& form = open(/*loadDefault=*/false);
    EXPECT_EQ(form.PacketList.size(), 0u); // usbdata.dat was not read
    form.OpenCaptureFile(other);
    EXPECT_EQ(form.CaptureFileName, other);
    EXPECT_EQ(form.PacketList.size(), 3u);
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(OpenCapture, WithoutAFileStartUpLoadsTheDefault) {
    EXPECT_EQ(open().PacketList.size(), 1u);
    EXPECT_EQ(form_->CaptureFileName, "usbdata.dat");
}

TEST_F(OpenCapture, APcapIsImportedBesideItself) {
    const std::string source = write("source.dat", 4);
    TMainForm& form = open();
    form.OpenCaptureFile(source);
    const std::string pcap = dir_.filePath("net.PCAP").toStdString();
    ASSERT_TRUE(
        capture::ExportPcap(form.PacketList, pcap, capture::UsbLinkType::FullSpeed, false).ok());
    form.OpenCaptureFile(pcap);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
    EXPECT_EQ(form.CaptureFileName, dir_.filePath("net.dat").toStdString());
    EXPECT_EQ(form.PacketList.size(), 4u);
}

// The same pcap dropped again opens its import; another pcap of that name, or a capture
// saved over the import, never leaves the user with an error and an empty window.
TEST_F(OpenCapture, APcapOpenedAgainOpensItsImportOrGoesToAFreeName) {
    TMainForm& form = open();
    const std::string pcap = dir_.filePath("mouse.pcapng").toStdString();
    const QUrl url = QUrl::fromLocalFile(QString::fromStdString(pcap));
    const auto exportOf = [&](int sofs) {
        form.OpenCaptureFile(write(QStringLiteral("source%1.dat").arg(sofs), sofs));
        std::filesystem::remove(pcap);
        ASSERT_TRUE(
            capture::ExportPcap(form.PacketList, pcap, capture::UsbLinkType::FullSpeed, false)
                .ok());
    };
    const std::string first = dir_.filePath("mouse.dat").toStdString();
    const std::string second = dir_.filePath("mouse-2.dat").toStdString();
    const struct {
        int sofs; // a new pcap of this many SOFs under the same name first; 0: the same again
        const std::string& opens;
    } steps[] = {{4, first}, {0, first}, {6, second}, {0, second}, {4, first}};
    for (const auto& step : steps) {
        if (step.sofs != 0) {
            exportOf(step.sofs);
        }
        ASSERT_TRUE(drop({url}));
        EXPECT_TRUE(messages_.isEmpty()) << messages_.join(' ').toStdString();
        EXPECT_EQ(form.CaptureFileName, step.opens);
        EXPECT_EQ(form.PacketList.size(), step.opens == first ? 4u : 6u);
    }
    EXPECT_FALSE(QFile::exists(dir_.filePath("mouse-3.dat")));
}

TEST_F(OpenCapture, AMissingFileSaysSoAndIsNotRemembered) {
    TMainForm& form = open();
    form.OpenCaptureFile(dir_.filePath("gone.dat").toStdString());
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("gone.dat")) << messages_[0].toStdString();
    EXPECT_TRUE(recentItems().isEmpty());
    EXPECT_FALSE(form.Recent1->isEnabled());
}

TEST_F(OpenCapture, ADroppedFileIsOpenedAndTwoAreRefused) {
    const std::string a = write("a.dat", 2);
    const std::string b = write("b.dat", 5);
    TMainForm& form = open();
    EXPECT_FALSE(drop({QUrl::fromLocalFile(QString::fromStdString(a)),
                       QUrl::fromLocalFile(QString::fromStdString(b))}));
    EXPECT_FALSE(drop({QUrl(QStringLiteral("https://example.invalid/c.dat"))}));
    EXPECT_EQ(form.PacketList.size(), 1u);
    EXPECT_TRUE(drop({QUrl::fromLocalFile(QString::fromStdString(b))}));
    EXPECT_EQ(form.CaptureFileName, b);
    EXPECT_EQ(form.PacketList.size(), 5u);
}

TEST_F(OpenCapture, RecentKeepsTheLastFiveNewestFirstAcrossRuns) {
    std::vector<std::string> files;
    for (int i = 1; i <= 6; ++i) {
        files.push_back(write(QStringLiteral("c%1.dat").arg(i), i));
    }
    open();
    for (const std::string& f : files) {
        form_->OpenCaptureFile(f);
    }
    form_->OpenCaptureFile(files[3]); // again: moves to the top, once
    const QStringList expected = {
        QString::fromStdString(files[3]), QString::fromStdString(files[5]),
        QString::fromStdString(files[4]), QString::fromStdString(files[2]),
        QString::fromStdString(files[1])};
    EXPECT_EQ(recentItems(), expected);
    ASSERT_TRUE(form_->recentWriter().waitStored(std::chrono::seconds(10)));

    // Opening the newest again leaves the settings file alone: its write waits for the disk.
    const QString stored =
        QSettings(QStringLiteral("Vintrace"), QStringLiteral("vintrace")).fileName();
    const QDateTime past = QDateTime::currentDateTime().addDays(-1);
    {
        QFile file(stored);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    form_->OpenCaptureFile(files[3]);
    ASSERT_TRUE(form_->recentWriter().waitStored(std::chrono::seconds(10)));
    EXPECT_EQ(QFileInfo(stored).lastModified().toSecsSinceEpoch(), past.toSecsSinceEpoch());
    EXPECT_EQ(recentItems(), expected);

    // A new run shows the same list, and choosing an item opens that capture.
    open();
    EXPECT_EQ(recentItems(), expected);
    EXPECT_TRUE(form_->Recent1->isEnabled());
    form_->Recent1->actions()[3]->trigger();
    QApplication::processEvents(); // the replaced items are deleted later
    EXPECT_EQ(form_->CaptureFileName, files[2]);
    EXPECT_EQ(form_->PacketList.size(), 3u);
    EXPECT_EQ(recentItems().first(), QString::fromStdString(files[2]));
    EXPECT_EQ(recentItems().size(), 5);
    form_.reset(); // quitting stores what is still pending
    EXPECT_GT(QFileInfo(stored).lastModified(), past);
}

TEST_F(OpenCapture, RecentIsStoredOffTheWindowsThreadAndMergedWithAnotherInstance) {
    const std::string first = write(QStringLiteral("first.dat"), 1);
    const std::string second = write(QStringLiteral("second.dat"), 2);
    open();
    ASSERT_TRUE(form_->recentWriter().waitStored(std::chrono::seconds(10)));
    const QString stored =
        QSettings(QStringLiteral("Vintrace"), QStringLiteral("vintrace")).fileName();
    // Another instance stores its own capture after this window has read the list.
    {
        QSettings other(QStringLiteral("Vintrace"), QStringLiteral("vintrace"));
        other.setValue(QStringLiteral("recentCaptures"), QStringList{QStringLiteral("/other.dat")});
        other.sync();
    }

    // While the settings stay locked (a disk that holds the write up), opening a capture
    // returns and its menu shows it; the write waits for the lock on its own thread. The
    // lock goes after a while in any case, so a write on the window's thread fails the checks
    // below rather than hanging.
    std::promise<bool> locked;
    std::promise<void> release;
    std::thread holder([&stored, &locked, releasing = release.get_future()] {
        QLockFile lock(stored + QStringLiteral(".lock"));
        const bool held = lock.tryLock(0);
        locked.set_value(held);
        if (held) {
            releasing.wait_for(std::chrono::seconds(20));
        }
    });
    EXPECT_TRUE(locked.get_future().get());
    form_->OpenCaptureFile(first);
    form_->OpenCaptureFile(second);
    EXPECT_EQ(form_->CaptureFileName, second);
    EXPECT_EQ(recentItems(),
              (QStringList{QString::fromStdString(second), QString::fromStdString(first)}));
    EXPECT_FALSE(form_->recentWriter().waitStored(std::chrono::milliseconds(50)));
    // Read as a file: the settings of this process wait for the worker's write meanwhile.
    QFile file(stored);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    EXPECT_TRUE(before.contains("/other.dat")) << before.toStdString();
    EXPECT_FALSE(before.contains("first.dat")) << before.toStdString();

    release.set_value();
    holder.join();
    ASSERT_TRUE(form_->recentWriter().waitStored(std::chrono::seconds(10)));
    const QStringList merged = {QString::fromStdString(second), QString::fromStdString(first),
                                QStringLiteral("/other.dat")};
    EXPECT_EQ(QSettings(stored, QSettings::NativeFormat).value("recentCaptures").toStringList(),
              merged);
    // The menu learns of the other instance's capture once the list is stored.
    EXPECT_TRUE(QTest::qWaitFor([&] { return recentItems() == merged; }, 5000))
        << recentItems().join(QLatin1Char(',')).toStdString();
}

} // namespace
} // namespace vintrace::app
