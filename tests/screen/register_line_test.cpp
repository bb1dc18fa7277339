// SPDX-License-Identifier: GPL-3.0-or-later
// The unit register in trouble, as the operator sees it: while another program holds the
// register's file, the main window's status panel says so, and the line goes when the
// register writes again; nothing recorded meanwhile is lost.
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "support/program_fixture.h"
#include "widgets/status_panel.h"

#include <QSqlDatabase>
#include <QSqlQuery>

using namespace std::chrono_literals;

namespace {

using RegisterLine = testsupport::ProgramFixture;

TEST_F(RegisterLine, ThePanelSaysWhileTheRegisterWaitsAndNotAfter) {
    StatusPanel* panel = FormXRQMain->StatusPanel1;
    RegisterWriter& reg = unitRegister();
    ASSERT_TRUE(reg.waitIdle(30s));
    EXPECT_TRUE(panel->registerLine().isEmpty());
    const QString path = QString::fromStdString(TempFilesPath + unitreg::kFileName);
    {
        // Another program holds the file with a write lock of its own.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "other");
        other.setDatabaseName(path);
        ASSERT_TRUE(other.open());
        QSqlQuery hold(other);
        ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        reg.recordVisit({"XRQ00041", 1765188000000, kPort, ""});
        ASSERT_TRUE(testsupport::waitUntil([&] { return !panel->registerLine().isEmpty(); }, 30s));
        EXPECT_EQ(panel->registerLine(), reg.statusText());
        EXPECT_TRUE(panel->isVisible());
        ASSERT_TRUE(hold.exec(QStringLiteral("COMMIT")));
        other.close();
    }
    QSqlDatabase::removeDatabase("other");
    ASSERT_TRUE(testsupport::waitUntil([&] { return panel->registerLine().isEmpty(); }, 60s))
        << panel->registerLine().toStdString();
    ASSERT_TRUE(reg.waitIdle(30s));
    bool held = false;
    reg.query<bool>(
        FormXRQMain, [](unitreg::UnitRegister& r) { return !r.history("XRQ00041").empty(); },
        [&](bool found) { held = found; });
    ASSERT_TRUE(testsupport::waitUntil([&] { return held; }, 30s)) << "the visit was kept";
}

} // namespace
