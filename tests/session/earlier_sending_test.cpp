// SPDX-License-Identifier: GPL-3.0-or-later
// A unit still sending something earlier: bytes that answer nothing are read until the line has
// been quiet for a second (at most the limit) before the next command goes out, and handed to
// the session's hooks; a quiet line costs the exchange nothing.
#include "session_fixture.h"

#include "support/wait.h"

#include <QTimer>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using sessiontest::SessionFixture;

class EarlierSending : public SessionFixture {
protected:
    void SetUp() override {
        openSession();
        form->OnEarlierSending.began = [this] { ++began; };
        form->OnEarlierSending.received = [this](std::string_view b) { tail.append(b); };
        form->OnEarlierSending.ended = [this](std::uint64_t n, bool cut) {
            ++ended;
            count = n;
            cutOff = cut;
        };
    }
    // The unit sends `chunk` every `ms` ms, `times` times (0: until stopped); with
    // `quietCheck`, before each chunk the line toward the unit must have carried nothing.
    void stream(const std::string& chunk, int ms, int times, bool quietCheck = true) {
        m_left = times;
        QObject::disconnect(&m_stream, nullptr, nullptr, nullptr);
        QObject::connect(&m_stream, &QTimer::timeout, [this, chunk, times, quietCheck] {
            if (quietCheck) {
                EXPECT_EQ(pty.drainMaster(1ms), "") << "a command went out while the unit sent";
            }
            pty.writeMaster(chunk);
            if (times > 0 && --m_left == 0)
                m_stream.stop();
        });
        m_stream.start(ms);
    }
    bool logHas(const std::vector<std::string>& lines, const std::string& start) {
        for (const auto& l : lines)
            if (l.rfind(start, 0) == 0)
                return true;
        return false;
    }

    int began = 0, ended = 0;
    std::string tail;
    std::uint64_t count = 0;
    bool cutOff = false;
    QTimer m_stream;
    int m_left = 0;
};

TEST_F(EarlierSending, AQuietLineIsNotWaitedFor) {
    EXPECT_FALSE(form->MayBeSending()); // so the command goes out at once
    EXPECT_EQ(form->iWaitForChar("Q", '>', 0, 50), -1);
    EXPECT_EQ(pty.readMaster(1), "Q");
    EXPECT_EQ(began + ended, 0);
    EXPECT_FALSE(logHas(newLog(), "(:01203)"));
}

TEST_F(EarlierSending, BytesThatAnswerNothingAreReadUntilQuietThenTheCommandGoesOut) {
    // Unasked bytes while no exchange waits: the unit is sending.
    pty.writeMaster("old");
    ASSERT_TRUE(testsupport::waitUntil([&] { return form->MayBeSending(); }));
    stream("bb", 100, 5);
    newLog();
    EXPECT_EQ(form->iWaitForChar("X", '>', 0, 50), -1);
    EXPECT_EQ(m_left, 0); // the stream had ended before the command went out
    EXPECT_EQ(pty.readMaster(1), "X");
    EXPECT_EQ(began, 1);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(tail, "bbbbbbbbbb");
    EXPECT_EQ(count, 10u);
    EXPECT_FALSE(cutOff);
    const auto lines = newLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("(:01203) The XRQ unit was still sending (10 bytes", 0), 0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("(:00517) iWaitForChar", 0), 0u) << lines[1];
    // Waited out: the next exchange goes at once.
    EXPECT_FALSE(form->MayBeSending());
}

TEST_F(EarlierSending, AnExchangeThatGetsBytesButNoAnswerMakesTheNextOneWait) {
    stream("zz", 30, 20, false); // during the exchange; no '>' in it
    EXPECT_EQ(form->iWaitForChar("Y", '>', 0, 400), -1);
    EXPECT_EQ(pty.readMaster(1), "Y");
    EXPECT_EQ(began, 0);
    EXPECT_TRUE(form->MayBeSending());
    stream("cc", 50, 3);
    EXPECT_EQ(form->iWaitForChar("Z", '>', 0, 50), -1);
    EXPECT_EQ(pty.readMaster(1), "Z");
    EXPECT_EQ(began, 1);
    EXPECT_EQ(ended, 1);
}

TEST_F(EarlierSending, AUnitThatNeverStopsIsWaitedForOnlyUpToTheLimit) {
    form->EarlierLimitMs = 400;
    pty.writeMaster("old");
    ASSERT_TRUE(testsupport::waitUntil([&] { return form->MayBeSending(); }));
    stream("ss", 50, 0, false);
    EXPECT_EQ(form->iWaitForChar("W", '>', 0, 50), -1);
    m_stream.stop();
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(cutOff);
    EXPECT_GT(count, 0u);
    EXPECT_NE(pty.drainMaster(200ms).find('W'), std::string::npos); // then it went out
}

} // namespace
