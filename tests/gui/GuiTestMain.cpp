// Runs the GUI tests inside the application object, on the offscreen platform unless the
// caller chose another.

#include "app/VintraceApplication.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    vintrace::app::VintraceApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
