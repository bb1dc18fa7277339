// SPDX-License-Identifier: GPL-3.0-or-later
// The program as an operator meets it on a good day: first start, connect, clock, battery,
// downloads, clearing the memory, the terminal, settings across a restart and ports that
// come and go, against simulated units on ptys.
#include "e2e_fixture.h"

#include "serial/fTerminal.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class Acceptance : public ProgramRun {};

bool unitActionsEnabled() {
    return FormXRQMain->ActionSetClock->isEnabled() && FormXRQMain->ActionCheckBat->isEnabled() &&
           FormXRQMain->ActionCollect->isEnabled() && FormXRQMain->ActionClearMem->isEnabled();
}

// Seconds between the unit's clock and the computer's, whichever is ahead.
double clockSkewSeconds(const sim::PtyUnit& unit) {
    const auto diff = unit.unitClock() - std::chrono::system_clock::now();
    return std::abs(std::chrono::duration<double>(diff).count());
}

TEST_F(Acceptance, OperatorsDayFromFirstStartToAnEmptyUnit) {
    // Six data sets of uneven length; two of them share a name with files already kept.
    auto sets = sim::generateDataSets(4, 120);
    sets.push_back({"EMPTY SITE", {}});
    sets.push_back(sim::sampleDataSets().front());
    sim::SimOptions o = unpaced(sets);
    o.serialNumber = "AB12CD34";
    sim::PtyUnit& unit = plugUnit(1, o);

    // First start: the folders are made, the start is logged and the unit's port is taken.
    startProgram();
    EXPECT_TRUE(fs::is_directory(defaultDataDir));
    EXPECT_EQ(FormSetup->EditDataDirectory->text().toStdString(), defaultDataDir);
    EXPECT_EQ(FormSerial->ComPortNumber, 1);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM1 @ 19200");
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "N/A");
    EXPECT_FALSE(unitActionsEnabled());
    const auto started = logSince(0);
    ASSERT_GE(started.size(), 3u);
    EXPECT_EQ(started[0], "***** Program Start *****");
    EXPECT_EQ(started[1], "Program path: " + root + "/prog/");
    EXPECT_EQ(started[2], "Temporary files path: " + tempFiles);
    EXPECT_TRUE(boxesSince(0).empty());

    // Connect opens the port, reads the serial number and frees the unit actions.
    std::size_t mark = logMark();
    connectOk();
    EXPECT_TRUE(FormSerial->PortOpen);
    EXPECT_EQ(FormXRQMain->SerialNumber, "AB12CD34");
    EXPECT_TRUE(unitActionsEnabled());
    EXPECT_TRUE(
        loggedInOrder(logSince(mark), {"Open serial port",
                                       "iWaitForChar to \"#\" or \">\"; Command: R (delay 8000)",
                                       "iWaitForChar to \">\" or \"\"; Command: ! (delay 10000)",
                                       "Command sent", "Found", "Connected to XRQ unit!"}));

    // Set Clock: the unit's clock is the computer's afterwards, and the box quotes what the
    // unit was sent.
    std::size_t boxes = boxMark();
    script->queueAnswer(true);
    FormXRQMain->ActionSetClockExecute(nullptr);
    ASSERT_EQ(boxesSince(boxes).size(), 2u);
    EXPECT_EQ(boxesSince(boxes)[0], Box(BoxKind::Confirm, "Set XRQ clock to computer?"));
    const std::string told = boxesSince(boxes)[1].second;
    const std::string prefix = "Clock on XRQ set to ";
    ASSERT_EQ(told.substr(0, prefix.size()), prefix);
    const std::string clockText = told.substr(prefix.size());
    EXPECT_EQ(clockText.size(), 17u);
    // The clock text goes out without a reply awaited: the unit takes it a moment later.
    ASSERT_TRUE(unit.waitForReceived("S" + clockText, std::chrono::seconds(10)));
    EXPECT_EQ(unit.clockSetCount(), 1);
    EXPECT_EQ(unit.lastClockText(), clockText);
    EXPECT_LT(clockSkewSeconds(unit), 5.0);
    // Answering No sends nothing.
    const std::size_t receivedBefore = unit.received().size();
    script->queueAnswer(false);
    FormXRQMain->ActionSetClockExecute(nullptr);
    EXPECT_EQ(unit.received().size(), receivedBefore);
    EXPECT_EQ(unit.clockSetCount(), 1);

    // Battery.
    boxes = boxMark();
    checkBat();
    EXPECT_TRUE(boxesSince(boxes).empty());
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V");
    EXPECT_EQ(FormXRQMain->LabelTemp->text(), "21.4 C");

    // Download: one file per set, exact; then the same download again gets numbered names
    // and leaves the first files alone. A file the operator kept is never overwritten.
    const std::string kept = defaultDataDir + sets.back().name + ".txt";
    { std::ofstream(kept, std::ios::binary) << "kept by the operator"; }
    for (int round = 0; round < 3; ++round) {
        boxes = boxMark();
        mark = logMark();
        const std::uint64_t sentBefore = unit.bytesSent();
        collect(defaultDataDir);
        ASSERT_EQ(boxesSince(boxes),
                  (Boxes{{BoxKind::Info, "Data collected and placed in " + defaultDataDir}}))
            << "round " << round;
        EXPECT_TRUE(logged(logSince(mark), "iCaptureTo to \">\"; Command: F (delay 4000)"));
        // Every byte the unit sent for this download is in the intermediate file.
        EXPECT_EQ(intermediate().size(), unit.bytesSentSinceDownload());
        EXPECT_GT(unit.bytesSent() - sentBefore, unit.bytesSentSinceDownload()); // and "R"
        for (std::size_t i = 0; i < sets.size(); ++i) {
            const bool wasKept = i + 1 == sets.size();
            const int number = wasKept ? round : round - 1; // -1: the unnumbered name
            char suffix[16] = "";
            if (number >= 0)
                std::snprintf(suffix, sizeof suffix, "_%3.3d", number);
            const std::string path = defaultDataDir + sets[i].name + suffix + ".txt";
            EXPECT_EQ(readFile(path), expectedFile(sets[i])) << path;
        }
    }
    EXPECT_EQ(readFile(kept), "kept by the operator");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(defaultDataDir))
        ++files;
    EXPECT_EQ(files, 3 * sets.size() + 1);
    // The downloads scrolled through the main window.
    EXPECT_TRUE(FormXRQMain->MemoMain->toPlainText().contains(
        QString::fromStdString("Name: " + sets[0].name)));

    // Clear Memory: two questions, then the unit is empty and says so at the next download.
    boxes = boxMark();
    script->queueAnswer(true);  // irreversible, continue?
    script->queueAnswer(false); // abort? no
    FormXRQMain->ActionClearMemExecute(nullptr);
    EXPECT_EQ(boxesSince(boxes),
              (Boxes{{BoxKind::Confirm, "This action is irreversible. Make sure you have saved all "
                                        "your data!\nContinue?"},
                     {BoxKind::Confirm, "Abort clearing memory?"},
                     {BoxKind::Info, "XRQ Memory cleared"}}));
    EXPECT_EQ(unit.clearCount(), 1);
    EXPECT_TRUE(unit.memory().empty());

    boxes = boxMark();
    collect(defaultDataDir);
    EXPECT_EQ(boxesSince(boxes), (Boxes{{BoxKind::Info, "No data in XRQ"}}));
    files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(defaultDataDir))
        ++files;
    EXPECT_EQ(files, 3 * sets.size() + 1);

    // Exit: the end line closes the log.
    stopProgram();
    const auto all = logSince(0);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), "***** Program End *****");
}

TEST_F(Acceptance, ClearMemoryQuestionsAnsweredTheSafeWaySendNothing) {
    sim::PtyUnit& unit = plugUnit(1, unpaced(sim::sampleDataSets()));
    startProgram();
    connectOk();
    const std::string sentBefore = unit.received();
    for (const auto& answers : std::vector<std::pair<bool, bool>>{{false, false}, {true, true}}) {
        const std::size_t boxes = boxMark();
        script->queueAnswer(true); // never downloaded since connected: go on to the usual ones
        script->queueAnswer(answers.first);
        if (answers.first)
            script->queueAnswer(answers.second);
        FormXRQMain->ActionClearMemExecute(nullptr);
        const Boxes shown = boxesSince(boxes);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), Box(BoxKind::Info, "Memory not cleared"));
    }
    // Only the serial-number request of each clearing went out.
    EXPECT_EQ(unit.received(), sentBefore + "RR");
    EXPECT_EQ(unit.memory(), sim::sampleDataSets());
}

void typeIntoTerminal(const QString& text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
    QCoreApplication::sendEvent(FormTerminal->MemoTerminal, &press);
}

TEST_F(Acceptance, TerminalRoundTripBesideTheMainWindow) {
    sim::PtyUnit& unit = plugUnit(1, unpaced());
    startProgram();
    FormXRQMain->ActionTeminalExecute(nullptr);
    ASSERT_TRUE(FormTerminal->isVisible());
    EXPECT_TRUE(FormXRQMain->TerminalVisible);

    // The first key opens the port; the unit's answer shows in the terminal.
    typeIntoTerminal("R");
    ASSERT_TRUE(unit.waitForReceived("R", std::chrono::seconds(20)));
    auto shown = [] {
        FormTerminal->FlushEcho();
        return FormTerminal->MemoTerminal->toPlainText();
    };
    ASSERT_TRUE(waitUntil([&] { return shown().contains("XRQ10472") && shown().endsWith(">"); }));
    EXPECT_TRUE(FormSerial->PortOpen);

    // The main window's exchanges still work with the terminal open, and their replies are
    // copied into it as well.
    connectOk();
    checkBat();
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V");
    ASSERT_TRUE(waitUntil([&] { return shown().contains("12.61"); }));

    // Hidden, the terminal keeps what it had and the exchanges go on.
    const QString before = shown();
    FormTerminal->close();
    EXPECT_FALSE(FormXRQMain->TerminalVisible);
    checkBat();
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V");
    FormXRQMain->ActionTeminalExecute(nullptr);
    EXPECT_EQ(shown(), before);
}

TEST_F(Acceptance, SetupChangesAreKeptAcrossARestart) {
    plugUnit(2, unpaced());
    plugUnit(5, unpaced());
    startProgram();
    const std::string chosenDir = root + "/chosen data/";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(chosenDir)));

    // The operator picks COM5 and types a data directory, then closes with OK.
    FormXRQMain->ActionSetupExecute(nullptr);
    ASSERT_TRUE(FormSetup->isVisible());
    const int com5 = FormSetup->ComPortCombo->findText("COM5");
    ASSERT_GE(com5, 0) << "COM5 not listed";
    FormSetup->ComPortCombo->setCurrentIndex(com5);
    FormSetup->EditDataDirectory->setText(QString::fromStdString(chosenDir));
    FormSetup->ButtonOK->click();
    ASSERT_TRUE(waitUntil([] { return !FormSetup->isVisible(); }));
    EXPECT_EQ(FormSerial->ComPortNumber, 5);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM5 @ 19200");

    stopProgram();
    const auto firstRun = logSince(0);
    startProgram();
    EXPECT_EQ(FormSerial->ComPortNumber, 5);
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM5 @ 19200");
    EXPECT_EQ(FormSetup->EditDataDirectory->text().toStdString(), chosenDir);

    // The restarted program works with the kept settings, and the log of the first run is
    // still there in front of the second one's start.
    connectOk();
    EXPECT_EQ(units[5]->received().substr(0, 2), "R!");
    EXPECT_EQ(units[2]->received(), "");
    units[5]->setMemory(sim::generateDataSets(1, 5));
    const std::size_t boxes = boxMark();
    FormXRQMain->ActionCollectExecute(nullptr);
    EXPECT_EQ(boxesSince(boxes),
              (Boxes{{BoxKind::Info, "Data collected and placed in " + chosenDir}}));
    EXPECT_TRUE(fs::exists(chosenDir + "SITE01.txt"));
    const auto both = logSince(0);
    ASSERT_GT(both.size(), firstRun.size());
    EXPECT_TRUE(std::equal(firstRun.begin(), firstRun.end(), both.begin()));
    EXPECT_EQ(both[firstRun.size()], "***** Program Start *****");
}

TEST_F(Acceptance, UnitsPluggedAndPulledWhileTheProgramRuns) {
    startProgram();
    // No unit at all yet: connect cannot open anything, and says so.
    std::size_t boxes = boxMark();
    connect();
    EXPECT_FALSE(boxesSince(boxes, true).empty());
    EXPECT_FALSE(FormSerial->PortOpen);
    EXPECT_FALSE(unitActionsEnabled());

    // A unit arrives: the program tells and takes it as its port; connect then works.
    boxes = boxMark();
    plugUnitAndWait(4, unpaced());
    EXPECT_EQ(boxesSince(boxes, true), (Boxes{{BoxKind::Info, "Com port COM4 added to system!"}}));
    connectOk();
    EXPECT_TRUE(FormSerial->PortOpen);

    // A second unit arrives: it becomes the port and the open session is closed.
    boxes = boxMark();
    plugUnitAndWait(6, unpaced());
    EXPECT_FALSE(FormSerial->PortOpen);
    connectOk();
    EXPECT_TRUE(units[6]->received().find('R') != std::string::npos);

    // The other one is pulled: a note, nothing else changes.
    boxes = boxMark();
    const std::size_t mark = logMark();
    units[4]->stop();
    ASSERT_TRUE(waitUntil([&] { return shownText("Com port COM4 removed from system!", boxes); }));
    runEventsFor(200);
    EXPECT_EQ(boxesSince(boxes, true),
              (Boxes{{BoxKind::Info, "Com port COM4 removed from system!"}}));
    EXPECT_EQ(FormSerial->ComPortNumber, 6);
    EXPECT_TRUE(FormSerial->PortOpen);
    checkBat();
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V");

    // The unit in use is pulled: note, warning, no port until the next arrival.
    boxes = boxMark();
    units[6]->stop();
    ASSERT_TRUE(waitUntil([&] { return shownText("Selected com port removed.", boxes); }));
    runEventsFor(200);
    EXPECT_EQ(boxesSince(boxes, true), (Boxes{{BoxKind::Info, "Com port COM6 removed from system!"},
                                              {BoxKind::Warning, "Selected com port removed."}}));
    EXPECT_EQ(FormSerial->ComPortNumber, -1);
    EXPECT_FALSE(FormSerial->PortOpen);
    EXPECT_TRUE(loggedInOrder(
        logSince(mark), {"Com port COM4 removed from system!", "Com port COM6 removed from system!",
                         "Selected com port removed.", "Comm CLOSE inactive"}));
    boxes = boxMark();
    connect();
    EXPECT_EQ(boxesSince(boxes, true).size(), 1u);
    EXPECT_EQ(boxesSince(boxes, true)[0].first, BoxKind::InternalError);

    // Plugged back in under its old name, the unit is found again.
    plugUnitAndWait(6, unpaced());
    connectOk();
}

} // namespace
