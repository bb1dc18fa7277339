// SPDX-License-Identifier: GPL-3.0-or-later
// The Units window over the organisation's server, against a private PostgreSQL server on a
// Unix socket (initdb in a temporary folder; run as an ordinary user): the server is filled
// with U units and E events (by the owner, in one statement: not timed), then
// 1. one unit's history read as the window reads it: a new connection, the schema's check
//    and the query (fleet::readUnitHistory), five times;
// 2. the organisation's units list read as the window reads it (fleet::readUnits), five times;
// 3. the Units window of the program (its windows in a sandbox, shared with that server)
//    opened with the unit chosen, until the organisation's units list and the unit's history
//    from the server are both on the screen, five times (closed between).
//
// Usage: bench-units-server [units] [events]   (default 10000 1000000)
#include "app/sharing_start.h"
#include "bench/bench_timing.h"
#include "dialogs/scripted_dialogs.h"
#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"
#include "fleet/server_history.h"
#include "fleet/server_schema.h"
#include "fleet/sharing.h"
#include "main/fMain.h"
#include "main/status_report.h"
#include "register/register_writer.h"
#include "start/program_start.h"
#include "support/pg_test_server.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "units_window/units_window.h"

#include <QApplication>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::msSince;
using bench::report;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& why) {
    bench::fail("bench-units-server", why);
}

} // namespace

int main(int argc, char** argv) {
    const long units = argc > 1 ? std::atol(argv[1]) : 10000;
    const long events = argc > 2 ? std::atol(argv[2]) : 1000000;
    if (units <= 0 || events <= 0)
        fail("usage: bench-units-server [units] [events]");
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    testsupport::PgServerOptions options;
    options.sharedBuffers = "256MB";
    testsupport::PgTestServer server(options);
    if (!server.ok())
        fail("no server: " + server.error());
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    const fleet::InitOutcome init = fleet::initServer(fleet::serviceConninfo("owner_db"));
    if (!init.ok || !server.createLoginRole("bench_laptop", "bench-pw") ||
        !fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "bench_laptop").ok)
        fail("the server's schema or role was not made: " + init.message.toStdString());
    server.addService("bench_laptop", "bench_laptop");

    // Every unit gets events/units events of every kind, from 25 laptops, a minute apart.
    const auto fillStart = Clock::now();
    std::string why;
    const std::string fill =
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
        "SELECT gen_random_uuid(), 'XRQ' || lpad((i % " +
        std::to_string(units) +
        ")::text, 5, '0'), "
        "(ARRAY['visit','battery','clock_set','download','clear'])[1 + (i / " +
        std::to_string(units) +
        ") % 5], "
        "to_timestamp(1765188000 + i * 60), 'laptop-' || (i % 25), "
        "jsonb_build_object('port', 3, 'volts', 12.5, 'celsius', 21.0) "
        "FROM generate_series(1, " +
        std::to_string(events) + ") i; ANALYZE xrq.events;";
    if (!server.sql(fill, testsupport::PgTestServer::kDatabase, &why))
        fail("the server was not filled: " + why);
    std::printf("server filled: %ld units, %ld events in %.1f s (not part of the figures)\n", units,
                events, msSince(fillStart) / 1000);

    const QString unit = QStringLiteral("XRQ%1").arg(units / 2, 5, 10, QLatin1Char('0'));
    const std::string conninfo = fleet::serviceConninfo("bench_laptop");
    std::vector<double> reads;
    std::size_t rows = 0;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        const fleet::ServerHistory h =
            fleet::readUnitHistory(conninfo, unit, QStringLiteral("bench-laptop"), 10s);
        reads.push_back(msSince(t0));
        if (!h.ok)
            fail("history not read: " + h.message.toStdString());
        rows = h.entries.size();
    }
    std::printf("one unit's history: %zu events\n", rows);
    report("history read, every event (connect, schema check, query)", reads);

    std::vector<double> unitReads;
    std::size_t listed = 0;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        const fleet::ServerUnits u = fleet::readUnits(conninfo, 10s);
        unitReads.push_back(msSince(t0));
        if (!u.ok)
            fail("units not read: " + u.message.toStdString());
        listed = u.units.size();
    }
    std::printf("the organisation's units: %zu\n", listed);
    report("units list read (connect, schema check, query)", unitReads);

    // The program's windows, shared with the server, the unit in this laptop's register.
    std::vector<double> opens, lists;
    {
        testsupport::ProgramSandbox sandbox;
        if (!sandbox.ok() || !sandbox.enterWork() ||
            !QDir().mkpath(QString::fromStdString(sandbox.tempFiles())) ||
            !fleet::writeFleetSettings(sandbox.tempFiles(),
                                       {QStringLiteral("bench_laptop"), QStringLiteral("bench")}))
            fail("no program sandbox");
        dialogs::ScriptedDialogs boxes;
        CreateProgramWindows(sandbox.locations());
        FormXRQMain->show();
        StartSharing(TempFilesPath, FormXRQMain->StatusPanel1);
        // Its newest visit is this laptop's, so it heads the list and is chosen on opening.
        unitRegister().recordVisit(
            {unit.toStdString(), (1765188000 + (events + 1) * 60) * std::int64_t(1000), 3, ""});
        unitRegister().waitIdle(30s);
        int answers = 0;
        int listAnswers = 0;
        for (int run = 0; run < 5; ++run) {
            const int before = answers;
            const int listsBefore = listAnswers;
            double listed = -1;
            const auto t0 = Clock::now();
            FormXRQMain->ActionUnitsExecute(nullptr);
            UnitsWindow* w = FormXRQMain->FormUnits;
            if (run == 0) {
                QObject::connect(w, &UnitsWindow::serverHistoryAnswered, w, [&] { ++answers; });
                QObject::connect(w, &UnitsWindow::serverUnitsAnswered, w, [&] {
                    ++listAnswers;
                    if (w->unitListChoice().shown() == UnitListChoice::Source::Server)
                        listed = msSince(t0);
                });
            }
            // This opening's own answers: the window asks again each time it is shown.
            const bool shown = testsupport::waitUntil(
                [&] {
                    return answers > before && listAnswers > listsBefore &&
                           w->historyChoice().shown() == UnitHistoryChoice::Source::Server &&
                           w->unitListChoice().shown() == UnitListChoice::Source::Server &&
                           w->selectedSerial() == unit.toStdString();
                },
                60s);
            opens.push_back(msSince(t0));
            if (!shown || listed < 0)
                fail("the window did not show the server's units and history: " +
                     w->unitListChoice().sourceLine().toStdString() + "; " +
                     w->historyChoice().sourceLine().toStdString());
            if (w->listedSerials().size() != std::size_t(units))
                fail("the window listed " + std::to_string(w->listedSerials().size()) + " units");
            lists.push_back(listed);
            w->close();
        }
        FormXRQMain->close();
        DestroyProgramWindows();
    }
    report("Units window opened until the server's units list shows", lists);
    report("Units window opened until the server's list and history show", opens);
    const double worst = *std::max_element(opens.begin(), opens.end());
    std::printf("goal under 1000 ms: %s\n", worst < 1000 ? "met" : "NOT met");
    return worst < 1000 ? 0 : 2;
}
