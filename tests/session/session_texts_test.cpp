// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/session_texts.h"

#include <gtest/gtest.h>

namespace {

TEST(SessionTexts, PrimitiveStartLines) {
    using namespace session_text;
    EXPECT_EQ(waitForCharStart('>', 0, "X", 2000),
              "iWaitForChar to \">\" or \"\"; Command: X (delay 2000)");
    EXPECT_EQ(waitForCharStart('>', 0, "", 10000),
              "iWaitForChar to \">\" or \"\"; Command:  (delay 10000)");
    EXPECT_EQ(betweenCharsStart('#', '>', "R", 8000),
              "iWaitForChar to \"#\" or \">\"; Command: R (delay 8000)");
    EXPECT_EQ(untilTerminationStart('>', "A", 2000),
              "iWaitForStringNUntilTermination to \">\"; Command: A (delay 2000)");
    EXPECT_EQ(captureStart('>', "F", 4000), "iCaptureTo to \">\"; Command: F (delay 4000)");
    EXPECT_EQ(captureStart(0, "F", 4294967295u),
              "iCaptureTo to \"\"; Command: F (delay 4294967295)");
}

TEST(SessionTexts, CloseAndOpenFailureTexts) {
    using namespace session_text;
    EXPECT_EQ(closeLine(true, 3, 19200), "Comm CLOSE active (3:19200)");
    EXPECT_EQ(closeLine(false, 3, 19200), "Comm CLOSE inactive");
    EXPECT_EQ(unableToOpen(12, false), "Unable to open COM12.");
    const std::string inUse = unableToOpen(3, true);
    EXPECT_EQ(inUse.rfind("Unable to open COM3. Port in use. Other applications", 0), 0u);
    EXPECT_EQ(std::count(inUse.begin(), inUse.end(), '\n'), 3);
    EXPECT_NE(inUse.find("\nicon in the system tray and select \"Exit\")."), std::string::npos);
}

} // namespace
