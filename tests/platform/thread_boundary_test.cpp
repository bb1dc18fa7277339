// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/thread_boundary.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

// A worker's job that throws ends there, with its reason, and the worker goes on to the next:
// an exception leaving a std::thread's function would end the whole program.
TEST(ThreadBoundary, AThrowingJobEndsAloneWithItsReasonAndTheThreadGoesOn) {
    struct Case {
        const char* name;
        void (*job)();
        bool ok;
        const char* why;
    };
    const Case cases[] = {
        {"returns", [] {}, true, ""},
        {"std::exception", [] { throw std::invalid_argument("stoi"); }, false, "stoi"},
        {"anything else", [] { throw 42; }, false, "an unexpected error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        bool ok = !c.ok;
        int after = 0;
        std::thread worker([&] {
            ok = platform::runBoundary("a test's job", c.job, &why);
            ++after; // the thread went on past the job
        });
        worker.join();
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(after, 1);
    }
}

} // namespace
