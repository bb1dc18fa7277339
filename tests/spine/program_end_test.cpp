// SPDX-License-Identifier: GPL-3.0-or-later
// How the program ends when something is still going on: a termination signal while a real
// start-up box is open, and Exit while an exchange with the unit waits for its answer.
#include "dialogs/Dialogs.h"
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "serial/fSerial.h"
#include "spine_fixture.h"
#include "start/program_start.h"
#include "support/pty_pair.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

class ProgramEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        where = sandbox.locations(); // no serial device at all: a start-up box
        tempFiles = sandbox.tempFiles();
    }
    void TearDown() override {
        RemoveTerminationSignals();
        DestroyProgramWindows();
        dialogs::setProgramEnding(false);
    }

    std::vector<std::string> logged() const {
        std::vector<std::string> out;
        for (const auto& l : crlfLines(readBytes(tempFiles + "XRQ_log.txt")))
            out.push_back(l.substr(17));
        return out;
    }

    testsupport::ProgramSandbox sandbox;
    ProgramLocations where;
    std::string tempFiles;
};

// Sends a signal to this process as soon as a message box appears.
class SignalOnBox : public QObject {
public:
    explicit SignalOnBox(int sig) : m_sig(sig) { qApp->installEventFilter(this); }
    ~SignalOnBox() override { qApp->removeEventFilter(this); }
    bool boxSeen = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!boxSeen && event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched)) {
            boxSeen = true;
            ::raise(m_sig);
        }
        return false;
    }

private:
    int m_sig;
};

} // namespace

TEST_F(ProgramEnd, SignalDuringAStartUpBoxEndsTheProgram) {
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        InstallTerminationSignals(qApp);
        // The box opens inside FormShow, before the program's loop runs; the signal comes
        // while it waits for the operator.
        SignalOnBox signaller(sig);
        // Should the program not end, the test must not hang: the box is answered, the loop
        // left, and the test fails on the flags below.
        QTimer rescue;
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Ok)->click();
            QTimer::singleShot(0, [] { QCoreApplication::exit(); });
        });
        rescue.start(60000);
        QElapsedTimer clock;
        clock.start();
        CreateProgramWindows(where);
        RunProgram(*qApp);
        EXPECT_TRUE(rescue.isActive()) << "ended only by the rescue";
        rescue.stop();
        EXPECT_TRUE(signaller.boxSeen);
        EXPECT_EQ(FormXRQMain, nullptr);
        const auto lines = logged();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), " (:00303) ***** Program End *****");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), sig == SIGTERM ? 1 : 2);
        RemoveTerminationSignals();
    }
}

TEST_F(ProgramEnd, ExitDuringAnExchangeAsksAndYesStopsIt) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(tempFiles + "ports")));
    testsupport::PtyPair pty; // a unit that never answers
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tempFiles + "ports", 1);
    dialogs::ScriptedDialogs boxes;
    CreateProgramWindows(where);
    FormXRQMain->show();
    ASSERT_EQ(FormSerial->iOpenPort(), 0);

    // No: the exchange runs on and the program stays.
    boxes.queueAnswer(false);
    int result = 0;
    QTimer::singleShot(0, [] { FormXRQMain->close(); });
    result = FormSerial->iWaitForChar("!", '>', 0, 1500);
    EXPECT_EQ(result, -1); // its own time-out
    EXPECT_TRUE(FormXRQMain->isVisible());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].kind, dialogs::BoxKind::Confirm);
    EXPECT_FALSE(boxes.shown[0].defaultYes);

    // Yes: the exchange ends at once, the port is closed, no box follows, and the end line
    // waits until the handler has unwound.
    boxes.queueAnswer(true);
    QTimer::singleShot(0, [] { FormXRQMain->close(); });
    QElapsedTimer clock;
    clock.start();
    result = FormSerial->iWaitForChar("!", '>', 0, 60000);
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(FormXRQMain->isVisible());
    EXPECT_FALSE(FormSerial->PortOpen);
    EXPECT_TRUE(FormSerial->ExchangesStopped());
    DlgError("late message of the stopped handler");
    EXPECT_EQ(FormSerial->iWaitForChar("!", '>', 0, 60000), -1); // refused at once
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_NE(logged().back(), " (:00303) ***** Program End *****");
    DestroyProgramWindows();
    const auto lines = logged();
    EXPECT_EQ(lines.back(), " (:00303) ***** Program End *****");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), 1);
}
