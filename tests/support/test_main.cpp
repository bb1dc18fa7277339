// SPDX-License-Identifier: GPL-3.0-or-later
// Every test program runs with a QApplication on the main thread, headless, so that
// widgets, timers and queued calls to the UI thread behave as in the program; its boxes are
// the windowed program's (a test that answers them scripts them).
#include "widgets/message_boxes.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    installMessageBoxes();
    return RUN_ALL_TESTS();
}
