// SPDX-License-Identifier: GPL-3.0-or-later
// The terminal window against the program's session and a simulated unit on a pty.
#include "support/program_fixture.h"

#include "serial/fTerminal.h"

#include <QKeyEvent>
#include <QPlainTextEdit>

using namespace testsupport;

namespace {

void typeText(const QString& text, Qt::Key key = Qt::Key_unknown) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(FormTerminal->MemoTerminal, &press);
}

class Terminal : public ProgramFixture {
protected:
    void SetUp() override {
        ProgramFixture::SetUp();
        sim::SimOptions o;
        o.baud = 0;
        startUnit(o);
    }
    QString shown() {
        FormTerminal->FlushEcho();
        return FormTerminal->MemoTerminal->toPlainText();
    }
};

TEST_F(Terminal, FirstKeyOpensThePortAndIsSentThenTheReplyShows) {
    FormTerminal->show();
    EXPECT_TRUE(FormXRQMain->TerminalVisible);
    ASSERT_FALSE(FormSerial->PortOpen);
    typeText("A", Qt::Key_A);
    EXPECT_TRUE(FormSerial->PortOpen);
    ASSERT_TRUE(unit->waitForReceived("A", std::chrono::seconds(10)));
    // The reply's CR LF pairs show as line breaks; the typed key itself is not inserted.
    ASSERT_TRUE(waitUntil([&] { return shown().contains(">"); }));
    EXPECT_EQ(shown(), "\nBat: 12.61 V  Temp: 21.4 C\n>");
}

TEST_F(Terminal, KeysGoOutAsLatin1BytesAndOthersSendNothing) {
    FormTerminal->show();
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    typeText(QString(QChar(0xE9)));     // é: one Latin-1 byte
    typeText(QString(QChar(0x20AC)));   // €: no Latin-1 byte, nothing sent
    typeText(QString(), Qt::Key_Shift); // no character at all
    typeText("\r", Qt::Key_Return);
    ASSERT_TRUE(unit->waitForReceived("\r", std::chrono::seconds(10)));
    EXPECT_EQ(unit->received(), "\xe9\r");
    EXPECT_TRUE(FormTerminal->MemoTerminal->isReadOnly());
}

TEST_F(Terminal, HiddenWindowKeepsItsTextAndMissesWhatArrivesMeanwhile) {
    FormTerminal->show();
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    typeText("!");
    ASSERT_TRUE(waitUntil([&] { return shown().endsWith(">"); }));
    const QString before = shown();

    FormTerminal->close();
    EXPECT_FALSE(FormXRQMain->TerminalVisible);
    EXPECT_FALSE(FormTerminal->isVisible());
    // The unit answers while the window is hidden.
    ASSERT_EQ(FormSerial->iSendString("A"), 0);
    ASSERT_TRUE(unit->waitForReceived("A", std::chrono::seconds(10)));
    ASSERT_TRUE(unit->waitUntilIdle(std::chrono::seconds(10)));
    waitUntil([] { return false; }, 300); // let the reply be received while hidden

    FormTerminal->show();
    EXPECT_TRUE(FormXRQMain->TerminalVisible);
    EXPECT_EQ(shown(), before);
}

} // namespace
