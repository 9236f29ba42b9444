// vintrace-acquire-bench: a whole acquisition of a full recording as a user sees it, from
// pressing Start to the decoded capture in the list, with the real 500 ms status timer and
// the analyzer emulator (started here, with the fill time given; default 0 s).
//
//   vintrace-acquire-bench [--fill-seconds S] [--runs N]
#include "app/TMainForm.h"
#include "device/DriverAnalyzer.h"
#include "platform/ShimSettings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    using namespace vintrace;
    std::string fill = "0";
    int runs = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--fill-seconds") {
            fill = argv[i + 1];
        } else if (std::string(argv[i]) == "--runs") {
            runs = std::atoi(argv[i + 1]);
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QTemporaryDir devices(QStringLiteral("/tmp/vtb-XXXXXX"));
    QTemporaryDir work;
    platform::SetDeviceRoot(devices.path().toStdString());
    QProcess emulator;
    emulator.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    emulator.start(QStringLiteral(VINTRACE_EMULATOR_PATH),
                   {QStringLiteral("--dir"), devices.path(), QStringLiteral("--fill-seconds"),
                    QString::fromStdString(fill)});
    emulator.setStandardErrorFile(QProcess::nullDevice());
    if (!emulator.waitForStarted()) {
        std::fprintf(stderr, "vintrace-acquire-bench: cannot start the emulator\n");
        return 2;
    }
    QThread::msleep(300);
    QDir::setCurrent(work.path());
    device::DriverAnalyzer analyzer;
    app::TMainForm form(analyzer);
    form.show();
    for (int run = 0; run < runs; ++run) {
        form.Session.clear();
        QElapsedTimer timer;
        timer.start();
        form.Button3->click();
        while (form.PacketList.empty() && timer.elapsed() < 60'000) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(1);
        }
        std::printf("run %d: Start to decoded list %.0f ms, %zu records, fill %s s\n", run + 1,
                    static_cast<double>(timer.elapsed()), form.PacketList.size(), fill.c_str());
        // Let the status timer go back to idle before the next run.
        timer.restart();
        while (timer.elapsed() < 600) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    emulator.terminate();
    emulator.waitForFinished();
    return 0;
}
