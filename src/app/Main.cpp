// Program entry: the application object, the main window, the hidden dialog instances, the
// message loop.

#include "app/CommandLine.h"
#include "app/TAboutForm.h"
#include "app/TMainForm.h"
#include "app/VintraceApplication.h"
#include "capture/TDefineHide.h"
#include "device/DriverAnalyzer.h"
#include "device/TDefineTrigger.h"
#include "device/TSetFileSize.h"
#include "device/TUSBStatus.h"
#include "search/TDefineSearch.h"

#include <QScreen>
#include <QStyle>

#include <cstdio>
#include <optional>

int main(int argc, char** argv) {
    using namespace vintrace;
    // Answered before the application object exists: they need no display.
    if (const auto exitCode = app::AnswerInfoOption(argc, argv, stdout)) {
        return *exitCode;
    }
    // Declared out here only so that it outlives the steps: an exception that escapes the
    // window's construction is still shown in a message box.
    std::optional<app::VintraceApplication> application;
    return app::RunReportingExceptions(
        [&] {
            application.emplace(argc, argv);
            device::DriverAnalyzer analyzer;
            app::TMainForm mainForm(analyzer);
            mainForm.setGeometry(
                QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, mainForm.size(),
                                    application->primaryScreen()->availableGeometry()));
            // One hidden instance of each dialog, created in order for the effects of their
            // construction; every dialog shown to the user is a fresh instance.
            search::TDefineSearch defineSearch(mainForm.SearchCriteria, mainForm.EndpointTable,
                                               &mainForm);
            app::TAboutForm aboutForm(&mainForm);
            capture::TDefineHide defineHide(&mainForm);
            device::TDefineTrigger defineTrigger(analyzer, &mainForm); // sends trigger 15 again
            device::TUSBStatus usbStatus(&mainForm);
            device::TSetFileSize setFileSize(mainForm.CaptureSize, &mainForm);
            mainForm.show();
            application->exec();
        },
        &app::ReportStartUpException);
}
