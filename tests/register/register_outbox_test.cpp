// SPDX-License-Identifier: GPL-3.0-or-later
// The register's outbox: every event waits there to be shared from the transaction that
// records it, under its own identity and this laptop's name, whether sharing is on or not;
// an older register's events are put there once when it is migrated.
#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"
#include "register/register_outbox.h"
#include "register/unit_register.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace unitreg;

namespace {

struct Row {
    std::string kind, identity, unit, type, laptop;
    QJsonObject payload;
};

// A complete, verified download of unit XRQ10472 kept in `kept`, with an identity of its own.
Download keptDownload(const std::string& kept) {
    Download d;
    d.serial = "XRQ10472";
    d.started = 3000;
    d.ended = 4000;
    d.complete = d.verified = true;
    d.keptFile = kept;
    d.id = newEventId();
    return d;
}

class RegisterOutbox : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString() + "/";
        path = folder + kFileName;
        ASSERT_TRUE(fleet::writeFleetSettings(folder, {QString(), QStringLiteral("laptop-7")}));
    }

    // The outbox as another program sees it, in order.
    std::vector<Row> outbox() {
        std::vector<Row> rows;
        {
            auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "look");
            db.setDatabaseName(QString::fromStdString(path));
            EXPECT_TRUE(db.open());
            QSqlQuery q(db);
            EXPECT_TRUE(q.exec(QStringLiteral("SELECT kind, identity, unit, type, laptop, payload"
                                              " FROM fleet_outbox ORDER BY seq")));
            while (q.next())
                rows.push_back(
                    {q.value(0).toString().toStdString(), q.value(1).toString().toStdString(),
                     q.value(2).toString().toStdString(), q.value(3).toString().toStdString(),
                     q.value(4).toString().toStdString(),
                     QJsonDocument::fromJson(q.value(5).toByteArray()).object()});
            q = QSqlQuery();
            db.close();
        }
        QSqlDatabase::removeDatabase("look");
        return rows;
    }

    QTemporaryDir tmp;
    std::string folder, path;
};

TEST_F(RegisterOutbox, EachEventWaitsUnderItsIdentityOnceAndAKeptDownloadWithItsHash) {
    const std::string kept = folder + "kept.txt";
    const QByteArray keptBytes = "F\r\nName: SITE1\r\n1,2\r\n>";
    std::ofstream(kept, std::ios::binary) << keptBytes.toStdString();
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);

    Download d = keptDownload(kept);
    d.setLines = {{"SITE1", 1}};
    const Identification link{newEventId(), d.id, "XRQ10472", 6000};
    struct Case {
        const char* type;
        std::string id;
        std::function<bool()> record;
        std::string unit = "XRQ10472";
    };
    const std::vector<Case> cases = {
        {"visit", newEventId(),
         [&] {
             return reg.recordVisit({"XRQ10472", 1000, 3, "/dev/pts/4", cases[0].id});
         }},
        {"battery", newEventId(),
         [&] {
             return reg.recordBattery({"XRQ10472", 1500, 12.61, 21.5, "Bat:12.61", cases[1].id});
         }},
        {"clock_set", newEventId(),
         [&] {
             return reg.recordClockSet(
                 {"XRQ10472", 2000, "26-12-08 10:00:00", 3600, "Europe/Berlin", cases[2].id});
         }},
        {"download", d.id, [&] { return reg.recordDownload(d); }},
        {"clear", newEventId(),
         [&] {
             return reg.recordClear({"", 5000, true, cases[4].id});
         },
         kNoSerialUnit},
        {"link", link.id, [&] { return reg.recordIdentification(link); }},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.record()) << c.type << ": " << reg.lastError();
        // The same event handed in again (a retry, a journal replayed) waits once.
        ASSERT_TRUE(c.record()) << c.type;
    }

    const std::vector<Row> rows = outbox();
    ASSERT_EQ(rows.size(), cases.size() + 1); // and the kept download
    std::size_t i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const Row& r = rows[i++];
        EXPECT_EQ(r.kind, "event");
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.identity, c.id);
        EXPECT_EQ(r.unit, c.unit);
        EXPECT_EQ(r.laptop, "laptop-7");
        if (std::string(c.type) == "download") {
            EXPECT_TRUE(r.payload["safe"].toBool());
            EXPECT_EQ(r.payload["set_lines"].toArray().at(0)["lines"].toInt(), 1);
            const Row& k = rows[i++];
            EXPECT_EQ(k.kind, "kept_download");
            EXPECT_EQ(k.identity, d.id);
            EXPECT_EQ(k.payload["size"].toInt(), keptBytes.size());
            EXPECT_EQ(k.payload["sha256"].toString().toStdString(),
                      QCryptographicHash::hash(keptBytes, QCryptographicHash::Sha256)
                          .toHex()
                          .toStdString());
        }
    }
    EXPECT_EQ(rows[1].payload["volts"].toDouble(), 12.61);
    EXPECT_EQ(rows[6].payload["download"].toString().toStdString(), d.id);
}

TEST_F(RegisterOutbox, AnOutboxThatCannotBeWrittenRollsTheEventBack) {
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "trigger");
        db.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(
            QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON fleet_outbox BEGIN"
                           " SELECT RAISE(ABORT, 'outbox refused'); END")));
        db.close();
    }
    QSqlDatabase::removeDatabase("trigger");
    EXPECT_FALSE(reg.recordVisit({"XRQ10472", 1000, 3, "/dev/pts/4"}));
    EXPECT_NE(reg.lastError().find("outbox refused"), std::string::npos) << reg.lastError();
    EXPECT_TRUE(reg.history("XRQ10472").empty()) << "recorded and waiting, or neither";
    EXPECT_TRUE(reg.units().empty());
}

TEST_F(RegisterOutbox, AnOlderRegistersEventsAreEnqueuedOnceByTheMigration) {
    // A register of version 4 (before the outbox), one event without an identity.
    {
        UnitRegister reg;
        ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
        ASSERT_TRUE(reg.recordVisit({"OLD00001", 1000, 2, "/dev/ttyS1"}));
        ASSERT_TRUE(reg.recordBattery({"OLD00001", 2000, 11.9, 18.5, "Bat: 11.9"}));
        reg.close();
        ASSERT_TRUE(testsupport::runSql(
            path, {"DROP TABLE fleet_outbox", "DROP TABLE fleet_conflicts",
                   "DROP TABLE judged_again", "DROP TABLE judge_again",
                   "UPDATE visits SET event_id = '0b9c6f1e-8a0e-4f57-9d37-3c4e2f1a7b10'",
                   "UPDATE battery SET event_id = NULL", "PRAGMA user_version=4"}));
    }
    // A copy of the same older register (a restored backup, a cloned disk).
    const std::string copy = folder + "copy/" + kFileName;
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder + "copy")));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(path), QString::fromStdString(copy)));

    UnitRegister reg;
    const OpenOutcome o = reg.open(path);
    ASSERT_EQ(o.state, OpenOutcome::State::Open) << o.message;
    EXPECT_EQ(o.foundVersion, 4);
    reg.close();
    std::vector<Row> rows = outbox();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].identity, "0b9c6f1e-8a0e-4f57-9d37-3c4e2f1a7b10") << "its own identity";
    EXPECT_EQ(rows[0].type, "visit");
    EXPECT_EQ(rows[1].type, "battery");
    EXPECT_EQ(rows[1].identity.size(), 36u) << "one given by the migration";
    EXPECT_EQ(rows[1].laptop, "laptop-7");
    // The copy gives its event the same identity: the server keeps it once.
    ASSERT_EQ(reg.open(copy).state, OpenOutcome::State::Open);
    reg.close();
    const std::string original = path;
    path = copy;
    const std::vector<Row> copied = outbox();
    path = original;
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_EQ(copied[1].identity, rows[1].identity);

    // Opened again: nothing enqueued twice; a new event joins the queue.
    ASSERT_EQ(reg.open(path).foundVersion, kSchemaVersion);
    ASSERT_TRUE(reg.recordClear({"OLD00001", 3000, true}));
    reg.close();
    rows = outbox();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].type, "clear");
}

} // namespace

TEST_F(RegisterOutbox, FactsAnOlderVersionTookAsRefusedGoIntoTheOutboxOnceMore) {
    const std::string kept = folder + "kept.txt";
    std::ofstream(kept, std::ios::binary) << "F\r\nName: SITE1\r\n1,2\r\n>";
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    const std::string visitId = newEventId(), batteryId = newEventId(), clearId = newEventId();
    ASSERT_TRUE(reg.recordVisit({"XRQ10472", 1000, 3, "/dev/pts/4", visitId}));
    ASSERT_TRUE(reg.recordBattery({"XRQ10472", 1500, 12.61, 21.5, "Bat:12.61", batteryId}));
    const Download d = keptDownload(kept);
    ASSERT_TRUE(reg.recordDownload(d));
    ASSERT_TRUE(reg.recordClear({"XRQ10472", 5000, true, clearId}));
    const std::vector<Row> before = outbox();
    ASSERT_EQ(before.size(), 5u);

    // As the older pusher left it: the battery reading and the kept download noted as refused
    // (a function's 22023), the clear as a conflict of content, everything gone from the
    // outbox.
    testsupport::onSqliteFile(path, [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec(QStringLiteral(
            "INSERT INTO fleet_conflicts (noticed_at, kind, identity, unit, reason, "
            "local_payload) SELECT 1, kind, identity, unit, CASE WHEN type = 'clear' THEN 'the "
            "server holds this identity with other content (from laptop x)' ELSE 'refused by "
            "the server: ERROR: invalid parameter' END, payload FROM fleet_outbox WHERE type IN "
            "('battery', 'clear') OR kind = 'kept_download'")));
        ASSERT_TRUE(q.exec(QStringLiteral("DELETE FROM fleet_outbox")));
    });
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        testsupport::onSqliteFile(path, [&](QSqlDatabase& db) {
            fleet::SharingSources sources;
            unitreg::addSharingSources(sources);
            EXPECT_TRUE(done(fleet::Outbox::queueRefusalsAgain(db, sources.requeuers)));
            EXPECT_EQ(fleet::Outbox::conflicts(db), 3);
        });
        const std::vector<Row> rows = outbox();
        ASSERT_EQ(rows.size(), 2u) << "once, whatever the passes";
        // As the register wrote them the first time.
        for (const Row& r : rows) {
            const auto same = std::find_if(before.begin(), before.end(), [&](const Row& b) {
                return b.kind == r.kind && b.identity == r.identity;
            });
            ASSERT_NE(same, before.end()) << r.kind << " " << r.identity;
            EXPECT_EQ(r.type, same->type);
            EXPECT_EQ(r.unit, same->unit);
            EXPECT_EQ(r.laptop, "laptop-7");
            EXPECT_EQ(r.payload, same->payload);
        }
        EXPECT_EQ(rows[0].identity, batteryId);
        EXPECT_EQ(rows[1].kind, "kept_download");
        EXPECT_EQ(rows[1].identity, d.id);
    }
}

TEST_F(RegisterOutbox, ANulTheUnitSentTravelsAsItsSymbolWhichTheServerTakes) {
    UnitRegister reg;
    ASSERT_EQ(reg.open(path).state, OpenOutcome::State::Open);
    const std::string reply("Bat:\0 12.61", 11);
    ASSERT_TRUE(reg.recordBattery({"XRQ10472", 1500, 12.61, 21.5, reply, newEventId()}));
    const std::vector<Row> rows = outbox();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].payload["reply"].toString(), QStringLiteral("Bat:\u2400 12.61"));
    // The register keeps what the unit sent, byte for byte.
    const auto history = reg.history("XRQ10472");
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].reply, reply);
}
