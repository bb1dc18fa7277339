// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's four windows in this process, with every folder (program, application data,
// desktop, devices, the working directory) in a program sandbox, message boxes recorded
// instead of shown, and a simulated unit on a pty linked as COM7 in the port folder.
// Used by the collection and the terminal tests (header only: those areas link the program).

#include "dialogs/run_log.h"
#include "dialogs/scripted_dialogs.h"
#include "main/fMain.h"
#include "serial/fSerial.h"
#include "setup/fSetup.h"
#include "start/program_start.h"
#include "support/program_sandbox.h"
#include "support/read_file.h"
#include "support/wait.h"
#include "tools/sim/pty_unit.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace testsupport {

class ProgramFixture : public ::testing::Test {
protected:
    static constexpr int kPort = 7;

    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        root = sandbox.root();
        dataDir = sandbox.data();
        work = sandbox.work();
        ASSERT_TRUE(sandbox.enterWork());
        CreateProgramWindows(sandbox.locations());
        script = std::make_unique<dialogs::ScriptedDialogs>();
        FormXRQMain->show();
        ASSERT_FALSE(TempFilesPath.empty());
    }

    void TearDown() override {
        if (FormSerial && FormSerial->PortOpen)
            FormSerial->iClosePort();
        if (unit)
            unit->stop();
        unit.reset();
        DestroyProgramWindows();
        script.reset();
    }

    // Starts the simulated unit as COM7 and makes it the session's port (not opened). The
    // program announces the new port after a short settle and closes its port on an arrival,
    // so the port is opened only once the arrival has been announced, as an operator plugs
    // in and then connects.
    void startUnit(sim::SimOptions options) {
        options.linkPath = TempFilesPath + "ports/COM" + std::to_string(kPort);
        const std::string note = "Com port COM" + std::to_string(kPort) + " added to system!";
        const auto announced = [&] {
            for (const auto& b : script->shown)
                if (b.text == note)
                    return true;
            return false;
        };
        const bool before = announced();
        unit = sim::PtyUnit::start(options);
        if (!before) {
            ASSERT_TRUE(waitUntil(announced)) << "the program did not notice COM" << kPort;
        }
        FormSerial->ComPortNumber = kPort;
    }

    // The sample unit (three data sets), unpaced, plugged in and its port opened: ready for
    // an action.
    void connectSampleUnit() {
        sim::SimOptions o;
        o.baud = 0;
        o.dataSets = sim::sampleDataSets();
        startUnit(o);
        ASSERT_EQ(FormSerial->iOpenPort(), 0);
    }

    std::string intermediate() const { return readFile(work + "_$XRQInt.txt"); }

    // Collect Data into `directory`, as the operator does: the data directory typed in Setup,
    // then the action.
    void collect(const std::string& directory) {
        FormSetup->EditDataDirectory->setText(QString::fromStdString(directory));
        FormXRQMain->ActionCollectExecute(nullptr);
    }
    // The kept downloads' folder under the files folder.
    std::string keptFolder() const { return TempFilesPath + "downloads/"; }
    // A box with exactly this text was shown.
    bool shown(const std::string& text) const {
        for (const auto& b : script->shown)
            if (b.text == text)
                return true;
        return false;
    }

    ProgramSandbox sandbox; // first in, last out: it outlives the windows and the unit
    std::string root, dataDir, work;
    std::unique_ptr<dialogs::ScriptedDialogs> script;
    std::unique_ptr<sim::PtyUnit> unit;
};

} // namespace testsupport
