// Program entry: the application object, the main window, the hidden dialog instances, the
// message loop.

#include "app/CommandLine.h"
#include "app/TAboutForm.h"
#include "app/TDefineHide.h"
#include "app/TDefineSearch.h"
#include "app/TDefineTrigger.h"
#include "app/TMainForm.h"
#include "app/TSetFileSize.h"
#include "app/TUSBStatus.h"
#include "app/VintraceApplication.h"
#include "device/DriverAnalyzer.h"

#include <QScreen>
#include <QStyle>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace vintrace;
    // Answered before the application object exists: they need no display.
    if (const auto exitCode = app::AnswerInfoOption(argc, argv, stdout)) {
        return *exitCode;
    }
    // Declared out here only so that it outlives the steps: an exception that escapes the
    // window's construction is still shown in a message box.
    std::optional<app::VintraceApplication> application;
    int usageError = 0;
    const int status = app::RunReportingExceptions(
        [&] {
            application.emplace(argc, argv);
            // Qt has taken its own options by now; what is left is ours.
            std::vector<std::string> args;
            for (const QString& arg : application->arguments().mid(1)) {
                args.push_back(arg.toLocal8Bit().toStdString());
            }
            const app::StartupArguments startup = app::ParseStartupArguments(args);
            if (!startup.error.empty()) {
                std::fprintf(stderr, "vintrace: %s (see vintrace --help)\n", startup.error.c_str());
                usageError = 2;
                return;
            }
            device::DriverAnalyzer analyzer;
            app::TMainForm mainForm(analyzer, nullptr, !startup.file.has_value());
            mainForm.setGeometry(
                QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, mainForm.size(),
                                    application->primaryScreen()->availableGeometry()));
            // One hidden instance of each dialog, created in order for the effects of their
            // construction; every dialog shown to the user is a fresh instance.
            app::TDefineSearch defineSearch(mainForm.SearchCriteria, mainForm.EndpointTable,
                                            &mainForm);
            app::TAboutForm aboutForm(&mainForm);
            app::TDefineHide defineHide(&mainForm);
            app::TDefineTrigger defineTrigger(analyzer, &mainForm); // sends trigger 15 again
            app::TUSBStatus usbStatus(&mainForm);
            app::TSetFileSize setFileSize(mainForm.CaptureSize, &mainForm);
            mainForm.show();
            if (startup.file) {
                mainForm.OpenCaptureFile(*startup.file);
            }
            application->exec();
        },
        &app::ReportStartUpException);
    return usageError != 0 ? usageError : status;
}
