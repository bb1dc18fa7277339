// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing as the program runs it: the pusher started with the program's start from fleet.ini
// and ended at its exit, its line in the status panel, a push as soon as the register
// records, an exit that never waits for a silent server, and the Units window's history from
// the server or from this laptop.
#include "sharing_fixture.h"

#include "fleet/last_contact.h"
#include "fleet/other_laptops.h"
#include "fleet/test_resolver.h"
#include "support/read_file.h"
#include "support/silent_server.h"
#include "support/slowdown.h"
#include "units_window/units_window.h"

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include <fstream>
#include <iterator>

namespace sharingtest {
namespace {

using testsupport::readFile;

// A fact in the program's own units.sqlite outbox, as the register writes one with its event.
void putInOutbox(const std::string& path, const fleet::Fact& fact) {
    fleettest::LocalStore store(path);
    ASSERT_TRUE(store.ok());
    QSqlDatabase db = store.db();
    ASSERT_TRUE(db.transaction());
    ASSERT_TRUE(fleet::Outbox::enqueue(db, fact));
    ASSERT_TRUE(db.commit());
}

TEST_F(SharingProgram, NotSharedWithoutAServiceAndNoPusherRuns) {
    startProgram();
    EXPECT_EQ(sharingLine().toStdString(), "not shared");
    EXPECT_EQ(fleet::sharing().pusher(), nullptr);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(sandbox.tempFiles() + "fleet.ini")))
        << "a laptop that never chose a server gets no settings file";
}

TEST_F(SharingProgram, StartsWithTheProgramPushesWhenTheRegisterRecordsAndEndsWithIt) {
    addLaptop("laptop_a");
    share("laptop_a", QStringLiteral("laptop-a"));
    // Only a nudge pushes within this test's time: the pusher's own look comes much later.
    fleet::sharing().tuning.idleRecheck = 10min;
    startProgram();
    ASSERT_TRUE(lineIs("shared: up to date")) << sharingLine().toStdString();
    ASSERT_NE(fleet::sharing().pusher(), nullptr);

    // The register writes the visit and its fact in one transaction, and nudges the pusher.
    unitRegister().recordVisit({"XRQ00031", 1765188000001, 3, ""});
    ASSERT_TRUE(testsupport::waitUntil([&] { return count("xrq.events") == 1; }, 60s))
        << sharingLine().toStdString();
    ASSERT_TRUE(lineIs("shared: up to date")) << sharingLine().toStdString();
    EXPECT_TRUE(testsupport::waitUntil([] { return fleet::sharing().lastContact().has_value(); }))
        << "a confirmation is word from the server";

    FormXRQMain->close();
    EXPECT_EQ(fleet::sharing().pusher(), nullptr);
    EXPECT_FALSE(fleet::sharing().started());
    const std::string log = readFile(sandbox.runLog());
    const auto started = log.find("Sharing: sharing with service laptop_a as laptop laptop-a");
    const auto stopped = log.find("Sharing: sharing stopped");
    const auto end = log.find("***** Program End *****");
    ASSERT_NE(started, std::string::npos) << log;
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_LT(started, stopped);
    EXPECT_LT(stopped, end) << "the end line stays the last";
}

TEST_F(SharingProgram, ExitTakesUnderTwoSecondsWhileTheServerTakesTheConnectionAndNeverAnswers) {
    const std::string folder = file("silent");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    testsupport::SilentServer silent(folder);
    ASSERT_TRUE(silent.ok());
    server.addService("silent", "laptop_a", "xrq", {{"host", folder}, {"port", "5432"}});
    share("silent", QStringLiteral("laptop-a"));
    fleet::sharing().tuning.connectTimeout = 120s; // the exit must not wait for it
    // Something to push, so that the pusher goes to the server (the series' file is opened
    // by a download only; the register's is the program's to make).
    putInOutbox(
        sandbox.tempFiles() + "series.sqlite",
        fleettest::visit(QStringLiteral("XRQ00032"), QStringLiteral("laptop-a"), 1765188000000));
    startProgram();
    ASSERT_TRUE(silent.knocked(60000));
    // A unit in the register, its history asked of the silent server by the Units window.
    unitRegister().recordVisit({"XRQ00032", 1765188000000, 3, ""});
    ASSERT_TRUE(unitRegister().waitIdle(30s));
    FormXRQMain->ActionUnitsExecute(nullptr);
    UnitsWindow* units = FormXRQMain->FormUnits;
    ASSERT_TRUE(testsupport::waitUntil([&] { return units->history().size() == 1; }, 30s));
    EXPECT_EQ(units->LabelHistorySource->text().toStdString(),
              "this laptop's history; asking the server...");
    EXPECT_GE(fleet::sharing().readsRunning(), 1u);
    // The window closes at once; the read goes on without it.
    units->close();
    EXPECT_GE(fleet::sharing().readsRunning(), 1u);

    const auto t0 = std::chrono::steady_clock::now();
    FormXRQMain->close();
    DestroyProgramWindows();
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(testsupport::scaledMs(2000)));
    EXPECT_EQ(fleet::sharing().readsRunning(), 0u);
    EXPECT_FALSE(fleet::sharing().started());
}

// A DNS server that never answers (the test's resolver for the server's name): Setup's save,
// Clear Memory's look and the exit each hold the window at most 2 s; the lookups are left to
// their threads (the program then ends with _exit, start/xrq_main.cpp), and released here
// before the test ends, so that the sanitizer builds see every thread end.
TEST_F(SharingProgram, NoWindowWaitsForANameLookupThatNeverEnds) {
    fleettest::TestResolver resolver;
    resolver.hanging = {"silent.xrq.test", "quiet.xrq.test"};
    server.addService("silent", "laptop_a", "xrq", {{"host", "silent.xrq.test"}});
    server.addService("quiet", "laptop_a", "xrq", {{"host", "quiet.xrq.test"}});
    share("silent", QStringLiteral("laptop-a"));
    fleet::sharing().tuning.connectTimeout = 120s; // the windows must not wait for it
    putInOutbox(
        sandbox.tempFiles() + "series.sqlite",
        fleettest::visit(QStringLiteral("XRQ00038"), QStringLiteral("laptop-a"), 1765188000000));
    startProgram();
    // The pusher's lookup, and the read that learns the site facts at the start.
    ASSERT_TRUE(fleettest::pollUntil([] { return fleet::lookupsRunning() == 2; }));
    const auto bound = std::chrono::milliseconds(testsupport::scaledMs(2000));

    // Setup saved with another service: the pusher ends and the next one starts its lookup.
    auto t0 = std::chrono::steady_clock::now();
    fleet::sharing().apply({QStringLiteral("quiet"), QStringLiteral("laptop-a")});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
    ASSERT_TRUE(fleettest::pollUntil([] { return fleet::lookupsRunning() == 3; }));

    // Clear Memory's look: no answer within its 2 s, and it says since when not checked.
    t0 = std::chrono::steady_clock::now();
    const auto answer =
        fleet::sharing().checkOtherDownload(QStringLiteral("XRQ00038"), std::chrono::seconds(2));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound + std::chrono::milliseconds(500));
    EXPECT_TRUE(!answer || !answer->ok);

    t0 = std::chrono::steady_clock::now();
    FormXRQMain->close();
    DestroyProgramWindows();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
    EXPECT_FALSE(fleet::sharing().started());
    EXPECT_GE(fleet::lookupsRunning(), 3u) << "left to their threads";
    resolver.release();
    EXPECT_TRUE(fleettest::pollUntil([] { return fleet::lookupsRunning() == 0; }));
}

TEST_F(SharingProgram, UnitsWindowShowsTheOrganisationsHistoryWhenTheServerAnswersAndSaysWhich) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    // Laptop b's visit and download of the unit, on the server.
    fleettest::LocalStore b(otherFile("b.sqlite"));
    ASSERT_TRUE(b.record(
        fleettest::visit(QStringLiteral("XRQ00033"), QStringLiteral("laptop-b"), 1765188000000)));
    ASSERT_TRUE(b.record(fleet::eventFact(
        fleet::newFactId(), QStringLiteral("XRQ00033"), QStringLiteral("download"),
        QJsonObject{{QStringLiteral("bytes"), 5120}}, 1765188060000, QStringLiteral("laptop-b"))));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    share("laptop_a", QStringLiteral("laptop-a"));
    startProgram();
    ASSERT_TRUE(lineIs("shared: up to date")) << sharingLine().toStdString();
    // This laptop's visit reaches the server too.
    visitReachesServer({"XRQ00033", 1765189000000, 3, ""}, 3);
    ASSERT_FALSE(HasFatalFailure());

    FormXRQMain->ActionUnitsExecute(nullptr);
    UnitsWindow* units = FormXRQMain->FormUnits;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return units->historyChoice().shown() == UnitHistoryChoice::Source::Server; }, 60s))
        << units->LabelHistorySource->text().toStdString();
    EXPECT_EQ(units->LabelHistorySource->text().toStdString(), "organisation's history (server)");
    // This laptop's visit, newest, unmarked; laptop b's two facts marked with its name.
    QStringList events;
    for (int row = 0; row < units->HistoryTable->rowCount(); ++row)
        events << units->HistoryTable->item(row, 1)->text();
    EXPECT_EQ(events, QStringList({QStringLiteral("Connect"), QStringLiteral("Download (laptop-b)"),
                                   QStringLiteral("Connect (laptop-b)")}));
    ASSERT_TRUE(fleet::sharing().lastContact().has_value());

    // The server gone: the next look shows this laptop's history and says why.
    ASSERT_TRUE(server.stop());
    units->reload();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            // Whichever answer comes first: both are in.
            return units->LabelHistorySource->text() ==
                       QLatin1String("this laptop's history: server not reachable") &&
                   units->HistoryTable->rowCount() == 1;
        },
        60s))
        << units->LabelHistorySource->text().toStdString();
    ASSERT_EQ(units->HistoryTable->rowCount(), 1);
    EXPECT_EQ(units->HistoryTable->item(0, 1)->text().toStdString(), "Connect");
}

TEST_F(SharingProgram, UnitsWindowListsTheOrganisationsUnitsAndShowsTheHistoryOfOneNeverSeenHere) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    // Laptop b visited two units; this laptop only one of them.
    fleettest::LocalStore b(otherFile("b.sqlite"));
    ASSERT_TRUE(b.record(
        fleettest::visit(QStringLiteral("XRQ00035"), QStringLiteral("laptop-b"), 1765188000000)));
    ASSERT_TRUE(b.record(
        fleettest::visit(QStringLiteral("XRQ00036"), QStringLiteral("laptop-b"), 1765188100000)));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    share("laptop_a", QStringLiteral("laptop-a"));
    startProgram();
    visitReachesServer({"XRQ00036", 1765189000000, 4, ""}, 3);
    ASSERT_FALSE(HasFatalFailure());

    FormXRQMain->ActionUnitsExecute(nullptr);
    UnitsWindow* units = FormXRQMain->FormUnits;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return units->unitListChoice().shown() == UnitListChoice::Source::Server; }, 60s))
        << units->LabelUnitsSource->text().toStdString();
    EXPECT_EQ(units->LabelUnitsSource->text().toStdString(),
              "organisation's units (server): 2, 1 never seen by this laptop");
    ASSERT_EQ(units->listedSerials(), (std::vector<std::string>{"XRQ00036", "XRQ00035"}));
    EXPECT_EQ(units->listedSeenHere(), (std::vector<bool>{true, false}));
    EXPECT_EQ(units->UnitsTable->item(0, 4)->text().toStdString(), "2") << "visits of both laptops";
    EXPECT_EQ(units->UnitsTable->item(0, 5)->text().toStdString(), "2") << "laptops";
    EXPECT_TRUE(units->UnitsTable->item(1, 0)->font().italic());
    EXPECT_EQ(units->UnitsTable->item(1, 2)->text().toStdString(), "not on this laptop");

    // The unit this laptop never saw: no history of its own, the server's alone.
    units->selectUnit("XRQ00035");
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return units->selectedSerial() == "XRQ00035" &&
                   units->historyChoice().shown() == UnitHistoryChoice::Source::Server &&
                   units->HistoryTable->rowCount() == 1;
        },
        60s))
        << units->LabelHistorySource->text().toStdString();
    EXPECT_TRUE(units->history().empty());
    EXPECT_EQ(units->HistoryTable->item(0, 1)->text().toStdString(), "Connect (laptop-b)");
    EXPECT_EQ(units->HistoryTable->item(0, 2)->text().toStdString(), "COM3")
        << "detailed as this laptop's own visits are";
    EXPECT_FALSE(units->ButtonExport->isEnabled()) << "this laptop has no history of it to export";

    // The server gone: this laptop's units, saying so.
    ASSERT_TRUE(server.stop());
    units->reload();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return units->LabelUnitsSource->text() ==
                   QLatin1String("this laptop's units: server not reachable");
        },
        60s))
        << units->LabelUnitsSource->text().toStdString();
    EXPECT_EQ(units->listedSerials(), (std::vector<std::string>{"XRQ00036"}));
}

TEST_F(SharingProgram, WhenTheServerLastAnsweredSurvivesARestartWithoutIt) {
    addLaptop("laptop_a");
    share("laptop_a", QStringLiteral("laptop-a"));
    startProgram();
    unitRegister().recordVisit({"XRQ00037", 1765188000000, 3, ""});
    ASSERT_TRUE(testsupport::waitUntil([&] { return count("xrq.events") == 1; }, 60s))
        << sharingLine().toStdString();
    ASSERT_TRUE(testsupport::waitUntil([] { return fleet::sharing().lastContact().has_value(); }));
    // The first answer is kept while the program runs (a crash keeps it too), by a write
    // beside the windows.
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return fleet::readLastContact(sandbox.tempFiles(), "laptop_a").has_value();
    })) << "kept while the program runs";
    FormXRQMain->close();
    DestroyProgramWindows();
    const auto kept = fleet::readLastContact(sandbox.tempFiles(), "laptop_a");
    ASSERT_TRUE(kept.has_value()) << "kept at the program's end";

    // The next run, the server down: Clear Memory's question still says since when.
    ASSERT_TRUE(server.stop());
    script.reset(); // the next run's boxes get a script of their own
    startProgram();
    ASSERT_EQ(fleet::sharing().lastContact(), kept);
    const auto answer =
        fleet::sharing().checkOtherDownload(QStringLiteral("XRQ00037"), std::chrono::seconds(2));
    const QString note = fleet::otherLaptopsNote(answer, QStringLiteral("XRQ00037"),
                                                 fleet::sharing().lastContact(), *kept + 60000);
    EXPECT_TRUE(note.startsWith(QStringLiteral("Other laptops not checked since ")))
        << note.toStdString();
    FormXRQMain->close();
    DestroyProgramWindows();
    EXPECT_EQ(fleet::readLastContact(sandbox.tempFiles(), "laptop_a"), kept)
        << "a run without an answer keeps the time of the last one";
}

} // namespace
} // namespace sharingtest
