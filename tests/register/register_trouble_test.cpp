// SPDX-License-Identifier: GPL-3.0-or-later
// The register under trouble that is not damage (another program's lock, an I/O error, a
// full disk), real damage, the journal of events left at the end, and downloads of units
// that gave no serial number.
#include "register/register_journal.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "support/fault_vfs.h"
#include "support/read_file.h"
#include "support/wait.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

using namespace unitreg;
using namespace std::chrono_literals;

namespace {

using testsupport::readFile;

class RegisterTrouble : public ::testing::Test {
protected:
    void SetUp() override {
        faultvfs::install();
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString();
        path = folder + "/" + kFileName;
        writer.busyMs = 50;
        writer.retryFirst = 20ms;
        writer.retryLongest = 200ms;
    }
    void TearDown() override {
        faultvfs::failWrites(0, SQLITE_IOERR_WRITE);
        faultvfs::failSyncs(0);
        faultvfs::failReads(0, SQLITE_IOERR_READ);
        writer.close();
    }
    // Files moved aside as damaged.
    int movedAside() const {
        return int(QDir(tmp.path()).entryList({QStringLiteral("units-damaged-*")}).size());
    }
    template <class R> R ask(std::function<R(UnitRegister&)> work) {
        bool answered = false;
        R result{};
        QObject context;
        writer.query<R>(&context, std::move(work), [&](R r) {
            result = std::move(r);
            answered = true;
        });
        EXPECT_TRUE(testsupport::waitUntil([&] { return answered; }, 30s));
        return result;
    }
    int visits(const std::string& serial) {
        int n = 0;
        for (const auto& u :
             ask<std::vector<UnitSummary>>([](UnitRegister& r) { return r.units(); }))
            if (u.serial == serial)
                n = u.visits;
        return n;
    }

    QTemporaryDir tmp;
    std::string folder, path;
    RegisterWriter writer;
};

// Holds the register's write lock from another connection, as another program would.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name());
        db.setDatabaseName(QString::fromStdString(path));
        if (db.open())
            held = QSqlQuery(db).exec(QStringLiteral("BEGIN EXCLUSIVE"));
    }
    ~LockHolder() { release(); }
    void release() {
        if (!QSqlDatabase::contains(name()))
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(name());
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        QSqlDatabase::removeDatabase(name());
    }
    static QString name() { return QStringLiteral("holder"); }
    bool held = false;
};

// Each passing trouble: the events wait, the status and the warnings say why, nothing is
// moved aside, and when the trouble is over every event is written once.
TEST_F(RegisterTrouble, LockIoErrorAndFullDiskAreWaitedOutAndToldNothingDropped) {
    struct Case {
        const char* name;
        std::function<std::function<void()>(const std::string& path)> start; // gives the end
        const char* told;
    };
    const Case cases[] = {
        {"another program's lock",
         [](const std::string& p) {
             auto holder = std::make_shared<LockHolder>(p);
             EXPECT_TRUE(holder->held);
             return std::function<void()>([holder] { holder->release(); });
         },
         "held by another program"},
        {"an I/O error",
         [](const std::string&) {
             faultvfs::failWrites(1000000, SQLITE_IOERR_WRITE);
             return std::function<void()>([] { faultvfs::failWrites(0, SQLITE_IOERR_WRITE); });
         },
         "cannot be written just now"},
        {"a full disk",
         [](const std::string&) {
             faultvfs::failWrites(1000000, SQLITE_FULL);
             return std::function<void()>([] { faultvfs::failWrites(0, SQLITE_FULL); });
         },
         "is full"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(writer.open(path).state, OpenOutcome::State::Open);
        QStringList statuses;
        auto link = QObject::connect(writer.signalsObject(), &RegisterSignals::statusChanged,
                                     [&](const QString& s) { statuses << s; });
        const std::string serial = "XRQ0000" + std::to_string(++round);
        auto end = c.start(path);
        for (int i = 0; i < 3; ++i)
            writer.recordVisit({serial, 100 + i, 1, ""});
        ASSERT_TRUE(testsupport::waitUntil([&] { return !writer.statusText().isEmpty(); }, 30s));
        EXPECT_TRUE(writer.statusText().contains(QLatin1String(c.told)))
            << writer.statusText().toStdString();
        ASSERT_FALSE(writer.warnings().empty());
        EXPECT_NE(writer.warnings().front().find(c.told), std::string::npos);
        end();
        ASSERT_TRUE(writer.waitIdle(30s));
        ASSERT_TRUE(testsupport::waitUntil([&] { return writer.statusText().isEmpty(); }, 30s));
        EXPECT_EQ(visits(serial), 3);
        EXPECT_EQ(movedAside(), 0);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(journalPath(path))));
        EXPECT_GE(statuses.size(), 2) << "told when it began and when it ended";
        EXPECT_TRUE(statuses.last().isEmpty());
        QObject::disconnect(link);
        writer.close();
        EXPECT_FALSE(writer.warnings().empty()) << "kept after the end for the collector";
    }
}

// A sync that fails while the register is being made is an I/O error, tried again: the file
// is not taken for damaged.
TEST_F(RegisterTrouble, AFailedSyncWhileTheRegisterIsMadeIsNotDamage) {
    faultvfs::failSyncs(1);
    const int before = faultvfs::failedSoFar();
    writer.open(path);
    writer.recordVisit({"XRQ10472", 1, 1, ""});
    ASSERT_TRUE(writer.waitIdle(30s));
    EXPECT_EQ(faultvfs::failedSoFar(), before + 1) << "the injected failure was met";
    EXPECT_EQ(visits("XRQ10472"), 1);
    EXPECT_EQ(movedAside(), 0);
    UnitRegister reg;
    writer.close();
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    EXPECT_EQ(reg.schemaVersion(), kSchemaVersion);
    reg.close();
    EXPECT_EQ(faultvfs::journalModeOf(path), "wal") << "made with its write-ahead log";
}

// Damage that SQLite reports and a fresh check confirms is still moved aside, the events
// kept for the new file.
TEST_F(RegisterTrouble, RealDamageIsStillMovedAside) {
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string("SQLite format 3") << '\0' << std::string(4096, '\x55');
    }
    const OpenOutcome outcome = writer.open(path);
    EXPECT_EQ(outcome.state, OpenOutcome::State::OpenAfterMovingAside) << outcome.message;
    writer.recordVisit({"XRQ10472", 1, 1, ""});
    ASSERT_TRUE(writer.waitIdle(30s));
    EXPECT_EQ(visits("XRQ10472"), 1);
    EXPECT_EQ(movedAside(), 1);
}

// A report of corruption that a fresh look does not confirm (a read garbled once on its way
// from the disk) leaves the file where it is; the next try opens it.
TEST_F(RegisterTrouble, CorruptionThatAFreshCheckDoesNotConfirmIsNotMovedAside) {
    {
        UnitRegister reg;
        ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
        ASSERT_TRUE(reg.recordVisit({"XRQ10472", 1, 1, ""}));
    }
    const std::string before = readFile(path);
    UnitRegister reg;
    faultvfs::failReads(1, SQLITE_CORRUPT);
    const int failed = faultvfs::failedSoFar();
    const OpenOutcome outcome = reg.open(path);
    ASSERT_EQ(faultvfs::failedSoFar(), failed + 1) << "the garbled read was met";
    EXPECT_EQ(outcome.state, OpenOutcome::State::Unavailable) << outcome.message;
    EXPECT_TRUE(outcome.retryable);
    EXPECT_EQ(movedAside(), 0);
    EXPECT_EQ(readFile(path), before);
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    EXPECT_EQ(reg.history("XRQ10472").size(), 1u);
}

// Events still waiting at the end go to the journal; the next start writes them in and
// removes it; the same journal replayed again writes nothing twice.
TEST_F(RegisterTrouble, EventsLeftAtTheEndAreReplayedOnceAtTheNextStart) {
    ASSERT_EQ(writer.open(path).state, OpenOutcome::State::Open);
    Download download;
    download.started = 10;
    download.ended = 20;
    download.bytes = 1234;
    download.sets = 2;
    download.files = {"/data/A.txt", "/data/B\xb5.txt"};
    download.reasons = {"a line beginning 'No' after data set A: later data sets may be missing"};
    download.setLines = {{"A", 12}, {"B\xb0", 0}};
    download.lineErrors = "not checked";
    download.port = 3;
    {
        LockHolder holder(path);
        ASSERT_TRUE(holder.held);
        writer.recordVisit({"XRQ10472", 5, 3, "/dev/ttyUSB0"});
        writer.recordBattery({"XRQ10472", 6, 12.6, 21.4, "Bat:12.6\xb0"});
        writer.recordDownload(download);
        ASSERT_TRUE(testsupport::waitUntil([&] { return !writer.statusText().isEmpty(); }, 30s));
        writer.close(); // does not wait for the lock
    }
    const std::string journal = journalPath(path);
    const std::string kept = readFile(journal);
    ASSERT_EQ(std::count(kept.begin(), kept.end(), '\n'), 3) << kept;
    bool noted = false;
    for (const auto& w : writer.warnings())
        noted = noted || w.find(journal) != std::string::npos;
    EXPECT_TRUE(noted) << "the collector's warnings name the journal";

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start" : "the same journal again");
        if (start == 1) {
            std::ofstream(journal, std::ios::binary) << kept;
        }
        ASSERT_EQ(writer.open(path).state, OpenOutcome::State::Open);
        ASSERT_TRUE(writer.waitIdle(30s));
        EXPECT_FALSE(QFile::exists(QString::fromStdString(journal)));
        EXPECT_EQ(visits("XRQ10472"), 1);
        const auto history =
            ask<std::vector<UnitEvent>>([](UnitRegister& r) { return r.history(std::string()); });
        ASSERT_EQ(history.size(), 1u) << "the download, under no serial number";
        const Download& d = history[0].download;
        EXPECT_EQ(d.files, download.files);
        EXPECT_EQ(d.reasons, download.reasons);
        ASSERT_EQ(d.setLines.size(), 2u);
        EXPECT_EQ(d.setLines[1].name, "B\xb0");
        EXPECT_EQ(d.setLines[0].lines, 12);
        EXPECT_EQ(d.lineErrors, "not checked");
        EXPECT_EQ(d.port, 3);
        const auto battery = ask<std::vector<BatteryReading>>(
            [](UnitRegister& r) { return r.batteryHistory("XRQ10472"); });
        ASSERT_EQ(battery.size(), 1u);
        EXPECT_EQ(battery[0].reply, "Bat:12.6\xb0");
        writer.close();
    }
}

// A journal line holds every field, bytes exactly; a torn line (a crash mid-append) is left
// out and the lines after it still count.
TEST(RegisterJournal, LinesCarryEveryKindAndATornLineIsLeftOut) {
    QTemporaryDir tmp;
    const std::string journal = tmp.path().toStdString() + "/units-pending.jsonl";
    Download d;
    d.serial = "XRQ\x01\xff";
    d.started = 1793000000123;
    d.bytes = 9007199254740993ull; // beyond a double's exact integers
    d.keptFile = "/k\xe9pt";
    const std::vector<Event> events = {
        Visit{"XRQ1", 1, 4, "/dev/ttyS\xb0", "id-visit"},
        BatteryReading{"XRQ1", 2, 12.61, -3.5, std::string("A\0B", 3), "id-bat"},
        ClockSet{"XRQ1", 3, "26-11-03", 3600, "Europe/Berlin", "id-clock"},
        Clear{"", 4, true, "id-clear"},
        Identification{"id-link", "id-download", "XRQ1", 5},
        JudgedAgain{"id-judged",
                    "id-download",
                    "XRQ1",
                    6,
                    1793000000123,
                    {"the last line before the prompt was cut: \"1,2\"", "caf\xc3\xa9"}},
    };
    std::string why;
    ASSERT_TRUE(appendToJournal(journal, events).ok());
    { std::ofstream(journal, std::ios::app | std::ios::binary) << "{\"kind\":\"visit\",\"id"; }
    Event withDownload = d;
    std::get<Download>(withDownload).id = "id-download";
    ASSERT_TRUE(appendToJournal(journal, {withDownload}).ok());
    std::vector<Event> back;
    const ReplayOutcome r = replayJournal(journal, [&](const std::vector<Event>& e) {
        back = e;
        return true;
    });
    EXPECT_TRUE(r.replayed);
    EXPECT_EQ(r.unreadable, 1);
    ASSERT_EQ(back.size(), events.size() + 1);
    for (std::size_t i = 0; i < events.size(); ++i)
        EXPECT_EQ(eventLine(back[i]), eventLine(events[i])) << i;
    const Download& b = std::get<Download>(back.back());
    EXPECT_EQ(b.serial, d.serial);
    EXPECT_EQ(b.bytes, d.bytes);
    EXPECT_EQ(b.keptFile, d.keptFile);
    EXPECT_EQ(std::get<BatteryReading>(back[1]).reply, std::string("A\0B", 3));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(journal)));
    // A journal whose events cannot be written stays.
    ASSERT_TRUE(appendToJournal(journal, events).ok());
    EXPECT_FALSE(replayJournal(journal, [](const auto&) { return false; }).replayed);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(journal)));
}

// A download from a unit that gave no serial number stays that unit's; the next unit named on
// the same port is linked to it by a fact of its own, and shows it in its history.
TEST_F(RegisterTrouble, AnUnnamedDownloadIsLinkedByTheNextNamingOnItsPort) {
    ASSERT_EQ(writer.open(path).state, OpenOutcome::State::Open);
    Download d;
    d.started = 50;
    d.port = 3;
    const std::string id = writer.recordDownload(d);
    EXPECT_FALSE(id.empty());
    writer.unitIdentified("XRQ20001", 5); // another port: not this download's unit
    writer.unitIdentified("XRQ10472", 3);
    writer.unitIdentified("XRQ10472", 3); // linked once
    ASSERT_TRUE(writer.waitIdle(30s));
    const auto named =
        ask<std::vector<UnitEvent>>([](UnitRegister& r) { return r.history("XRQ10472"); });
    ASSERT_EQ(named.size(), 1u);
    EXPECT_TRUE(named[0].identifiedLater);
    EXPECT_EQ(named[0].download.id, id);
    EXPECT_TRUE(named[0].download.serial.empty()) << "the row is as it was written";
    EXPECT_TRUE(
        ask<std::vector<UnitEvent>>([](UnitRegister& r) { return r.history("XRQ20001"); }).empty());
    EXPECT_EQ(ask<std::vector<UnitEvent>>([](UnitRegister& r) {
                  return r.history(std::string());
              }).size(),
              1u);
}

} // namespace
