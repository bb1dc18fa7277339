// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's windows in this process (folders in a program sandbox, boxes recorded) with a
// private PostgreSQL server and the sharing's settings written before the program starts, as
// an operator's fleet.ini would hold them.

#include "app/sharing_start.h"
#include "dialogs/scripted_dialogs.h"
#include "fleet/fleet_fixture.h"
#include "fleet/fleet_settings.h"
#include "fleet/sharing.h"
#include "main/fMain.h"
#include "main/status_report.h"
#include "register/register_writer.h"
#include "start/program_start.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "widgets/status_panel.h"

#include <QDir>

namespace sharingtest {

using namespace std::chrono_literals;

class SharingProgram : public fleettest::FleetServerTest {
protected:
    void SetUp() override {
        FleetServerTest::SetUp();
        ASSERT_TRUE(sandbox.ok());
        ASSERT_TRUE(sandbox.enterWork());
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.tempFiles())));
        // Short pauses: a test waits for the pusher's answers, not for its back-off.
        fleet::PusherConfig& t = fleet::sharing().tuning;
        t.retryFirst = 50ms;
        t.retryMost = 500ms;
        t.connectTimeout = 10s;
    }

    void TearDown() override {
        if (FormXRQMain)
            DestroyProgramWindows();
        script.reset();
        fleet::sharing().tuning = fleet::PusherConfig{};
    }

    void share(const std::string& service, const QString& laptop) {
        ASSERT_TRUE(fleet::writeFleetSettings(sandbox.tempFiles(),
                                              {QString::fromStdString(service), laptop}));
    }

    void startProgram() {
        CreateProgramWindows(sandbox.locations());
        script = std::make_unique<dialogs::ScriptedDialogs>();
        FormXRQMain->show();
        ASSERT_TRUE(unitRegister().running());
        // As RunProgram does once the window is shown.
        StartSharing(TempFilesPath, FormXRQMain->StatusPanel1);
    }

    QString sharingLine() const { return FormXRQMain->StatusPanel1->sharing(); }

    // Records this laptop's visit in the register and waits until the server holds `events`
    // events in all, the visit's among them.
    void visitReachesServer(const unitreg::Visit& visit, std::int64_t events) {
        unitRegister().recordVisit(visit);
        ASSERT_TRUE(unitRegister().waitIdle(30s));
        ASSERT_TRUE(testsupport::waitUntil([&] { return count("xrq.events") == events; }, 60s))
            << sharingLine().toStdString();
    }

    bool lineIs(const char* text) {
        return testsupport::waitUntil([&] { return sharingLine() == QLatin1String(text); }, 60s);
    }

    testsupport::ProgramSandbox sandbox;
    std::unique_ptr<dialogs::ScriptedDialogs> script;
};

} // namespace sharingtest
