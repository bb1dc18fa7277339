// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's unit actions, triggered on the main window against the simulated unit on a
// pty: the boxes in order, the run-log lines of each exchange, and the state left behind.
#include "support/program_fixture.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QStatusBar>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using dialogs::BoxKind;

struct Box {
    BoxKind kind;
    std::string text;
    bool operator==(const Box&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Box& b) {
    return os << static_cast<int>(b.kind) << ":" << b.text;
}

class UnitCommands : public testsupport::ProgramFixture {
protected:
    void startUnitWith(sim::SimOptions options = {}) {
        options.baud = 0;
        startUnit(options);
        // The port folder's arrival notice moves the session to the unit's port and closes
        // the port if open: taken before the first exchange, so that it closes nothing later.
        testsupport::waitUntil([this] {
            for (const auto& b : script->shown)
                if (b.text == "Com port COM" + std::to_string(kPort) + " added to system!")
                    return true;
            return false;
        });
    }
    // The boxes shown since the last call. The port folder's own arrival notice (the unit's
    // link appearing) may come at any point of the first exchange and is left out.
    std::vector<Box> boxes() {
        std::vector<Box> out;
        for (std::size_t i = m_seenBoxes; i < script->shown.size(); ++i)
            if (!isHotPlugNotice(script->shown[i].text))
                out.push_back({script->shown[i].kind, script->shown[i].text});
        m_seenBoxes = script->shown.size();
        return out;
    }
    // Run-log messages (time stamp cut off) since the last call.
    std::vector<std::string> logLines() {
        std::vector<std::string> out;
        std::string all = testsupport::readFile(LogFilePath);
        std::size_t pos = 0, n = 0;
        while (pos < all.size()) {
            std::size_t end = all.find("\r\n", pos);
            if (end == std::string::npos)
                end = all.size();
            if (n++ >= m_seenLog && !isHotPlugNotice(all.substr(pos, end - pos)))
                out.push_back(all.substr(pos + 18, end - pos - 18));
            pos = end + 2;
        }
        m_seenLog = n;
        return out;
    }
    bool unitActionsEnabled() const {
        return FormXRQMain->ActionSetClock->isEnabled() &&
               FormXRQMain->ActionCheckBat->isEnabled() &&
               FormXRQMain->ActionCollect->isEnabled() && FormXRQMain->ActionClearMem->isEnabled();
    }
    void connectOk() {
        FormXRQMain->ActionConnect->trigger();
        ASSERT_EQ(boxes(), (std::vector<Box>{{BoxKind::Info, "Connected to XRQ unit!"}}));
        logLines();
    }

private:
    static bool isHotPlugNotice(const std::string& text) {
        return text.find("Com port COM") != std::string::npos;
    }
    std::size_t m_seenBoxes = 0;
    std::size_t m_seenLog = 0;
};

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(UnitCommands, ConnectThenEachActionSucceeds) {
    sim::SimOptions o;
    o.serialNumber = "AB12CD34";
    o.batteryVolts = 12.25;
    o.temperatureC = -3.96;
    o.dataSets = sim::generateDataSets(1, 3);
    startUnitWith(o);
    boxes();
    logLines();
    EXPECT_FALSE(unitActionsEnabled());

    FormXRQMain->ActionConnect->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Info, "Connected to XRQ unit!"}}));
    EXPECT_TRUE(unitActionsEnabled());
    EXPECT_EQ(FormXRQMain->SerialNumber, "AB12CD34");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    auto log = logLines();
    // The unit's identity line names its pty, which differs from run to run.
    const auto unitLine = std::find_if(log.begin(), log.end(), [](const std::string& l) {
        return l.find(") Unit: AB12CD34 on COM") != std::string::npos;
    });
    ASSERT_NE(unitLine, log.end());
    // The other identity lines (the port number set by the test) are left out as well.
    log.erase(std::remove_if(
                  log.begin(), log.end(),
                  [](const std::string& l) { return l.find(") Unit: ") != std::string::npos; }),
              log.end());
    const std::vector<std::string> connectLines = {
        "(:00263) Open serial port",
        "(:00384) Comm CLOSE inactive",
        "(:00671) iWaitForChar to \"#\" or \">\"; Command: R (delay 8000)",
        "(:00517) iWaitForChar to \">\" or \"\"; Command: ! (delay 10000)",
        "(:00541) Command sent",
        "(:00556) Found",
        "(:00276) Connected to XRQ unit!"};
    EXPECT_EQ(log, connectLines);

    script->queueAnswer(true);
    FormXRQMain->ActionSetClock->trigger();
    auto shown = boxes();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], (Box{BoxKind::Confirm, "Set XRQ clock to computer?"}));
    ASSERT_EQ(shown[1].text.size(), std::string("Clock on XRQ set to ").size() + 17);
    const std::string clock = shown[1].text.substr(20);
    EXPECT_TRUE(unit->waitForReceived("S" + clock, std::chrono::seconds(10)));
    EXPECT_TRUE(testsupport::waitUntil([&] { return unit->clockSetCount() == 1; }));
    EXPECT_EQ(unit->lastClockText(), clock);

    FormXRQMain->ActionCheckBat->trigger();
    EXPECT_EQ(boxes(), std::vector<Box>{});
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.3 V");
    EXPECT_EQ(FormXRQMain->LabelTemp->text(), "-4.0 C");
    EXPECT_TRUE(contains(logLines(), "(:00593) iWaitForStringNUntilTermination to \">\"; "
                                     "Command: A (delay 2000)"));

    script->queueAnswer(true);  // not downloaded since connected: clear all the same
    script->queueAnswer(true);  // continue
    script->queueAnswer(false); // do not abort
    FormXRQMain->ActionClearMem->trigger();
    EXPECT_EQ(boxes().back(), (Box{BoxKind::Info, "XRQ Memory cleared"}));
    EXPECT_EQ(unit->clearCount(), 1);
    EXPECT_TRUE(unit->memory().empty());

    // Connecting again skips the opening of the open port.
    FormXRQMain->ActionConnect->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Info, "Connected to XRQ unit!"}}));
    EXPECT_FALSE(contains(logLines(), "(:00263) Open serial port"));
}

TEST_F(UnitCommands, ConnectFailuresLeaveTheActionsAsTheyWere) {
    // Fewer than eight characters after '#': both errors, after the whole 8000 ms.
    sim::SimOptions o;
    o.serialNumber = "AB12";
    startUnitWith(o);
    boxes();
    FormXRQMain->SerialNumber = "previous";
    FormXRQMain->ActionConnect->trigger();
    EXPECT_EQ(boxes(),
              (std::vector<Box>{{BoxKind::Error, "Improper response to serial number request."},
                                {BoxKind::Error, "Cannot detect XRQ unit"}}));
    EXPECT_EQ(FormXRQMain->SerialNumber, "previous");
    EXPECT_FALSE(unitActionsEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(UnitCommands, NoPromptAfterTheReadinessCheck) {
    sim::SimOptions o;
    o.faults.ignoredCommands = "!";
    startUnitWith(o);
    boxes();
    FormXRQMain->ActionConnect->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Error, "Cannot detect XRQ unit"}}));
    EXPECT_EQ(FormXRQMain->SerialNumber, unit->serialNumber()); // already replaced
    EXPECT_FALSE(unitActionsEnabled());
}

TEST_F(UnitCommands, PortThatCannotBeOpenedShowsOnlyItsOwnMessage) {
    FormSerial->ComPortNumber = kPort; // nothing linked there
    boxes();
    FormXRQMain->ActionConnect->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Error, "Unable to open COM7."}}));
    EXPECT_FALSE(FormSerial->PortOpen);
}

TEST_F(UnitCommands, UnansweredCommandsAfterAConnect) {
    startUnitWith();
    boxes();
    connectOk();
    const QString volts = FormXRQMain->LabelBatV->text();

    struct Case {
        const char* ignored;
        bool malformedBattery;
        QAction* action;
        std::vector<bool> answers;
        std::vector<Box> expected; // the boxes after the questions
    };
    const Case cases[] = {
        {"S",
         false,
         FormXRQMain->ActionSetClock,
         {true},
         {{BoxKind::Error, "Bad reponse from XRQ Unit"}}},
        {"A",
         false,
         FormXRQMain->ActionCheckBat,
         {},
         {{BoxKind::Error, "Bad response from XRQ unit"}}},
        {"",
         true,
         FormXRQMain->ActionCheckBat,
         {},
         {{BoxKind::Error, "Bad response from XRQ unit"}}},
        {"*",
         false,
         FormXRQMain->ActionClearMem,
         {true, true, false}, // the unit was never downloaded: asked first
         {{BoxKind::Error, "Invalid response from XRQ unit"},
          {BoxKind::Info, "Memory not cleared"}}},
        {"C",
         false,
         FormXRQMain->ActionClearMem,
         {true, true, false}, // the unit was never downloaded: asked first
         {{BoxKind::Error, "Invalid response from XRQ unit"},
          {BoxKind::Info, "Memory not cleared"}}},
        // An unanswered confirmation is reported neither as a cleared memory nor as one
        // left alone: the unit received "Y".
        {"Y",
         false,
         FormXRQMain->ActionClearMem,
         {true, true, false}, // the unit was never downloaded: asked first
         {{BoxKind::Warning, "The XRQ unit did not confirm the clearing of its memory.\n"
                             "Its memory may or may not have been cleared."}}},
    };
    for (const auto& c : cases) {
        sim::FaultOptions f;
        f.ignoredCommands = c.ignored;
        f.malformedBattery = c.malformedBattery;
        unit->setFaults(f);
        for (bool a : c.answers)
            script->queueAnswer(a);
        c.action->trigger();
        auto shown = boxes();
        ASSERT_GE(shown.size(), c.answers.size()) << c.ignored;
        shown.erase(shown.begin(), shown.begin() + static_cast<long>(c.answers.size()));
        EXPECT_EQ(shown, c.expected) << c.ignored;
        EXPECT_TRUE(unitActionsEnabled()) << c.ignored;
        EXPECT_EQ(FormXRQMain->LabelBatV->text(), volts) << c.ignored;
    }
    EXPECT_EQ(unit->clockSetCount(), 0);
    EXPECT_EQ(unit->clearCount(), 0);
}

TEST_F(UnitCommands, ClearMemoryQuestionsAnsweredAgainstItSendNothing) {
    startUnitWith();
    boxes();
    connectOk();
    const std::string before = unit->received();
    const std::string q1 =
        "This action is irreversible. Make sure you have saved all your data!\nContinue?";
    // Connected, never downloaded: the unit is named first (its serial number "XRQ10472"
    // carries the model already), and No there ends it all.
    const std::string q0 = unit->serialNumber() + " on COM" + std::to_string(kPort) + " (" +
                           FormXRQMain->Units.current()->device +
                           ") has not been downloaded since it was connected: its data would "
                           "be lost.\nClear its memory anyway?";
    script->queueAnswer(false);
    FormXRQMain->ActionClearMem->trigger();
    EXPECT_EQ(boxes(),
              (std::vector<Box>{{BoxKind::Confirm, q0}, {BoxKind::Info, "Memory not cleared"}}));
    script->queueAnswer(true);
    script->queueAnswer(false);
    FormXRQMain->ActionClearMem->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Confirm, q0},
                                         {BoxKind::Confirm, q1},
                                         {BoxKind::Info, "Memory not cleared"}}));
    script->queueAnswer(true);
    script->queueAnswer(true);
    script->queueAnswer(true);
    FormXRQMain->ActionClearMem->trigger();
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Confirm, q0},
                                         {BoxKind::Confirm, q1},
                                         {BoxKind::Confirm, "Abort clearing memory?"},
                                         {BoxKind::Info, "Memory not cleared"}}));
    script->queueAnswer(false);
    FormXRQMain->ActionSetClock->trigger();
    EXPECT_EQ(boxes().size(), 1u);
    // Each clearing asked the unit who it is first; nothing else went out.
    EXPECT_EQ(unit->received(), before + "RRR");
}

TEST_F(UnitCommands, AnActionDuringAWaitIsRefusedQuietly) {
    startUnitWith();
    boxes();
    connectOk();
    // While Check Bat waits, the operator presses Connect and Clear Memory.
    sim::FaultOptions f;
    f.ignoredCommands = "A";
    unit->setFaults(f);
    // The actions are disabled meanwhile; a handler reached another way still refuses.
    bool disabledDuringWait = false;
    QTimer::singleShot(50, FormXRQMain, [&] {
        disabledDuringWait = FormSerial->ExchangeRunning() &&
                             !FormXRQMain->ActionConnect->isEnabled() && !unitActionsEnabled();
        FormXRQMain->ActionConnect->trigger();
        FormXRQMain->ActionConnectExecute(nullptr);
        FormXRQMain->ActionClearMemExecute(nullptr);
    });
    FormXRQMain->ActionCheckBat->trigger();
    EXPECT_TRUE(disabledDuringWait);
    EXPECT_TRUE(FormXRQMain->ActionConnect->isEnabled());
    EXPECT_TRUE(unitActionsEnabled());
    EXPECT_EQ(boxes(), (std::vector<Box>{{BoxKind::Error, "Bad response from XRQ unit"}}));
    EXPECT_EQ(FormXRQMain->LabelNote->text().toStdString(),
              "An exchange with the XRQ unit is running; try again when it has ended.");
    EXPECT_EQ(unit->received().find_first_of("R*", unit->received().rfind('A')), std::string::npos);
}

} // namespace
