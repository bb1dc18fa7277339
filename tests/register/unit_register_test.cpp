// SPDX-License-Identifier: GPL-3.0-or-later
// The unit register on its own: what goes in comes out, whatever bytes a unit sends as its
// serial number; files it cannot use are left as they were; an older file is migrated; two
// processes write at once; and the program's writer never makes its caller wait.
#include "dialogs/run_log.h"
#include "register/register_texts.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "support/child_process.h"
#include "support/read_file.h"
#include "support/sqlite_statements.h"
#include "support/wait.h"
#include "units_window/units_window.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace unitreg;
using namespace std::chrono_literals;

namespace {

using testsupport::readFile;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class Register : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString() + "/";
        path = folder + kFileName;
    }
    void TearDown() override {
        // A folder left read-only would stop its own removal.
        ::chmod(folder.c_str(), 0755);
    }
    QTemporaryDir tmp;
    std::string folder, path;
};

// A round's events for one unit, at given times.
void recordRound(UnitRegister& reg, const std::string& serial, std::int64_t t) {
    ASSERT_TRUE(reg.recordVisit({serial, t, 3, "/dev/ttyUSB0"}));
    ASSERT_TRUE(reg.recordBattery({serial, t + 1000, 12.61, 21.4, "\r\nBat: 12.61 Temp: 21.4>"}));
    ASSERT_TRUE(reg.recordClockSet({serial, t + 2000, "26-11-03 10:42:00", 3600, "Europe/Berlin"}));
    Download d;
    d.serial = serial;
    d.started = t + 3000;
    d.ended = t + 9000;
    d.bytes = 12345;
    d.sets = 2;
    d.files = {"/data/SITE1.txt", "/data/SITE 2_000.txt"};
    d.complete = true;
    d.verified = true;
    d.keptFile = "/data/kept/raw.txt";
    ASSERT_TRUE(reg.recordDownload(d));
    ASSERT_TRUE(reg.recordClear({serial, t + 10000, false}));
}

TEST_F(Register, EveryKindOfEventComesBackAsRecorded) {
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    EXPECT_EQ(reg.schemaVersion(), kSchemaVersion);
    const std::int64_t t = 1793000000000;
    recordRound(reg, "XRQ10472", t);
    ASSERT_TRUE(reg.recordVisit({"XRQ10472", t + 86400000, 4, ""}));
    ASSERT_TRUE(reg.recordVisit({"OTHER001", t + 5, 1, "/dev/ttyS0"}));
    // A unit that gave no serial number has a row of its own, seen first and last then.
    EXPECT_TRUE(reg.recordClear({"", t - 1, true}));

    const auto units = reg.units();
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[2].serial, "");
    EXPECT_EQ(units[0].serial, "XRQ10472"); // seen last
    EXPECT_EQ(units[0].visits, 2);
    EXPECT_EQ(units[0].firstSeen, t);
    EXPECT_EQ(units[0].lastVisit, t + 86400000);
    EXPECT_EQ(units[0].lastDownload, t + 3000);
    EXPECT_TRUE(units[0].lastDownloadComplete);
    EXPECT_EQ(units[0].lastBatteryAt, t + 1000);
    EXPECT_DOUBLE_EQ(units[0].lastVolts, 12.61);
    EXPECT_DOUBLE_EQ(units[0].lastCelsius, 21.4);
    EXPECT_EQ(units[1].visits, 1);
    EXPECT_FALSE(units[1].lastDownload);

    const auto events = reg.history("XRQ10472");
    ASSERT_EQ(events.size(), 6u);
    const EventKind newestFirst[] = {EventKind::Visit,    EventKind::Clear,   EventKind::Download,
                                     EventKind::ClockSet, EventKind::Battery, EventKind::Visit};
    for (std::size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(events[i].kind, newestFirst[i]) << i;
    EXPECT_EQ(events[5].port, 3);
    EXPECT_EQ(events[5].device, "/dev/ttyUSB0");
    EXPECT_EQ(events[4].reply, "\r\nBat: 12.61 Temp: 21.4>");
    EXPECT_EQ(events[3].sent, "26-11-03 10:42:00");
    const Download& d = events[2].download;
    EXPECT_EQ(d.ended, t + 9000);
    EXPECT_EQ(d.bytes, 12345u);
    EXPECT_EQ(d.sets, 2);
    EXPECT_EQ(d.files, (std::vector<std::string>{"/data/SITE1.txt", "/data/SITE 2_000.txt"}));
    EXPECT_EQ(d.keptFile, "/data/kept/raw.txt");
    EXPECT_TRUE(d.complete);
    EXPECT_TRUE(d.verified);
    EXPECT_FALSE(events[1].confirmed);

    const auto last = reg.lastDownload("XRQ10472");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->started, t + 3000);
    EXPECT_FALSE(reg.lastDownload("OTHER001"));
    EXPECT_EQ(lastDownloadText(std::nullopt), "not downloaded yet");
    EXPECT_TRUE(lastDownloadText(last).startsWith("last downloaded 20"));
    EXPECT_TRUE(lastDownloadText(last).endsWith(", complete"));

    // Reopened, the same.
    reg.close();
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    EXPECT_EQ(reg.history("XRQ10472").size(), 6u);
}

TEST_F(Register, SerialNumbersAreStoredAndShownAsTheUnitSentThem) {
    const std::string serials[] = {
        "'\";DROP ",          "'); DELETE FROM units; --",
        "O'Brien\"",          std::string("A\0B\x01\x7f", 5),
        "\xE9t\xE9\xFF\xA0x", "%s%n?:1",
        "XRQ10472",
    };
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    std::int64_t t = 1793000000000;
    for (const std::string& s : serials) {
        ASSERT_TRUE(reg.recordVisit({s, t, 1, s}));
        ASSERT_TRUE(reg.recordBattery({s, t + 1, 12.0, 20.0, s}));
        t += 1000;
    }
    const auto units = reg.units();
    ASSERT_EQ(units.size(), std::size(serials));
    for (const std::string& s : serials) {
        SCOPED_TRACE(testing::PrintToString(s));
        const auto events = reg.history(s);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1].device, s);
        EXPECT_EQ(events[0].reply, s);
        const QString shown = serialText(s);
        ASSERT_EQ(shown.size(), qsizetype(s.size()));
        for (std::size_t i = 0; i < s.size(); ++i)
            EXPECT_EQ(shown[qsizetype(i)].unicode(), static_cast<unsigned char>(s[i]));
    }
    reg.close();

    // And the Units window lists them as they were.
    RegisterWriter& writer = unitRegister();
    ASSERT_NE(writer.open(path).state, OpenOutcome::State::Unavailable);
    {
        UnitsWindow window;
        window.show();
        ASSERT_TRUE(testsupport::waitUntil([&] { return window.history().size() == 2; }));
        QStringList shown;
        for (int row = 0; row < window.UnitsTable->rowCount(); ++row)
            shown << window.UnitsTable->item(row, 0)->text();
        for (const std::string& s : serials)
            EXPECT_TRUE(shown.contains(serialText(s))) << testing::PrintToString(s);
    }
    writer.close();
}

TEST_F(Register, FilesItCannotUseAreLeftAsTheyWere) {
    struct Case {
        const char* name;
        bool needsOrdinaryUser; // root reads and writes whatever the mode bits say
        std::function<void(const std::string& folder, const std::string& path)> prepare;
        OpenOutcome::State expected;
        const char* messageHas;
    };
    auto goodFile = [](const std::string& path) {
        UnitRegister reg;
        ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
        ASSERT_TRUE(reg.recordVisit({"XRQ10472", 1, 1, ""}));
    };
    const Case cases[] = {
        {"garbage", false,
         [](const std::string&, const std::string& p) {
             writeFile(p, std::string(3000, 'x') + "not a database");
         },
         OpenOutcome::State::OpenAfterMovingAside, "was damaged"},
        {"damaged page", false,
         [&](const std::string&, const std::string& p) {
             goodFile(p);
             // The header stays, the schema page is overwritten.
             std::string bytes = readFile(p);
             for (std::size_t i = 100; i < bytes.size() && i < 4096; ++i)
                 bytes[i] = char(0xA5);
             writeFile(p, bytes);
         },
         OpenOutcome::State::OpenAfterMovingAside, "was damaged"},
        {"newer schema", false,
         [&](const std::string&, const std::string& p) {
             goodFile(p);
             auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "newer");
             db.setDatabaseName(QString::fromStdString(p));
             ASSERT_TRUE(db.open());
             QSqlQuery(db).exec(QStringLiteral("PRAGMA user_version=99"));
             db.close();
             db = {};
             QSqlDatabase::removeDatabase("newer");
         },
         OpenOutcome::State::Unavailable, "newer version"},
        {"a link in its place", false,
         [](const std::string& f, const std::string& p) {
             writeFile(f + "elsewhere", "keep");
             ASSERT_EQ(::symlink((f + "elsewhere").c_str(), p.c_str()), 0);
         },
         OpenOutcome::State::Unavailable, "not a regular file"},
        {"unreadable", true,
         [&](const std::string&, const std::string& p) {
             goodFile(p);
             ::chmod(p.c_str(), 0);
         },
         OpenOutcome::State::Unavailable, "Permission denied"},
        {"read-only folder with a register", true,
         [&](const std::string& f, const std::string& p) {
             goodFile(p);
             ::chmod(f.c_str(), 0555);
         },
         OpenOutcome::State::Unavailable, "not writable"},
        {"read-only folder without one", true,
         [](const std::string& f, const std::string&) { ::chmod(f.c_str(), 0555); },
         OpenOutcome::State::Unavailable, "not writable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsOrdinaryUser && ::geteuid() == 0) {
            std::printf("[ skipped  ] %s: needs an ordinary user\n", c.name);
            continue;
        }
        QTemporaryDir dir;
        const std::string f = dir.path().toStdString() + "/";
        const std::string p = f + kFileName;
        c.prepare(f, p);
        struct stat before {};
        const bool existed = ::lstat(p.c_str(), &before) == 0;
        const std::string bytes = existed && S_ISREG(before.st_mode) && (before.st_mode & 0400)
                                      ? readFile(p)
                                      : std::string();

        UnitRegister reg;
        const OpenOutcome outcome = reg.open(p, 200);
        EXPECT_EQ(outcome.state, c.expected);
        EXPECT_NE(outcome.message.find(c.messageHas), std::string::npos) << outcome.message;
        EXPECT_NE(outcome.message.find(p), std::string::npos) << "the message names the file";
        if (outcome.state == OpenOutcome::State::OpenAfterMovingAside) {
            // The old file is kept, byte for byte, where the message says.
            EXPECT_NE(outcome.message.find(outcome.movedTo), std::string::npos);
            EXPECT_EQ(readFile(outcome.movedTo), bytes);
            EXPECT_TRUE(reg.recordVisit({"XRQ10472", 2, 1, ""})) << "a new one works";
            EXPECT_EQ(reg.units().size(), 1u);
        } else {
            EXPECT_FALSE(reg.isOpen());
            EXPECT_FALSE(reg.recordVisit({"XRQ10472", 2, 1, ""}));
            struct stat after {};
            EXPECT_EQ(::lstat(p.c_str(), &after) == 0, existed);
            if (existed) {
                EXPECT_EQ(after.st_ino, before.st_ino);
                EXPECT_EQ(after.st_size, before.st_size);
                EXPECT_EQ(after.st_mtime, before.st_mtime);
            }
        }
        reg.close();
        ::chmod(f.c_str(), 0755);
        ::chmod(p.c_str(), 0644);
    }
}

TEST_F(Register, AnOlderFileIsMigratedForwardWithItsRecords) {
    // A register as the first schema left it, written here by hand.
    ASSERT_TRUE(testsupport::runSql(
        path, {
                  "CREATE TABLE units(id INTEGER PRIMARY KEY, serial BLOB NOT NULL UNIQUE,"
                  " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL)",
                  "CREATE TABLE visits(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
                  " REFERENCES units(id), at INTEGER NOT NULL, port INTEGER, device BLOB)",
                  "CREATE TABLE battery(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
                  " REFERENCES units(id), at INTEGER NOT NULL, volts REAL, celsius REAL,"
                  " reply BLOB)",
                  "CREATE TABLE clock_sets(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
                  " REFERENCES units(id), at INTEGER NOT NULL, sent BLOB)",
                  "CREATE TABLE downloads(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
                  " REFERENCES units(id), started INTEGER NOT NULL, ended INTEGER,"
                  " bytes INTEGER, sets INTEGER, complete INTEGER NOT NULL, why TEXT)",
                  "CREATE TABLE download_files(download_id INTEGER NOT NULL REFERENCES"
                  " downloads(id), seq INTEGER NOT NULL, path BLOB NOT NULL,"
                  " PRIMARY KEY(download_id, seq))",
                  "CREATE TABLE clears(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
                  " REFERENCES units(id), at INTEGER NOT NULL, confirmed INTEGER NOT NULL)",
                  "INSERT INTO units VALUES(1, CAST('OLD00001' AS BLOB), 1000, 5000)",
                  "INSERT INTO visits VALUES(1, 1, 1000, 2, CAST('/dev/ttyS1' AS BLOB))",
                  "INSERT INTO battery VALUES(1, 1, 2000, 11.9, 18.5, CAST('Bat: 11.9' AS BLOB))",
                  "INSERT INTO downloads VALUES(1, 1, 3000, 4000, 99, 1, 0, 'Timeout')",
                  "INSERT INTO download_files VALUES(1, 0, CAST('/d/A.txt' AS BLOB))",
                  "PRAGMA user_version=1",
              }));
    UnitRegister reg;
    const OpenOutcome outcome = reg.open(path);
    ASSERT_EQ(outcome.state, OpenOutcome::State::Open) << outcome.message;
    EXPECT_EQ(outcome.foundVersion, 1);
    EXPECT_EQ(reg.schemaVersion(), kSchemaVersion);
    auto events = reg.history("OLD00001");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, EventKind::Download);
    EXPECT_EQ(events[0].download.why, "Timeout");
    EXPECT_EQ(events[0].download.files, std::vector<std::string>{"/d/A.txt"});
    EXPECT_FALSE(events[0].download.verified) << "unknown before: not verified";
    EXPECT_TRUE(events[0].download.keptFile.empty());
    EXPECT_DOUBLE_EQ(events[1].volts, 11.9);
    EXPECT_EQ(events[2].device, "/dev/ttyS1");

    Download d;
    d.serial = "OLD00001";
    d.started = 6000;
    d.complete = d.verified = true;
    d.keptFile = "/kept";
    ASSERT_TRUE(reg.recordDownload(d));
    events = reg.history("OLD00001");
    EXPECT_TRUE(events[0].download.verified);
    EXPECT_EQ(events[0].download.keptFile, "/kept");
    reg.close();
    // Opened again: nothing to migrate, nothing lost.
    ASSERT_EQ(reg.open(path).foundVersion, kSchemaVersion);
    EXPECT_EQ(reg.history("OLD00001").size(), 4u);
    // A clock set keeps the computer's UTC offset and time zone once migrated; one without
    // them stays NULL, for the series to work out.
    ASSERT_TRUE(reg.recordClockSet({"OLD00001", 7000, "26-11-03 10:42:00", 3600, "Europe/Berlin"}));
    ASSERT_TRUE(reg.recordClockSet({"OLD00001", 8000, "26-11-03 10:43:00"}));
    reg.close();
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "v4");
        db.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(
            q.exec(QStringLiteral("SELECT utc_offset, time_zone FROM clock_sets ORDER BY at")));
        ASSERT_TRUE(q.next());
        EXPECT_EQ(q.value(0).toInt(), 3600);
        EXPECT_EQ(q.value(1).toString(), QStringLiteral("Europe/Berlin"));
        ASSERT_TRUE(q.next());
        EXPECT_TRUE(q.value(0).isNull());
        EXPECT_FALSE(q.next());
        q = QSqlQuery();
        db.close();
        db = {};
        QSqlDatabase::removeDatabase("v4");
    }
}

TEST(RegisterCsv, FieldsAreQuotedAndTheSerialKeepsItsCharacters) {
    UnitEvent battery;
    battery.kind = EventKind::Battery;
    battery.at = 1793000000000;
    battery.volts = 12.25;
    battery.celsius = -3.96;
    battery.reply = "Bat: 12.25,\r\n\"x\">";
    UnitEvent download;
    download.kind = EventKind::Download;
    download.at = 1793000001000;
    download.download.files = {"/d/A.txt", "/d/B,1.txt"};
    download.download.bytes = 42;
    download.download.sets = 2;
    download.download.complete = true;
    download.download.reasons = {"records before the first data set's name", "a, b"};
    download.download.setLines = {{"A\xb0", 1}, {"B", 7}};
    download.download.lineErrors = "2 framing";
    const QString csv = QString::fromUtf8(historyCsv("A\"B,\xE9", {download, battery}));
    const QStringList lines = csv.split(QStringLiteral("\r\n"));
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith(QLatin1String("Serial,Time,Event,Details")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("\"A\"\"B,\u00e9\",")));
    EXPECT_TRUE(lines[1].contains(QLatin1String(",Download,")));
    EXPECT_TRUE(lines[1].contains(QLatin1String("\"/d/A.txt; /d/B,1.txt\"")));
    EXPECT_TRUE(lines[1].contains(QLatin1String(",42,2,")));
    EXPECT_TRUE(csv.contains(QLatin1String(",12.25,-3.96,\"Bat: 12.25,")));
    EXPECT_TRUE(csv.contains(QLatin1String("\"\"x\"\">\"")));
    EXPECT_TRUE(csv.contains(QLatin1String("12.3 V, -4.0 C"))) << "details as the captions show";
    EXPECT_TRUE(lines[0].endsWith(QLatin1String(",Reasons,Data set lines,Line errors")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(",\"records before the first data set's name; a, "
                                                 "b\",A\u00b0: 1 line; B: 7 lines,2 framing")))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(QLatin1String("line errors: 2 framing")));
}

// --- two processes --------------------------------------------------------------------------

constexpr int kChildEvents = 150;

// Run only as the child of the test below, through its environment.
TEST(RegisterChild, DISABLED_Writer) {
    const char* path = std::getenv("XRQ_REGISTER_CHILD_PATH");
    const char* mode = std::getenv("XRQ_REGISTER_CHILD_MODE");
    ASSERT_TRUE(path && mode);
    UnitRegister reg;
    ASSERT_EQ(reg.open(path, 10000).state, OpenOutcome::State::Open);
    if (std::string(mode) == "hold") {
        // Another copy in a long transaction: it holds the write lock for a second.
        ASSERT_TRUE(reg.bulk([&] {
            reg.recordVisit({"CHILD000", 1, 1, ""});
            std::fprintf(stderr, "holding\n");
            std::this_thread::sleep_for(1s);
            return true;
        }));
        return;
    }
    std::fprintf(stderr, "writing\n");
    for (int i = 0; i < kChildEvents; ++i)
        ASSERT_TRUE(reg.recordVisit({"CHILD000", 1000 + i, 1, "/dev/child"})) << reg.lastError();
}

std::unique_ptr<testsupport::ChildProcess> startChild(const std::string& path, const char* mode) {
    ::setenv("XRQ_REGISTER_CHILD_PATH", path.c_str(), 1);
    ::setenv("XRQ_REGISTER_CHILD_MODE", mode, 1);
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    auto child = std::make_unique<testsupport::ChildProcess>(
        std::string(self, n > 0 ? std::size_t(n) : 0),
        std::vector<std::string>{"--gtest_filter=RegisterChild.DISABLED_Writer",
                                 "--gtest_also_run_disabled_tests"});
    ::unsetenv("XRQ_REGISTER_CHILD_PATH");
    ::unsetenv("XRQ_REGISTER_CHILD_MODE");
    return child;
}

TEST_F(Register, TwoProcessesWriteAtOnceAndNeitherLosesAnEvent) {
    {
        UnitRegister made; // the file exists before both start
        ASSERT_EQ(made.open(path).state, OpenOutcome::State::Open);
    }
    auto child = startChild(path, "write");
    ASSERT_TRUE(child->started());
    ASSERT_TRUE(child->waitForError("writing", 30s)) << child->errorOutput();
    UnitRegister reg;
    ASSERT_EQ(reg.open(path, 10000).state, OpenOutcome::State::Open);
    for (int i = 0; i < kChildEvents; ++i)
        ASSERT_TRUE(reg.recordVisit({"PARENT00", 1000 + i, 2, "/dev/parent"})) << reg.lastError();
    ASSERT_TRUE(child->waitForExit(60s));
    EXPECT_TRUE(child->exitedNormally());
    EXPECT_EQ(child->exitCode(), 0) << child->errorOutput();
    const auto units = reg.units();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].visits + units[1].visits, 2 * kChildEvents);
    EXPECT_EQ(units[0].visits, kChildEvents);
}

TEST_F(Register, TheProgramsWriterNeverWaitsForAnotherCopy) {
    RegisterWriter& writer = unitRegister();
    ASSERT_EQ(writer.open(path).state, OpenOutcome::State::Open);
    auto child = startChild(path, "hold");
    ASSERT_TRUE(child->waitForError("holding", 30s)) << child->errorOutput();
    // While the other copy holds the lock, handing over an event and asking a question
    // return at once; the answer comes when the lock is free.
    const auto before = std::chrono::steady_clock::now();
    writer.recordVisit({"PARENT00", 5, 2, ""});
    bool answered = false;
    int visits = -1;
    QObject context;
    writer.query<std::vector<UnitSummary>>(
        &context, [](UnitRegister& r) { return r.units(); },
        [&](std::vector<UnitSummary> units) {
            answered = true;
            visits = 0;
            for (const auto& u : units)
                visits += u.visits;
        });
    const auto handedOver = std::chrono::steady_clock::now() - before;
    EXPECT_LT(handedOver, 200ms) << "the UI thread waited for the register";
    EXPECT_FALSE(answered) << "answers come through the event loop";
    ASSERT_TRUE(testsupport::waitUntil([&] { return answered; }, 30s));
    EXPECT_EQ(visits, 2) << "the other copy's event and ours";
    ASSERT_TRUE(child->waitForExit(30s));
    writer.close();
}

TEST_F(Register, WithoutARegisterTheWriterDoesNothingAndQueriesAnswerEmpty) {
    ::chmod(folder.c_str(), 0555);
    RegisterWriter& writer = unitRegister();
    int troubles = 0;
    QString told;
    auto link =
        QObject::connect(writer.signalsObject(), &RegisterSignals::troubled, [&](const QString& m) {
            ++troubles;
            told = m;
        });
    const OpenOutcome outcome = writer.open(path);
    if (::geteuid() != 0) {
        EXPECT_EQ(outcome.state, OpenOutcome::State::Unavailable);
        EXPECT_FALSE(writer.available());
        ASSERT_TRUE(testsupport::waitUntil([&] { return troubles > 0; }));
        EXPECT_TRUE(told.contains(QString::fromStdString(path)));
    }
    writer.recordVisit({"XRQ10472", 1, 1, ""});
    writer.recordBattery({"XRQ10472", 1, 1, 1, ""});
    bool answered = false;
    QObject context;
    writer.query<std::vector<UnitSummary>>(
        &context, [](UnitRegister& r) { return r.units(); },
        [&](std::vector<UnitSummary> units) {
            answered = true;
            if (::geteuid() != 0) {
                EXPECT_TRUE(units.empty());
            }
        });
    EXPECT_TRUE(testsupport::waitUntil([&] { return answered; }));
    testsupport::runEventsFor(100);
    EXPECT_LE(troubles, 1) << "told once";
    writer.close();
    QObject::disconnect(link);
}

} // namespace
