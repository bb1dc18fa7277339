// SPDX-License-Identifier: GPL-3.0-or-later
// The primitives against a pty whose far end the test plays.
#include "session_fixture.h"

#include "comport/Comport.h"

#include <chrono>
#include <stdexcept>

namespace {

using sessiontest::soon;
using Clock = std::chrono::steady_clock;

class Primitives : public sessiontest::SessionFixture {
protected:
    void SetUp() override {
        openSession();
        newLog();
    }
    // The command as the far end saw it, once it has come.
    std::string commandSeen(std::size_t n) { return pty.readMaster(n); }
};

TEST_F(Primitives, WaitForCharResultsAndLogLines) {
    // Char1 ends the wait; the command reaches the unit unchanged.
    soon([&] {
        EXPECT_EQ(commandSeen(1), "X");
        pty.writeMaster("abc>");
    });
    EXPECT_EQ(form->iWaitForChar("X", '>', 0, 10000), 1);
    EXPECT_EQ(newLog(), (std::vector<std::string>{
                            "(:00517) iWaitForChar to \">\" or \"\"; Command: X (delay 10000)",
                            "(:00541) Command sent", "(:00556) Found"}));

    // Char2 gives 2.
    soon([&] { pty.writeMaster("?"); });
    EXPECT_EQ(form->iWaitForChar("", '~', '?', 10000), 2);

    // Nothing awaited arrives: -1 after the delay, still logging "Found". With Char2 0, a
    // zero byte on the line never matches.
    soon([&] { pty.writeMaster(std::string("\0zz", 3)); });
    newLog();
    EXPECT_EQ(form->iWaitForChar("", '>', 0, 300), -1);
    EXPECT_EQ(newLog().back(), "(:00556) Found");
}

TEST_F(Primitives, EmptyCommandSendsNothingAndAnUnscannedMatchEndsTheWaitAtOnce) {
    // The prompt is on the line before the call and no purge discards it.
    pty.writeMaster(">");
    const auto start = Clock::now();
    EXPECT_EQ(form->iWaitForChar("", '>', 0, 20000), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(pty.drainMaster(), "");
    EXPECT_EQ(newLog()[1], "(:00541) Command sent");
}

TEST_F(Primitives, BetweenCharsReturnsAtTheEighthCharacter) {
    char buffer[9] = {};
    soon([&] {
        EXPECT_EQ(commandSeen(1), "R");
        pty.writeMaster("xyz#abcdefgh"); // no prompt yet
    });
    EXPECT_EQ(form->iWaitForStringNBetweenChars("R", '#', '>', 10000, buffer, 8), 0);
    EXPECT_STREQ(buffer, "abcdefgh");
    EXPECT_EQ(newLog(), (std::vector<std::string>{
                            "(:00671) iWaitForChar to \"#\" or \">\"; Command: R (delay 10000)"}));

    // A short answer stops storing at '>' and waits out the delay.
    char shortBuffer[9] = {};
    soon([&] { pty.writeMaster("#abcd>efgh"); });
    EXPECT_EQ(form->iWaitForStringNBetweenChars("R", '#', '>', 400, shortBuffer, 8), 1);
    EXPECT_STREQ(shortBuffer, "abcd");
}

TEST_F(Primitives, UntilTerminationStoresTheRestOfTheTerminatingChunkUpToN) {
    char buffer[9] = {};
    soon([&] {
        commandSeen(1);
        pty.writeMaster("12>456789");
    });
    EXPECT_EQ(form->iWaitForStringNUntilTermination("A", '>', 10000, buffer, 8), 0);
    // The far end's bytes may come in one chunk or more: what is stored is a prefix of the
    // reply holding the terminator, never more than N.
    const std::string stored(buffer);
    EXPECT_EQ(std::string("12>456789").rfind(stored, 0), 0u) << stored;
    EXPECT_GE(stored.size(), 3u);
    EXPECT_LE(stored.size(), 8u);
    EXPECT_EQ(buffer[8], '\0');

    // Bytes beyond N are dropped, whatever the unit sends.
    char small[5];
    std::memset(small, 'q', sizeof small);
    soon([&] { pty.writeMaster(std::string(3000, 'z') + ">"); });
    EXPECT_EQ(form->iWaitForStringNUntilTermination("", '>', 10000, small, 4), 0);
    EXPECT_EQ(std::string(small, 5), std::string("zzzz") + '\0');
}

TEST_F(Primitives, InvalidCountIsRefusedBeforeAnythingIsSent) {
    char buffer[4] = {};
    EXPECT_THROW(form->iWaitForStringNUntilTermination("A", '>', 100, buffer, 0),
                 std::invalid_argument);
    EXPECT_THROW(form->iWaitForStringNBetweenChars("R", '#', '>', 100, buffer, -3),
                 std::invalid_argument);
    EXPECT_THROW(form->iWaitForStringNBetweenChars("R", '#', '>', 100, nullptr, 3),
                 std::invalid_argument);
    EXPECT_EQ(pty.drainMaster(), "");
    EXPECT_TRUE(newLog().empty());
}

TEST_F(Primitives, SessionClosedDuringAWaitEndsInTheTimeOut) {
    char buffer[9] = {};
    soon([&] {
        form->PortOpen = false; // as the removal of the port does
        pty.writeMaster("#abcdefgh>");
    });
    EXPECT_EQ(form->iWaitForStringNBetweenChars("", '#', '>', 500, buffer, 8), 1);
    EXPECT_STREQ(buffer, "");
    // Sending on a closed session does nothing.
    EXPECT_EQ(form->iSendString("R"), 1);
    EXPECT_EQ(form->iSendChar('R'), 1);
    EXPECT_EQ(pty.drainMaster(), "");
}

TEST_F(Primitives, ANestedExchangeIsRefusedAndDoesNotSpoilTheRunningOne) {
    char buffer[9] = {};
    int nested = 99;
    int nestedOpen = 99;
    soon([&] {
        EXPECT_TRUE(form->ExchangeRunning());
        nested = form->iWaitForChar("!", '>', 0, 10000);
        nestedOpen = form->iOpenPort();
        pty.writeMaster("#AB12CD34>");
    });
    EXPECT_EQ(form->iWaitForStringNBetweenChars("R", '#', '>', 10000, buffer, 8), 0);
    EXPECT_STREQ(buffer, "AB12CD34");
    EXPECT_EQ(nested, -1);
    EXPECT_EQ(nestedOpen, 1);
    EXPECT_TRUE(form->PortOpen);
    EXPECT_FALSE(form->ExchangeRunning());
    EXPECT_EQ(pty.readMaster(1), "R"); // the refused "!" never went out
    EXPECT_EQ(pty.drainMaster(), "");
    EXPECT_TRUE(dialogs.shown.empty()) << lastBox();
}

// Throws from inside the component's write, as a failing device would.
void failingWrite(QObject*, const void*, std::int32_t, bool) {
    throw EComError(5, "device gone");
}

TEST_F(Primitives, AnExceptionLeavingAPrimitiveResetsTheMatchState) {
    form->SerialCom->SetBeforeWrite(TReadWriteEvent(&failingWrite));
    ASSERT_TRUE(form->PortOpen);
    ASSERT_TRUE(form->SerialCom->Active());
    EXPECT_THROW(form->SerialCom->WriteChar('x'), EComError);
    char buffer[9] = {};
    EXPECT_THROW(form->iWaitForStringNUntilTermination("A", '>', 1000, buffer, 8), EComError);
    EXPECT_EQ(form->Match.StoreCount, 0);
    EXPECT_FALSE(form->ExchangeRunning());
    EXPECT_THROW(form->iCaptureTo("F", '>', 1000), EComError);
    EXPECT_FALSE(form->Match.Capturing);
    EXPECT_FALSE(form->ExchangeRunning());
    // A chunk arriving afterwards is neither stored nor breaks anything.
    form->SerialCom->SetBeforeWrite(nullptr);
    pty.writeMaster("late>");
    EXPECT_EQ(form->iWaitForChar("", '>', 0, 10000), 1);
    EXPECT_STREQ(buffer, "");
}

TEST_F(Primitives, AComponentClosedUnderneathClosesTheSessionAndIsReopenedByTheNextExchange) {
    // The component closes itself when its device vanishes: the session follows at once.
    form->SerialCom->Close();
    EXPECT_FALSE(form->PortOpen);
    EXPECT_TRUE(form->LostDevice());
    EXPECT_EQ(form->iSendChar('x'), 1);
    EXPECT_EQ(pty.drainMaster(), "");
    // The device is still there: the next exchange opens the port anew and sends.
    char buffer[9] = {};
    EXPECT_EQ(form->iWaitForStringNUntilTermination("A", '>', 300, buffer, 8), 1);
    EXPECT_TRUE(form->PortOpen);
    EXPECT_EQ(pty.readMaster(1), "A");
}

TEST_F(Primitives, SendStringPacesEveryCharacterAndSendCharDoesNot) {
    EXPECT_EQ(form->iSendString("26-03-21 07:05:09"), 0);
    EXPECT_EQ(pty.readMaster(17), "26-03-21 07:05:09");
    EXPECT_EQ(form->iSendChar('!'), 0);
    EXPECT_EQ(pty.readMaster(1), "!");
}

} // namespace
