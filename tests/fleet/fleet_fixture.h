// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the fleet tests share: a private PostgreSQL server with the schema made by the owner
// and laptop roles, a laptop's local SQLite file whose facts go to its outbox in the same
// transaction, facts to record, and a pusher set for tests (short pauses).

#include "fleet/fact.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "series/span_reader.h"
#include "support/pg_test_server.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace fleettest {

using namespace std::chrono_literals;

// A laptop's SQLite file: a table of its own facts and the outbox, as the register and the
// series keep them.
class LocalStore {
public:
    explicit LocalStore(const std::string& path) : m_path(path) {
        static std::atomic<int> n{0};
        m_name = QStringLiteral("fleet-test-%1").arg(n++);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(QString::fromStdString(path));
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        m_ok = db.open();
        QSqlQuery q(db);
        m_ok =
            m_ok && q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
            q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS facts (identity TEXT, body TEXT)")) &&
            fleet::Outbox::createTables(db);
    }
    ~LocalStore() {
        { QSqlDatabase::database(m_name, false).close(); }
        QSqlDatabase::removeDatabase(m_name);
    }
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

    // The facts and their outbox rows in one transaction, as the register writes an event's.
    bool record(const std::vector<fleet::Fact>& facts) {
        QSqlDatabase d = db();
        if (!d.transaction())
            return false;
        QSqlQuery q(d);
        q.prepare(QStringLiteral("INSERT INTO facts VALUES (?, ?)"));
        for (const fleet::Fact& f : facts) {
            q.bindValue(0, f.identity);
            q.bindValue(1, QString::fromUtf8(fleet::payloadText(f.payload)));
            if (!q.exec() || !fleet::Outbox::enqueue(d, f)) {
                d.rollback();
                return false;
            }
        }
        return d.commit();
    }
    bool record(const fleet::Fact& f) { return record(std::vector<fleet::Fact>{f}); }
    // Records as programs before span rows wrote them: consecutive records of one unit, data
    // set, segment and laptop share an outbox row of kind "records" (a thousand at most), which
    // the pusher still reads. (The program's own records go as span rows that the series reads
    // back: tests/series, and bench-fleet.)
    bool recordSpan(const std::vector<fleet::Fact>& records) {
        QSqlDatabase d = db();
        if (!d.transaction())
            return false;
        QSqlQuery q(d);
        q.prepare(QStringLiteral("INSERT INTO fleet_outbox (kind, identity, unit, data_set, "
                                 "segment, position, payload, occurred_at, laptop, facts) "
                                 "VALUES ('records', ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        for (std::size_t i = 0; i < records.size();) {
            const fleet::Fact& first = records[i];
            QByteArray array = "[";
            std::size_t n = 0;
            for (; i < records.size() && n < 1000; ++i, ++n) {
                const fleet::Fact& r = records[i];
                if (r.unit != first.unit || r.record.dataSet != first.record.dataSet ||
                    r.record.segment != first.record.segment || r.laptop != first.laptop)
                    break;
                if (n > 0)
                    array += ',';
                array += "{\"p\":" + QByteArray::number(qlonglong(r.record.position)) +
                         ",\"h\":\"" + r.identity.toLatin1() +
                         "\",\"t\":" + QByteArray::number(qlonglong(r.occurredAt)) + ",\"j\":";
                fleet::appendPayload(array, r.payload);
                array += '}';
            }
            array += ']';
            q.bindValue(0, first.identity);
            q.bindValue(1, first.unit);
            q.bindValue(2, first.record.dataSet);
            q.bindValue(3, qlonglong(first.record.segment));
            q.bindValue(4, qlonglong(first.record.position));
            q.bindValue(5, array);
            q.bindValue(6, qlonglong(first.occurredAt));
            q.bindValue(7, first.laptop);
            q.bindValue(8, qlonglong(n));
            if (!q.exec()) {
                ADD_FAILURE() << q.lastError().text().toStdString();
                d.rollback();
                return false;
            }
        }
        return d.commit();
    }
    std::int64_t waiting() {
        QSqlDatabase d = db();
        return fleet::Outbox::waiting(d);
    }
    std::int64_t conflicts() {
        QSqlDatabase d = db();
        return fleet::Outbox::conflicts(d);
    }

private:
    std::string m_path;
    QString m_name;
    bool m_ok = false;
};

inline fleet::Fact visit(const QString& unit, const QString& laptop, std::int64_t at,
                         int port = 3) {
    return fleet::eventFact(fleet::newFactId(), unit, QStringLiteral("visit"),
                            QJsonObject{{QStringLiteral("port"), port}}, at, laptop);
}

// `count` records of one data set, each identified by a hash chained over those before, so
// that two laptops that hold the same records make the same identities.
inline std::vector<fleet::Fact> records(const QString& unit, const QString& dataSet, int count,
                                        const QString& laptop, int segment = 0) {
    std::vector<fleet::Fact> out;
    QByteArray chain = "start";
    for (int i = 0; i < count; ++i) {
        const QJsonObject payload{
            {QStringLiteral("line"), QStringLiteral("2026/12/08 10:%1,12.%2").arg(i % 60).arg(i)}};
        chain = QCryptographicHash::hash(chain + fleet::payloadText(payload),
                                         QCryptographicHash::Sha256);
        out.push_back(fleet::recordFact(unit, {dataSet, segment, i},
                                        QString::fromLatin1(chain.toHex()), payload,
                                        1765188000000 + i, laptop));
    }
    return out;
}

// A pusher, started, of the laptop of `service`, on a file of its own in `dir` that holds
// one visit of `unit` by `laptop`.
inline std::unique_ptr<fleet::Pusher> pusherOfOneVisit(const QTemporaryDir& dir,
                                                       const std::string& service,
                                                       const QString& unit = "XRQ00009",
                                                       const QString& laptop = "t") {
    LocalStore store(dir.path().toStdString() + "/units.sqlite");
    EXPECT_TRUE(store.record(visit(unit, laptop, 1765188000000)));
    fleet::PusherConfig cfg;
    cfg.sources = series::sharingSources();
    cfg.conninfo = fleet::serviceConninfo(service);
    cfg.outboxFiles = {store.path()};
    auto pusher = std::make_unique<fleet::Pusher>(cfg);
    pusher->start();
    return pusher;
}

class FleetServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok()) << server.error();
        const fleet::InitOutcome o = fleet::initServer(fleet::serviceConninfo(ownerService()));
        ASSERT_TRUE(o.ok) << o.message.toStdString();
        ASSERT_TRUE(dir.isValid());
    }

    std::string ownerService() {
        if (!m_ownerAdded) {
            server.addService("xrq_owner_db", testsupport::PgTestServer::kOwner);
            m_ownerAdded = true;
        }
        return "xrq_owner_db";
    }

    // A login role that is a laptop, with its service of the same name.
    void addLaptop(const std::string& role, const std::string& password = "pw-of-laptop") {
        ASSERT_TRUE(server.createLoginRole(role, password));
        const fleet::InitOutcome g = fleet::grantLaptop(fleet::serviceConninfo(ownerService()),
                                                        QString::fromStdString(role));
        ASSERT_TRUE(g.ok) << g.message.toStdString();
        server.addService(role, role);
    }

    std::string file(const std::string& name) { return dir.path().toStdString() + "/" + name; }
    // A file of a second laptop's folder: another laptop id, so another laptop role may push it
    // (the server binds a laptop id to the first role that pushes it).
    std::string otherFile(const std::string& name) {
        return otherDir.path().toStdString() + "/" + name;
    }

    fleet::PusherConfig config(const std::string& service, std::vector<std::string> files) {
        fleet::PusherConfig c;
        c.sources = series::sharingSources();
        c.conninfo = fleet::serviceConninfo(service);
        c.outboxFiles = std::move(files);
        c.retryFirst = 50ms;
        c.retryMost = 500ms;
        c.connectTimeout = 10s;
        c.statementTimeout = 60s;
        return c;
    }

    // Pushes every fact waiting in `files` as the laptop of `service`, until the server has
    // them all or a minute has passed.
    bool pushAll(const std::string& service, std::vector<std::string> files) {
        fleet::Pusher p(config(service, std::move(files)));
        p.start();
        return p.pushAndWait(60s);
    }

    std::int64_t count(const std::string& table) {
        const auto v = server.value("SELECT count(*) FROM " + table);
        return v ? std::stoll(*v) : -1;
    }

    static bool upToDate(const fleet::PushStatus& s) {
        return s.state == fleet::PushStatus::State::UpToDate;
    }

    testsupport::PgTestServer server;
    QTemporaryDir dir;
    QTemporaryDir otherDir;

private:
    bool m_ownerAdded = false;
};

} // namespace fleettest
