// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing at scale, against a private PostgreSQL server on a Unix socket (initdb in a
// temporary folder; run as an ordinary user):
// 1. what the outbox adds to a download's local write: a data file of N lines written and
//    synced, then its N series records and the download's event in one SQLite transaction
//    (synchronous=FULL), with and without their outbox rows; and one register event's
//    transaction with and without its outbox row;
// 2. pushing an outbox of 1,000,000 series records and 100,000 events to the server (filling
//    the outbox is not timed; the push is, from the pusher's start until the server has
//    confirmed the last fact). The server runs with fsync off and 512 MB of shared buffers.
//
// Usage: bench-fleet [records] [events]   (default 1000000 100000)
#include "fleet/fact.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "support/pg_test_server.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

QString laptop() {
    return QStringLiteral("bench-laptop");
}

fleet::Fact recordOf(const QString& unit, int segment, int position, QByteArray& chain) {
    const QJsonObject payload{
        {QStringLiteral("line"), QStringLiteral("2026/12/08 10:%1:%2,12.%3,21.%4,1013.%5")
                                     .arg(position / 60 % 60)
                                     .arg(position % 60)
                                     .arg(position % 97)
                                     .arg(position % 89)
                                     .arg(position % 83)}};
    chain =
        QCryptographicHash::hash(chain + fleet::payloadText(payload), QCryptographicHash::Sha256);
    return fleet::recordFact(unit, {QStringLiteral("SET1"), segment, position},
                             QString::fromLatin1(chain.toHex()), payload, 1765188000000 + position,
                             laptop());
}

QSqlDatabase openLocal(const QString& name, const QString& path) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    if (!db.open()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
        std::exit(1);
    }
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS records (unit TEXT, data_set TEXT, "
                          "segment INTEGER, position INTEGER, hash TEXT, line TEXT)"));
    q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS events (id TEXT PRIMARY KEY, unit TEXT, "
                          "kind TEXT, at INTEGER, body TEXT)"));
    fleet::Outbox::createTables(db);
    return db;
}

// A download's local write: the data file, then its records and its event in one
// transaction; with `shared`, their outbox rows in the same transaction.
double downloadWrite(QSqlDatabase& db, const QString& folder, int n, int lines, bool shared,
                     double* outboxMs = nullptr) {
    const auto t0 = Clock::now();
    const QString unit = QStringLiteral("XRQ%1").arg(n, 5, 10, QLatin1Char('0'));
    std::vector<fleet::Fact> facts;
    QByteArray chain = "start";
    for (int i = 0; i < lines; ++i)
        facts.push_back(recordOf(unit, n, i, chain));
    const QString path = folder + QStringLiteral("/data-%1.txt").arg(n);
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    for (const fleet::Fact& f : facts) {
        const QByteArray line =
            f.payload.value(QStringLiteral("line")).toString().toLatin1() + "\r\n";
        [[maybe_unused]] ssize_t w =
            ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    }
    ::fsync(fd);
    ::close(fd);
    const int dfd = ::open(folder.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY);
    ::fsync(dfd);
    ::close(dfd);

    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO records VALUES (?, ?, ?, ?, ?, ?)"));
    for (const fleet::Fact& f : facts) {
        q.bindValue(0, f.unit);
        q.bindValue(1, f.record.dataSet);
        q.bindValue(2, static_cast<qlonglong>(f.record.segment));
        q.bindValue(3, static_cast<qlonglong>(f.record.position));
        q.bindValue(4, f.identity);
        q.bindValue(5, f.payload.value(QStringLiteral("line")).toString());
        q.exec();
    }
    const auto o0 = Clock::now();
    if (shared)
        fleet::Outbox::enqueueRecords(db, facts);
    double inOutbox = msSince(o0);
    const fleet::Fact event =
        fleet::eventFact(fleet::newFactId(), unit, QStringLiteral("download"),
                         {{QStringLiteral("lines"), lines}}, 1765188000000, laptop());
    QSqlQuery e(db);
    e.prepare(QStringLiteral("INSERT INTO events VALUES (?, ?, ?, ?, ?)"));
    e.addBindValue(event.identity);
    e.addBindValue(unit);
    e.addBindValue(event.type);
    e.addBindValue(static_cast<qlonglong>(event.occurredAt));
    e.addBindValue(QString::fromUtf8(fleet::payloadText(event.payload)));
    e.exec();
    const auto o1 = Clock::now();
    if (shared)
        fleet::Outbox::enqueue(db, event);
    inOutbox += msSince(o1);
    db.commit();
    if (outboxMs)
        *outboxMs = inOutbox;
    return msSince(t0);
}

double eventWrite(QSqlDatabase& db, bool shared) {
    const auto t0 = Clock::now();
    const fleet::Fact event =
        fleet::eventFact(fleet::newFactId(), QStringLiteral("XRQ00001"), QStringLiteral("visit"),
                         {{QStringLiteral("port"), 3}}, 1765188000000, laptop());
    db.transaction();
    QSqlQuery e(db);
    e.prepare(QStringLiteral("INSERT INTO events VALUES (?, ?, ?, ?, ?)"));
    e.addBindValue(event.identity);
    e.addBindValue(event.unit);
    e.addBindValue(event.type);
    e.addBindValue(static_cast<qlonglong>(event.occurredAt));
    e.addBindValue(QString::fromUtf8(fleet::payloadText(event.payload)));
    e.exec();
    if (shared)
        fleet::Outbox::enqueue(db, event);
    db.commit();
    return msSince(t0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int events = argc > 2 ? std::atoi(argv[2]) : 100000;
    QTemporaryDir dir;

    // 1. The outbox's share of a local write.
    {
        QSqlDatabase db = openLocal(QStringLiteral("overhead"), dir.path() + "/local.sqlite");
        std::vector<double> plain, shared, plainEvent, sharedEvent, outboxPart;
        for (int i = 0; i < 20; ++i) {
            plain.push_back(downloadWrite(db, dir.path(), 2 * i, 5000, false));
            double part = 0;
            shared.push_back(downloadWrite(db, dir.path(), 2 * i + 1, 5000, true, &part));
            outboxPart.push_back(part);
        }
        for (int i = 0; i < 200; ++i) {
            plainEvent.push_back(eventWrite(db, false));
            sharedEvent.push_back(eventWrite(db, true));
        }
        const double p = median(plain), s = median(shared);
        const double pe = median(plainEvent), se = median(sharedEvent);
        std::printf("download's local write (5000 lines, file synced, records and event in one "
                    "transaction), median of 20:\n  without outbox %.1f ms, with outbox %.1f ms: "
                    "+%.1f %%\n",
                    p, s, 100.0 * (s - p) / p);
        // The difference of two medians moves with the disk's fsync times on a shared
        // machine; the outbox's own calls, timed inside the write, do not.
        std::printf("  the outbox's own calls inside it: median %.2f ms = %.1f %% of the write "
                    "without outbox\n",
                    median(outboxPart), 100.0 * median(outboxPart) / p);
        std::printf("one register event's transaction, median of 200:\n  without outbox %.2f "
                    "ms, with outbox %.2f ms: +%.1f %%\n",
                    pe, se, 100.0 * (se - pe) / pe);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("overhead"));

    // 2. Pushing.
    testsupport::PgTestServer server(
        {.tls = false, .maxConnections = 20, .sharedBuffers = "512MB"});
    if (!server.ok()) {
        std::fprintf(stderr, "no server: %s\n", server.error().c_str());
        return 1;
    }
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    const fleet::InitOutcome init = fleet::initServer(fleet::serviceConninfo("owner_db"));
    if (!init.ok || !server.createLoginRole("bench_laptop", "bench-pw") ||
        !fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "bench_laptop").ok) {
        std::fprintf(stderr, "server not prepared: %s\n", qPrintable(init.message));
        return 1;
    }
    server.addService("bench_laptop", "bench_laptop");

    const QString outboxFile = dir.path() + "/outbox.sqlite";
    {
        const auto t0 = Clock::now();
        QSqlDatabase db = openLocal(QStringLiteral("fill"), outboxFile);
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=OFF"));
        db.transaction();
        fleet::Outbox outbox(db);
        QByteArray chain = "start";
        const int perEvent = std::max(1, records / std::max(1, events));
        std::vector<fleet::Fact> span;
        for (int i = 0; i < std::max(records, events); ++i) {
            if (i < records) {
                span.push_back(
                    recordOf(QStringLiteral("XRQ%1").arg(i / 10000, 5, 10, QLatin1Char('0')), 0,
                             i % 10000, chain));
                if (span.size() == 1000 || i + 1 == records) {
                    fleet::Outbox::enqueueRecords(db, span);
                    span.clear();
                }
            }
            if (i % perEvent == 0 && i / perEvent < events)
                outbox.add(fleet::eventFact(
                    fleet::newFactId(),
                    QStringLiteral("XRQ%1").arg(i / 10000, 5, 10, QLatin1Char('0')),
                    QStringLiteral("visit"), {{QStringLiteral("port"), 3}}, 1765188000000 + i,
                    laptop()));
        }
        db.commit();
        std::printf("outbox filled: %lld facts in %.1f s (not timed below)\n",
                    static_cast<long long>(fleet::Outbox::waiting(db)), msSince(t0) / 1000);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));

    for (int batch : {5000}) {
        fleet::PusherConfig c;
        c.conninfo = fleet::serviceConninfo("bench_laptop");
        c.outboxFiles = {outboxFile.toStdString()};
        c.batchSize = batch;
        c.statementTimeout = 300s;
        fleet::Pusher pusher(c);
        const auto t0 = Clock::now();
        pusher.start();
        const bool done = pusher.pushAndWait(3600s);
        const double s = msSince(t0) / 1000;
        const fleet::PushStatus st = pusher.status();
        pusher.stop();
        const auto rec = server.value("SELECT count(*) FROM xrq.series_records");
        const auto ev = server.value("SELECT count(*) FROM xrq.events");
        std::printf("push (batches of %d): %s, %lld facts in %.1f s: %.0f facts/s "
                    "(server holds %s records, %s events)\n",
                    batch, done ? "done" : "NOT DONE", static_cast<long long>(st.pushed), s,
                    double(st.pushed) / s, rec.value_or("?").c_str(), ev.value_or("?").c_str());
    }
    return 0;
}
