// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The whole program in this process, driven the way an operator drives it: its four windows
// in a program sandbox (program, application data, desktop, documents, device and sysfs
// folders, and the working directory that receives the intermediate file), message boxes
// recorded and answered by script, and simulated units on ptys linked as COM ports in the
// program's port folder, so that they arrive and leave through the program's own watcher.

#include "dialogs/run_log.h"
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "platform/port_table.h"
#include "serial/fSerial.h"
#include "setup/fSetup.h"
#include "start/program_start.h"
#include "support/cpu_time.h"
#include "support/program_sandbox.h"
#include "support/read_file.h"
#include "support/wait.h"
#include "tools/sim/pty_unit.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using dialogs::BoxKind;
using Box = std::pair<BoxKind, std::string>;
using Boxes = std::vector<Box>;

using testsupport::processCpuSeconds;
using testsupport::runEventsFor;
using testsupport::waitUntil;

using testsupport::readFile;

// What a data set's file must hold: the header and the records as the unit sent them, each
// line ended by CR LF.
inline std::string expectedFile(const sim::DataSet& set) {
    std::string text = "Name: " + set.name + "\r\n";
    for (const auto& r : set.records)
        text += r + "\r\n";
    return text;
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        root = sandbox.root();
        tempFiles = sandbox.tempFiles();
        portFolder = sandbox.portFolder();
        defaultDataDir = sandbox.defaultDataDir();
        work = sandbox.work();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(portFolder)));
        ASSERT_TRUE(sandbox.enterWork());
        script = std::make_unique<dialogs::ScriptedDialogs>();
    }

    void TearDown() override {
        stopProgram();
        units.clear();
        script.reset();
        sandbox.leaveWork();
    }

    // Waits until the program has read every byte the unit sent (the unit idle first), then
    // lets pending events run once and checks that nothing more arrived: the end of what is
    // on the line is an event to wait for, not a time.
    bool waitUntilUnitDrained(sim::PtyUnit& unit, std::chrono::milliseconds deadline) {
        if (!testsupport::waitUntil(
                [&] { return unit.waitUntilIdle(std::chrono::milliseconds(0)) || unit.hungUp(); },
                deadline))
            return false;
        const std::uint64_t sent = unit.bytesSent();
        if (!testsupport::waitUntil([&] { return FormSerial->BytesReceived() >= sent; }, deadline))
            return false;
        QCoreApplication::processEvents();
        return unit.bytesSent() == sent;
    }

    // Starts the program the way its entry does: four windows, then the main window shown.
    void startProgram() {
        CreateProgramWindows(sandbox.locations());
        FormXRQMain->show();
        ASSERT_EQ(TempFilesPath, tempFiles);
    }

    // Closes the main window as the operator does (the end line is logged) and frees the
    // windows; the folders stay for the next start.
    void stopProgram() {
        if (!FormXRQMain)
            return;
        if (FormSerial && FormSerial->PortOpen)
            FormSerial->iClosePort();
        FormXRQMain->close();
        DestroyProgramWindows();
    }

    // A simulated unit linked as COMn. Unpaced unless the options say otherwise.
    sim::PtyUnit& plugUnit(int n, sim::SimOptions options = {}) {
        options.linkPath = portFolder + "COM" + std::to_string(n);
        auto unit = sim::PtyUnit::start(options);
        sim::PtyUnit& ref = *unit;
        units[n] = std::move(unit);
        return ref;
    }
    static sim::SimOptions unpaced(std::vector<sim::DataSet> sets = {}) {
        sim::SimOptions o;
        o.baud = 0;
        o.dataSets = std::move(sets);
        return o;
    }

    // Plugs a unit as COMn while the program runs and waits until the program has taken it
    // as its port (the arrival note is shown and the session points at it).
    sim::PtyUnit& plugUnitAndWait(int n, sim::SimOptions options = {}) {
        const std::size_t from = boxMark();
        sim::PtyUnit& unit = plugUnit(n, std::move(options));
        const std::string note = "Com port COM" + std::to_string(n) + " added to system!";
        EXPECT_TRUE(waitUntil([&] {
            return shownText(note, from) && FormSerial->ComPortNumber == n;
        })) << "the program did not notice COM"
            << n;
        return unit;
    }

    // --- what the operator is told -----------------------------------------------------
    std::size_t boxMark() const { return script->shown.size(); }
    // Boxes since `from`; the notes about ports coming and going are left out unless asked.
    Boxes boxesSince(std::size_t from, bool portNotes = false) const {
        Boxes out;
        for (std::size_t i = from; i < script->shown.size(); ++i) {
            const auto& b = script->shown[i];
            if (!portNotes && isPortNote(b.text))
                continue;
            out.emplace_back(b.kind, b.text);
        }
        return out;
    }
    static bool isPortNote(const std::string& text) {
        return text.rfind("Com port ", 0) == 0 || text == "Selected com port removed." ||
               text.rfind("No Comports", 0) == 0;
    }
    bool shownText(const std::string& text, std::size_t from = 0) const {
        return countShown(text, from) > 0;
    }
    int countShown(const std::string& text, std::size_t from = 0) const {
        int n = 0;
        for (std::size_t i = from; i < script->shown.size(); ++i)
            n += script->shown[i].text == text;
        return n;
    }

    // --- the run log -----------------------------------------------------------------------
    std::string logPath() const { return tempFiles + "XRQ_log.txt"; }
    std::string log() const { return readFile(logPath()); }
    std::size_t logMark() const { return log().size(); }
    // The messages logged since `mark` (time stamp and line number cut off), in order.
    std::vector<std::string> logSince(std::size_t mark) const {
        const std::string all = log();
        std::vector<std::string> out;
        std::size_t pos = mark <= all.size() ? mark : 0;
        while (pos < all.size()) {
            std::size_t end = all.find("\r\n", pos);
            if (end == std::string::npos)
                end = all.size();
            const std::string line = all.substr(pos, end - pos);
            const std::size_t body = line.find(") ");
            out.push_back(body == std::string::npos ? line : line.substr(body + 2));
            pos = end + 2;
        }
        return out;
    }
    static bool logged(const std::vector<std::string>& lines, const std::string& text) {
        for (const auto& l : lines)
            if (l == text)
                return true;
        return false;
    }
    // True when `texts` appear in this order among `lines` (others may lie between).
    static bool loggedInOrder(const std::vector<std::string>& lines,
                              const std::vector<std::string>& texts) {
        std::size_t next = 0;
        for (const auto& l : lines)
            if (next < texts.size() && l == texts[next])
                ++next;
        return next == texts.size();
    }

    // --- the operator's actions ------------------------------------------------------------
    void connect() { FormXRQMain->ActionConnectExecute(nullptr); }
    void checkBat() { FormXRQMain->ActionCheckBatExecute(nullptr); }
    void collect(const std::string& directory) {
        FormSetup->EditDataDirectory->setText(QString::fromStdString(directory));
        FormXRQMain->ActionCollectExecute(nullptr);
    }
    // Connects and expects success; returns the boxes it showed.
    void connectOk() {
        const std::size_t mark = boxMark();
        connect();
        ASSERT_EQ(boxesSince(mark), (Boxes{{BoxKind::Info, "Connected to XRQ unit!"}}));
    }
    std::string intermediate() const { return readFile(work + "_$XRQInt.txt"); }

    testsupport::ProgramSandbox sandbox; // first in, last out: it outlives windows and units
    std::string root, tempFiles, portFolder, defaultDataDir, work;
    std::unique_ptr<dialogs::ScriptedDialogs> script;
    std::map<int, std::unique_ptr<sim::PtyUnit>> units;
};

} // namespace e2e
