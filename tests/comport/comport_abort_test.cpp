// SPDX-License-Identifier: GPL-3.0-or-later
#include "comport/Comport.h"
#include "platform/exception_guard.h"
#include "support/exception_boxes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// An OnError handler that chooses caAbort ends the operation with the silent abort: the
// handler guard shows nothing for it, while a plain failure of the same call is shown.
TEST(ComPortAbort, AbortChosenInOnErrorIsNeverReportedButAFailureIs) {
    testsupport::ExceptionBoxes boxes;
    std::vector<std::string>& shown = boxes.messages;
    TComPort port;
    TComAction chosen = caAbort;
    port.SetOnError(TComErrorEvent::fromCallable(
        &shown, nullptr,
        [&](TCustomComPort*, EComError&, TComAction& action) { action = chosen; }));

    platform::runGuarded([&] { port.RaiseError(5, "Access is denied"); });
    EXPECT_TRUE(shown.empty());

    chosen = caFail;
    platform::runGuarded([&] { port.RaiseError(5, "Access is denied"); });
    EXPECT_EQ(shown, (std::vector<std::string>{"Access is denied"}));
}
