// Runs the GUI tests inside the application object, on the offscreen platform unless the
// caller chose another.

#include "app/VintraceApplication.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    vintrace::app::VintraceApplication application(argc, argv);
    // Settings the window keeps (File > Recent) go to a folder of this run, not the user's.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
