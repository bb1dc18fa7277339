// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exception_guard.h"
#include "support/exception_boxes.h"

#include <QAction>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace {

class QuietStop : public std::exception, public platform::SilentException {
public:
    const char* what() const noexcept override { return "must never be shown"; }
};

// A silent exception that is not a std::exception at all.
struct BareQuiet : platform::SilentException {};

using Recorder = testsupport::ExceptionBoxes;

} // namespace

TEST(ExceptionGuard, SilentExceptionsPassQuietlyAndOthersAreShownOnce) {
    Recorder rec;
    platform::runGuarded([] { throw QuietStop(); });
    platform::runGuarded([] { throw BareQuiet(); });
    EXPECT_TRUE(rec.messages.empty());

    // The guard still reports everything else, and a silent one in between loses nothing.
    platform::runGuarded([] { throw std::runtime_error("line lost"); });
    platform::guarded([] { throw QuietStop(); })();
    platform::guarded([](int) { throw 42; })(1);
    EXPECT_EQ(rec.messages,
              (std::vector<std::string>{"line lost", "An unexpected error occurred."}));
}

TEST(ExceptionGuard, WrappedSlotTakesTheSignalsArgumentsOrNone) {
    // Qt learns how many of a signal's arguments a slot takes by asking whether it could be
    // called with fewer; the wrapper must answer that plainly, on every compiler.
    auto takesChecked = platform::guarded([](bool) {});
    auto takesNothing = platform::guarded([] {});
    static_assert(std::is_invocable_v<decltype(takesChecked)&, bool>);
    static_assert(!std::is_invocable_v<decltype(takesChecked)&>);
    static_assert(std::is_invocable_v<decltype(takesNothing)&, bool>);
    static_assert(std::is_invocable_v<decltype(takesNothing)&>);

    QAction action;
    action.setCheckable(true);
    std::vector<bool> seen;
    int plain = 0;
    QObject::connect(&action, &QAction::triggered,
                     platform::guarded([&](bool checked) { seen.push_back(checked); }));
    QObject::connect(&action, &QAction::triggered, platform::guarded([&] { ++plain; }));
    action.trigger();
    action.trigger();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_EQ(plain, 2);
}
