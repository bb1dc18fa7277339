// SPDX-License-Identifier: GPL-3.0-or-later
// The session of session/ on its own, as xrq-collect drives it: no form, no window, the
// in-memory device as the unit's cable. Its primitives answer, its capture goes into the sink
// its caller passes (the echo it was handed sees every chunk), and a sink that fails ends the
// capture at once.
#include "dialogs/scripted_dialogs.h"
#include "platform/testing/memory_port.h"
#include "platform/win_comm.h"
#include "session/serial_session.h"
#include "support/fake_device_tree.h"
#include "support/program_sandbox.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using platform::MemoryNullModem;

constexpr int kPort = 7;

// Keeps every chunk it is handed; refuses from the `refuseFrom`-th on (0: never).
class KeepingSink : public session::ByteSink {
public:
    explicit KeepingSink(int refuseFrom = 0) : m_refuseFrom(refuseFrom) {}
    bool write(std::string_view bytes) override {
        ++chunks;
        if (m_refuseFrom > 0 && chunks >= m_refuseFrom)
            return false;
        kept.append(bytes);
        return true;
    }
    std::string kept;
    int chunks = 0;

private:
    int m_refuseFrom;
};

class SessionWithoutWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        sandbox.useRunLog();
        widgetsBefore = QApplication::allWidgets().size();
        session.ComPortNumber = kPort;
        session.BaudRate = 19200;
        QObject::connect(&session, &session::SerialSession::sessionChanged,
                         [this] { ++sessionChanges; });
        const std::string link = tree.ports() + "/COM" + std::to_string(kPort);
        ASSERT_EQ(::symlink(cable.name(MemoryNullModem::A).c_str(), link.c_str()), 0);
        ASSERT_EQ(session.iOpenPort(), 0)
            << (dialogs.shown.empty() ? std::string() : dialogs.shown.back().text);
        far = win::CreateFileA(cable.name(MemoryNullModem::B).c_str(),
                               win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(far, win::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (far != win::INVALID_HANDLE_VALUE)
            win::CloseHandle(far);
        session.iClosePort();
        // Nothing of it was a window.
        EXPECT_EQ(QApplication::allWidgets().size(), widgetsBefore);
    }
    // The unit on side B: reads what the session sent, answers `reply`, once the session
    // waits.
    void unitAnswers(std::size_t commandBytes, std::string reply) {
        QTimer::singleShot(0, [this, commandBytes, reply = std::move(reply)] {
            std::string got(commandBytes, '\0');
            win::DWORD done = 0;
            EXPECT_TRUE(win::ReadFile(far, got.data(), win::DWORD(got.size()), &done, nullptr));
            received += got.substr(0, done);
            EXPECT_TRUE(
                win::WriteFile(far, reply.data(), win::DWORD(reply.size()), &done, nullptr));
        });
    }

    testsupport::ProgramSandbox sandbox; // first in, last out
    testsupport::FakeDeviceTree tree;
    dialogs::ScriptedDialogs dialogs;
    MemoryNullModem cable;
    session::SerialSession session;
    win::HANDLE far = win::INVALID_HANDLE_VALUE;
    std::string received;
    int sessionChanges = 0;
    qsizetype widgetsBefore = 0;
};

} // namespace

TEST_F(SessionWithoutWindow, ItsPrimitivesAnswerOverTheCable) {
    EXPECT_TRUE(session.PortOpen);
    EXPECT_GE(sessionChanges, 1);
    unitAnswers(1, "\r\nXRQ S/N #QK7Z04M1>");
    char serial[9] = {};
    EXPECT_EQ(session.iWaitForStringNBetweenChars("R", '#', '>', 5000, serial, 8), 0);
    EXPECT_EQ(std::string(serial), "QK7Z04M1");
    EXPECT_EQ(received, "R");
    EXPECT_EQ(session.LastWaitEnd(), session::SerialSession::WaitEnd::Answered);
    session.AwaitReplyTail();

    unitAnswers(1, "\r\n>");
    EXPECT_EQ(session.iWaitForChar("?", '>', 0, 5000), 1);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(SessionWithoutWindow, ACaptureGoesIntoTheSinkItsCallerPassesAndTheEchoSeesItAll) {
    KeepingSink echo;
    session.ReceivedEcho = &echo;
    KeepingSink capture;
    const std::string download = "\r\nName: SITE1\r\n26/11/30 10:00:00,1.5\r\n>";
    unitAnswers(1, download);
    EXPECT_EQ(session.iCaptureTo("F", '>', 5000, &capture), 0);
    EXPECT_EQ(received, "F");
    EXPECT_EQ(capture.kept, download);
    EXPECT_EQ(echo.kept, download);
    // The capture is over: what comes next is no one's capture, but the echo still sees it.
    unitAnswers(1, "x>");
    EXPECT_EQ(session.iWaitForChar("?", '>', 0, 5000), 1);
    EXPECT_EQ(capture.kept, download);
    EXPECT_EQ(echo.kept, download + "x>");
    session.ReceivedEcho = nullptr;
}

TEST_F(SessionWithoutWindow, ASinkThatFailsEndsTheCaptureAtOnce) {
    KeepingSink refusing(1);
    unitAnswers(1, "\r\nName: SITE1\r\n1,2\r\n");
    // No prompt comes: only the refused chunk ends the wait before its 20 s.
    EXPECT_EQ(session.iCaptureTo("F", '>', 20000, &refusing), 1);
    EXPECT_EQ(session.LastWaitEnd(), session::SerialSession::WaitEnd::Stopped);
    EXPECT_EQ(refusing.kept, "");
    EXPECT_GE(refusing.chunks, 1);
}
