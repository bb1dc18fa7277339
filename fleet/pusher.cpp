// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/pusher.h"

#include "fleet/server_values.h"

#include "dialogs/source_lines.h"
#include "fleet/fact.h"
#include "fleet/kept_bytes.h"
#include "fleet/laptop_identity.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "platform/durable_file.h"
#include "platform/poll_helpers.h"
#include "storage/sqlite_store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fleet {

namespace {

using std::chrono::milliseconds;

std::int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// One fact as read back from an outbox.
struct Row {
    std::int64_t seq = 0; // the outbox row it came from (several records may share one)
    std::int64_t ord = 0; // its place in the batch
    FactKind kind = FactKind::Event;
    QString identity, unit, type, dataSet;
    std::int64_t segment = 0, position = 0;
    // A series record its file's span reader keyed (xrq.series_facts): its occurrence and the
    // record before it, its key with its identity. Records an older program put in the outbox
    // (kind "records") or a fact enqueued by itself go by their places (xrq.series_records).
    bool keyed = false;
    std::int64_t occurrence = 0;
    QString after;
    std::int64_t afterOccurrence = 0;
    QByteArray payload;
    std::int64_t at = 0;
    QString laptop;
};

// An outbox row as it was read: what settle() removes once the server has its facts. Its
// seq alone is not enough in a file made before AUTOINCREMENT, which may give a seq again
// once another pusher of the folder emptied the table.
struct OutboxKey {
    std::int64_t seq = 0;
    QString kind, identity;
    std::int64_t position = 0, facts = 0;
};

// A fact the server held differently, or refused; noted locally, never dropped.
struct Conflict {
    const Row* row = nullptr;
    QString reason;
    QString serverPayload;
};

void appendField(QByteArray& out, const char* key, const QString& value) {
    out += ",\"";
    out += key;
    out += "\":";
    appendJsonString(out, value);
}

void appendField(QByteArray& out, const char* key, std::int64_t value) {
    out += ",\"";
    out += key;
    out += "\":";
    out += QByteArray::number(static_cast<qlonglong>(value));
}

// The rows of one kind as a JSON array for jsonb_to_recordset; "o" is the outbox order.
QByteArray batchJson(const std::vector<const Row*>& rows) {
    QByteArray out;
    out.reserve(static_cast<qsizetype>(rows.size()) * 256);
    out += '[';
    bool first = true;
    for (const Row* r : rows) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"o\":";
        out += QByteArray::number(static_cast<qlonglong>(r->ord));
        appendField(out, "id", r->identity);
        appendField(out, "u", r->unit);
        appendField(out, "k", r->type);
        appendField(out, "d", r->dataSet);
        appendField(out, "s", r->segment);
        appendField(out, "p", r->position);
        appendField(out, "n", r->occurrence);
        appendField(out, "a", r->after);
        appendField(out, "b", r->afterOccurrence);
        appendField(out, "t", r->at);
        appendField(out, "l", r->laptop);
        out += ",\"j\":";
        out += r->payload;
        out += '}';
    }
    out += ']';
    return out;
}

// Per kind: the insert, and the query that finds rows of the batch the server holds with
// other content (run after the insert, in the same transaction, so that it sees what other
// laptops committed meanwhile as well).
struct KindSql {
    const char* insert;
    const char* differing;
};

const char* const kRecordset =
    " FROM pg_catalog.jsonb_to_recordset($1::jsonb) AS x(o bigint, id text, "
    "u text, k text, d text, s bigint, p bigint, n bigint, a text, b bigint, t bigint, "
    "l text, j jsonb) ";

KindSql sqlFor(FactKind kind, bool keyed) {
    if (kind == FactKind::Record && !keyed)
        return {"INSERT INTO xrq.series_records (unit, data_set, segment, position, "
                "chain_hash, occurred_at, laptop, payload, laptop_id) "
                "SELECT x.u, x.d, x.s, x.p, x.id, pg_catalog.to_timestamp(x.t / 1000.0), x.l, x.j, "
                "$2::uuid %1"
                "ORDER BY x.o ON CONFLICT (unit, data_set, segment, position, chain_hash) "
                "DO NOTHING",
                // Two laptops holding the same records push them under their own names and
                // times, and with what each laptop says of them (its own path, its time
                // flags: 'info'): only the record itself must agree.
                "SELECT x.o, r.payload::text, r.laptop, r.unit, '' %1"
                "JOIN xrq.series_records r ON r.unit = x.u AND r.data_set = x.d "
                "AND r.segment = x.s AND r.position = x.p AND r.chain_hash = x.id "
                "WHERE r.payload - 'info' <> x.j - 'info'"};
    switch (kind) {
    case FactKind::Event:
        return {"INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, laptop_id) "
                "SELECT x.id::uuid, x.u, x.k, pg_catalog.to_timestamp(x.t / 1000.0), x.l, x.j, "
                "$2::uuid %1"
                "ORDER BY x.o ON CONFLICT (id) DO NOTHING",
                "SELECT x.o, e.payload::text, e.laptop, e.unit, e.kind %1"
                "JOIN xrq.events e ON e.id = x.id::uuid "
                "WHERE e.unit <> x.u OR e.kind <> x.k OR e.laptop <> x.l "
                "OR e.occurred_at <> pg_catalog.to_timestamp(x.t / 1000.0) OR e.payload <> x.j"};
    case FactKind::Record:
        return {"INSERT INTO xrq.series_facts (unit, data_set, identity, occurrence, after, "
                "after_occurrence, segment, position, occurred_at, laptop, payload, laptop_id) "
                "SELECT x.u, x.d, x.id, x.n, x.a, x.b, x.s, x.p, "
                "pg_catalog.to_timestamp(x.t / 1000.0), x.l, x.j, $2::uuid %1"
                "ORDER BY x.o ON CONFLICT (unit, data_set, identity, occurrence, after, "
                "after_occurrence) DO NOTHING",
                // Two laptops holding the same records push them once: the first one's row
                // stays, with its segment, position, name, time and what it says of the
                // record ('info'); only the record itself must agree.
                "SELECT x.o, r.payload::text, r.laptop, r.unit, '' %1"
                "JOIN xrq.series_facts r ON r.unit = x.u AND r.data_set = x.d "
                "AND r.identity = x.id AND r.occurrence = x.n AND r.after = x.a "
                "AND r.after_occurrence = x.b WHERE r.payload->'line' <> x.j->'line'"};
    case FactKind::KeptDownload:
        return {"INSERT INTO xrq.kept_downloads (id, unit, sha256, size, occurred_at, laptop, "
                "payload, laptop_id) SELECT x.id::uuid, x.u, x.j->>'sha256', "
                "(x.j->>'size')::bigint, pg_catalog.to_timestamp(x.t / 1000.0), x.l, x.j, "
                "$2::uuid %1"
                "ORDER BY x.o ON CONFLICT (id) DO NOTHING",
                "SELECT x.o, k.payload::text, k.laptop, k.unit, '' %1"
                "JOIN xrq.kept_downloads k ON k.id = x.id::uuid "
                "WHERE k.unit <> x.u OR k.laptop <> x.l "
                "OR k.occurred_at <> pg_catalog.to_timestamp(x.t / 1000.0) OR k.payload <> x.j"};
    case FactKind::Site:
        // A note, deployment or removal recorded at a visit (fleet/site_visit.h): its key is
        // the server's to work out (xrq.site_fact_key); its UUID makes sending it again
        // harmless.
        return {"INSERT INTO xrq.site_facts (id, kind, occurred_at, laptop, laptop_id, payload) "
                "SELECT x.id::uuid, x.k, pg_catalog.to_timestamp(x.t / 1000.0), x.l, $2::uuid, "
                "x.j %1"
                "ORDER BY x.o ON CONFLICT (id) DO NOTHING",
                "SELECT x.o, f.payload::text, f.laptop, '', f.kind %1"
                "JOIN xrq.site_facts f ON f.id = x.id::uuid "
                "WHERE f.kind <> x.k OR f.laptop <> x.l "
                "OR f.occurred_at <> pg_catalog.to_timestamp(x.t / 1000.0) OR f.payload <> x.j"};
    }
    return {"", ""};
}

std::string withRecordset(const char* sql) {
    return QString::fromLatin1(sql).arg(QLatin1String(kRecordset)).toStdString();
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// Whether the server refused a fact for a value the laptop sent, so that sending it again
// can never succeed. Only these; every other error (a function's 22023 or 22012, a missing
// privilege, a NOT NULL or foreign key the server added) lies with the server or its state:
// the facts wait and go again, and the status says why.
bool refusedForContent(const PgResult& r) {
    static const char* const states[] = {
        "22P02", // invalid_text_representation: a malformed UUID, number or JSON text
        "22P05", // untranslatable_character: a JSON string holding \u0000 (jsonb refuses it)
        "22001", // string_data_right_truncation: a value longer than its column takes
        "22003", // numeric_value_out_of_range: a number too large for bigint
        "22007", // invalid_datetime_format: a time that does not read as one
        "22008", // datetime_field_overflow: a time outside timestamptz's range
        "23514", // check_violation: a value the table's own checks refuse (a hash, a size)
    };
    return std::any_of(std::begin(states), std::end(states),
                       [&](const char* s) { return r.sqlState() == s; });
}

} // namespace

// The pusher thread's own connections to the outbox files.
struct Pusher::Local {
    struct File {
        std::string path;
        storage::Store store; // open once the file exists
        std::int64_t waiting = 0;
        // The file the connection opened: a file put in its place (the series rebuilt) is
        // opened anew, so that its outbox is read rather than the old one's.
        dev_t device = 0;
        ino_t inode = 0;
        // The older program's refusals are back in the outbox (Outbox::queueRefusalsAgain).
        bool requeued = false;
        bool requeueTold = false;
        // The laptop of the file's folder (fleet/laptop_identity.h), found at its first push.
        QString laptopId;
    };
    std::vector<File> files;
    const SharingSources& sources;

    Local(const std::vector<std::string>& paths, const SharingSources& from) : sources(from) {
        files.resize(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i)
            files[i].path = paths[i];
    }

    // The file's connection, opened once the file exists; never creates the file.
    bool ensureOpen(File& f) {
        struct stat st {};
        const bool exists = ::stat(f.path.c_str(), &st) == 0;
        if (f.store.isOpen()) {
            if (exists && st.st_dev == f.device && st.st_ino == f.inode)
                return true;
            f.store.close();
        }
        if (!exists)
            return false;
        f.device = st.st_dev;
        f.inode = st.st_ino;
        f.requeued = false;
        // The file is its owner's (the register's, the series'): never made, its journal and
        // schema left as they are. Short waits: the program's own writer comes first, and a
        // busy file is tried again next pass. Removing confirmed facts need not wait for the
        // disk: one that comes back after a power cut is sent again, and the server keeps it
        // once.
        storage::OpenOptions o;
        o.create = false;
        o.busyMs = storage::busy::kNextPass;
        o.journal = storage::Journal::Keep;
        o.sync = storage::Sync::Normal;
        o.connectionPrefix = QStringLiteral("fleet-pusher");
        auto opened = storage::open(f.path, o);
        if (!opened)
            return false;
        f.store = std::move(*opened);
        return true;
    }

    QSqlDatabase db(File& f) { return f.store.db(); }

    std::int64_t count(File& f, const char* table) {
        if (!ensureOpen(f))
            return 0;
        QSqlQuery q(db(f));
        const QString sql = QLatin1String(table) == QLatin1String(kOutboxTable)
                                ? QStringLiteral("SELECT coalesce(sum(facts), 0) FROM %1")
                                : QStringLiteral("SELECT count(*) FROM %1");
        if (!q.exec(sql.arg(QLatin1String(table))) || !q.next())
            return 0;
        return q.value(0).toLongLong();
    }

    // The oldest facts; `why` says what went wrong when the outbox could not be read (a
    // file locked for long, damaged...), which is not the same as an empty one.
    // Rows that cannot be read (a span whose records are not there) are passed over and told
    // in `why`, which also says why nothing could be read.
    // Stays whole: one pass over the batch's rows in outbox order, each kind (a fact, an
    // older program's records row, a span) turned into rows and keys side by side, so that
    // the keys removed later are exactly those of the rows sent.
    std::vector<Row> read(File& f, int limit, std::vector<OutboxKey>& keys, QString& why) {
        std::vector<Row> rows;
        keys.clear();
        why.clear();
        if (!ensureOpen(f))
            return rows;
        QSqlDatabase d = db(f);
        QSqlQuery q(d);
        q.setForwardOnly(true);
        if (!q.prepare(QStringLiteral(
                "SELECT seq, kind, identity, unit, type, data_set, segment, position, payload, "
                "occurred_at, laptop, facts FROM fleet_outbox WHERE kind <> 'bytes' ORDER BY seq "
                "LIMIT ?"))) {
            why = q.lastError().text();
            return rows;
        }
        q.addBindValue(limit);
        if (!q.exec()) {
            why = q.lastError().text();
            return rows;
        }
        // Whole outbox rows, until the batch holds `limit` facts.
        while (static_cast<int>(rows.size()) < limit && q.next()) {
            Row r;
            r.seq = q.value(0).toLongLong();
            r.kind = kindFromName(q.value(1).toString()).value_or(FactKind::Event);
            r.identity = q.value(2).toString();
            r.unit = q.value(3).toString();
            r.type = q.value(4).toString();
            r.dataSet = q.value(5).toString();
            r.segment = q.value(6).toLongLong();
            r.position = q.value(7).toLongLong();
            r.payload = q.value(8).toByteArray();
            r.at = q.value(9).toLongLong();
            r.laptop = q.value(10).toString();
            const OutboxKey key{r.seq, q.value(1).toString(), r.identity, r.position,
                                q.value(11).toLongLong()};
            if (q.value(1).toString() == QLatin1String("records")) {
                // Several records in one row: each becomes a fact of the batch.
                const QJsonArray items = QJsonDocument::fromJson(r.payload).array();
                if (!items.isEmpty())
                    keys.push_back(key);
                for (const QJsonValue& v : items) {
                    const QJsonObject o = v.toObject();
                    Row one = r;
                    one.kind = FactKind::Record;
                    one.position = o.value(QStringLiteral("p")).toInteger();
                    one.identity = o.value(QStringLiteral("h")).toString();
                    one.at = o.value(QStringLiteral("t")).toInteger();
                    one.payload = payloadText(o.value(QStringLiteral("j")).toObject());
                    one.ord = static_cast<std::int64_t>(rows.size());
                    rows.push_back(std::move(one));
                }
                continue;
            }
            if (q.value(1).toString() == QLatin1String("span")) {
                // Records the file keeps itself: its span reader gives them (outbox.h).
                auto read = sources.spanReader(d, r.payload, r.position,
                                               static_cast<std::size_t>(q.value(11).toLongLong()));
                if (!read) {
                    // Left in the outbox and told; the rows after it go meanwhile, so that one
                    // span that cannot be read holds back nothing else.
                    if (why.isEmpty())
                        why = QStringLiteral("series records not read: ") +
                              QString::fromStdString(read.text());
                    continue;
                }
                std::vector<Outbox::SpanRecord>& records = *read;
                if (!records.empty())
                    keys.push_back(key);
                for (std::size_t k = 0; k < records.size(); ++k) {
                    Row one = r;
                    one.kind = FactKind::Record;
                    one.position = r.position + static_cast<std::int64_t>(k);
                    one.identity = records[k].hash;
                    one.keyed = true;
                    one.occurrence = records[k].occurrence;
                    one.after = records[k].after;
                    one.afterOccurrence = records[k].afterOccurrence;
                    one.payload = std::move(records[k].payload);
                    one.ord = static_cast<std::int64_t>(rows.size());
                    rows.push_back(std::move(one));
                }
                continue;
            }
            keys.push_back(key);
            r.ord = static_cast<std::int64_t>(rows.size());
            rows.push_back(std::move(r));
        }
        q.finish(); // the read lock goes now, not when the query object does
        return rows;
    }

    // Removes the batch's rows, each by its key, and notes the conflicts of the rows this
    // call removed, in one transaction. A row already gone was settled by another pusher of
    // the folder, which noted its conflicts: they are not noted twice. A kept download the
    // server took leaves a row of its bytes to send (kind "bytes", fleet/kept_bytes.h) in its
    // place, in the same transaction.
    bool settle(File& f, const std::vector<Row>& rows, const std::vector<OutboxKey>& keys,
                const std::vector<Conflict>& conflicts, QString& why) {
        QSqlDatabase d = db(f);
        if (!d.transaction()) {
            why = d.lastError().text();
            return false;
        }
        QSqlQuery note(d);
        note.prepare(
            QStringLiteral("INSERT INTO fleet_conflicts (noticed_at, kind, identity, unit, reason, "
                           "local_payload, server_payload) VALUES (?, ?, ?, ?, ?, ?, ?)"));
        QSqlQuery del(d);
        del.prepare(QStringLiteral("DELETE FROM fleet_outbox WHERE seq = ? AND kind = ? AND "
                                   "identity = ? AND position = ? AND facts = ?"));
        QSqlQuery bytes(d);
        bytes.prepare(QStringLiteral(
            "INSERT INTO fleet_outbox (kind, identity, unit, payload, position, occurred_at, "
            "laptop, facts) VALUES ('bytes', ?, ?, ?, ?, ?, ?, 0)"));
        bool ok = true;
        for (const OutboxKey& k : keys) {
            del.bindValue(0, static_cast<qlonglong>(k.seq));
            del.bindValue(1, k.kind);
            del.bindValue(2, k.identity);
            del.bindValue(3, static_cast<qlonglong>(k.position));
            del.bindValue(4, static_cast<qlonglong>(k.facts));
            ok = del.exec();
            if (!ok)
                break;
            if (del.numRowsAffected() != 1)
                continue;
            bool conflicted = false;
            for (const Conflict& c : conflicts)
                conflicted = conflicted || c.row->seq == k.seq;
            if (k.kind == kindName(FactKind::KeptDownload) && !conflicted) {
                const auto row = std::find_if(rows.begin(), rows.end(),
                                              [&](const Row& r) { return r.seq == k.seq; });
                const QJsonObject p = row == rows.end()
                                          ? QJsonObject()
                                          : QJsonDocument::fromJson(row->payload).object();
                const qint64 size = p.value(QStringLiteral("size")).toInteger(0);
                if (size > 0 && !p.value(QStringLiteral("path")).toString().isEmpty()) {
                    bytes.bindValue(0, p.value(QStringLiteral("sha256")).toString());
                    bytes.bindValue(1, row->unit);
                    bytes.bindValue(2, row->payload);
                    bytes.bindValue(3, static_cast<qlonglong>(size));
                    bytes.bindValue(4, static_cast<qlonglong>(row->at));
                    bytes.bindValue(5, row->laptop);
                    ok = bytes.exec();
                    if (!ok) {
                        why = bytes.lastError().text();
                        break;
                    }
                }
            }
            for (const Conflict& c : conflicts) {
                if (c.row->seq != k.seq)
                    continue;
                note.bindValue(0, static_cast<qlonglong>(nowMs()));
                note.bindValue(1, kindName(c.row->kind));
                note.bindValue(2, c.row->identity);
                note.bindValue(3, c.row->unit);
                note.bindValue(4, c.reason);
                note.bindValue(5, QString::fromUtf8(c.row->payload));
                note.bindValue(6,
                               c.serverPayload.isNull() ? QVariant() : QVariant(c.serverPayload));
                ok = note.exec();
                if (!ok)
                    break;
            }
            if (!ok)
                break;
        }
        if (!ok) {
            why += note.lastError().text() + del.lastError().text();
            d.rollback();
            return false;
        }
        if (!d.commit()) {
            why = d.lastError().text();
            d.rollback();
            return false;
        }
        return true;
    }

    // The kept downloads whose bytes wait, oldest first.
    struct Bytes {
        std::int64_t seq = 0;
        KeptBytes bytes;
    };
    std::vector<Bytes> bytesWaiting(File& f) {
        std::vector<Bytes> out;
        if (!ensureOpen(f))
            return out;
        QSqlQuery q(db(f));
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT seq, payload FROM fleet_outbox WHERE kind = 'bytes' "
                                   "ORDER BY seq")))
            return out;
        while (q.next()) {
            const QJsonObject p = QJsonDocument::fromJson(q.value(1).toByteArray()).object();
            out.push_back({q.value(0).toLongLong(),
                           {p.value(QStringLiteral("sha256")).toString(),
                            p.value(QStringLiteral("size")).toInteger(0),
                            p.value(QStringLiteral("path")).toString()}});
        }
        return out;
    }
    // Bytes left of the kept downloads waiting (as the rows say: whole sizes).
    std::int64_t bytesLeft(File& f) {
        if (!ensureOpen(f))
            return 0;
        QSqlQuery q(db(f));
        return q.exec(QStringLiteral(
                   "SELECT coalesce(sum(position), 0) FROM fleet_outbox WHERE kind = 'bytes'")) &&
                       q.next()
                   ? q.value(0).toLongLong()
                   : 0;
    }
    std::int64_t bytesLeftIn(std::vector<File>& all) {
        std::int64_t n = 0;
        for (File& f : all)
            n += bytesLeft(f);
        return n;
    }
    // The newest fact's row (0: none); a newer one came since when this grows.
    std::int64_t lastFactSeq(File& f) {
        if (!ensureOpen(f))
            return 0;
        QSqlQuery q(db(f));
        return q.exec(QStringLiteral("SELECT coalesce(max(seq), 0) FROM fleet_outbox WHERE "
                                     "kind <> 'bytes'")) &&
                       q.next()
                   ? q.value(0).toLongLong()
                   : 0;
    }
    bool bytesDone(File& f, std::int64_t seq, QString& why) {
        QSqlQuery q(db(f));
        q.prepare(QStringLiteral("DELETE FROM fleet_outbox WHERE seq = ? AND kind = 'bytes'"));
        q.addBindValue(static_cast<qlonglong>(seq));
        if (q.exec())
            return true;
        why = q.lastError().text();
        return false;
    }
};

namespace {

enum class BatchResult { Pushed, Transient, Slow, Refused, DataError, Stopped };

struct BatchOutcome {
    BatchResult result = BatchResult::Pushed;
    QString why;
    std::vector<Conflict> conflicts;
    QStringList notes; // for the run log: bytes not sent, and why
};

BatchResult classify(const PgResult& r) {
    if (r.stopped())
        return BatchResult::Stopped;
    if (r.timedOut())
        return BatchResult::Slow;
    if (r.transient())
        return BatchResult::Transient;
    return refusedForContent(r) ? BatchResult::DataError : BatchResult::Refused;
}

// `laptopId`: the UUID of the laptop whose outbox the rows come from. The rows go in one
// transaction, at most `most` facts a statement (an outbox row of records holds a thousand:
// on a slow link a statement stays within its deadline when the batch is halved).
BatchOutcome pushRows(PgConnection& pg, const std::vector<const Row*>& rows,
                      const QString& laptopId, milliseconds timeout, int most) {
    BatchOutcome out;
    auto failed = [&](const PgResult& r) {
        out.result = classify(r);
        out.why = text(r.error());
        if (!r.sqlState().empty())
            out.why += QStringLiteral(" (SQLSTATE %1)").arg(text(r.sqlState()));
        if (out.result != BatchResult::Stopped && pg.isOpen())
            pg.exec("ROLLBACK", {}, timeout);
        return out;
    };
    PgResult r = pg.exec("BEGIN", {}, timeout);
    if (!r.ok())
        return failed(r);
    const std::pair<FactKind, bool> groups[] = {{FactKind::Event, false},
                                                {FactKind::Record, true},
                                                {FactKind::Record, false},
                                                {FactKind::KeptDownload, false},
                                                {FactKind::Site, false}};
    for (const auto& [kind, keyed] : groups) {
        std::vector<const Row*> all;
        for (const Row* row : rows)
            if (row->kind == kind && row->keyed == keyed)
                all.push_back(row);
        for (std::size_t from = 0; from < all.size(); from += std::size_t(most)) {
            const std::vector<const Row*> ofKind(
                all.begin() + static_cast<std::ptrdiff_t>(from),
                all.begin() +
                    static_cast<std::ptrdiff_t>(std::min(all.size(), from + std::size_t(most))));
            const KindSql sql = sqlFor(kind, keyed);
            const QByteArray json = batchJson(ofKind);
            const PgParam param = PgParam::text(json.toStdString());
            r = pg.exec(withRecordset(sql.insert), {param, PgParam::text(laptopId.toStdString())},
                        timeout);
            if (!r.ok())
                return failed(r);
            // Every row new: none can differ from what the server held (the usual case).
            if (r.affected() != static_cast<long long>(ofKind.size())) {
                r = pg.exec(withRecordset(sql.differing), {param}, timeout);
                if (!r.ok())
                    return failed(r);
                for (int i = 0; i < r.rows(); ++i) {
                    const std::int64_t ord =
                        integerAt(r, i, 0, std::numeric_limits<std::int64_t>::min(),
                                  std::numeric_limits<std::int64_t>::max())
                            .value_or(-1);
                    const auto row = std::find_if(ofKind.begin(), ofKind.end(),
                                                  [&](const Row* x) { return x->ord == ord; });
                    if (row == ofKind.end())
                        continue;
                    out.conflicts.push_back({*row,
                                             QStringLiteral("the server holds this identity with "
                                                            "other content (from laptop %1)")
                                                 .arg(text(r.value(i, 2))),
                                             text(r.value(i, 1))});
                }
            }
        }
    }
    r = pg.exec("COMMIT", {}, timeout);
    if (!r.ok())
        return failed(r);
    return out;
}

} // namespace

Pusher::Pusher(PusherConfig config) : m_config(std::move(config)) {
    if (const std::string missing = m_config.sources.missing(false); !missing.empty())
        throw std::logic_error("the pusher was made without " + missing +
                               ": the program's start hands them in (fleet/sharing_sources.h)");
    m_config.batchSize = std::max(1, m_config.batchSize);
    m_batchSize = m_config.batchSize;
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_nudgeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_status.state = PushStatus::State::Pushing;
}

Pusher::~Pusher() {
    stop();
    if (m_stopFd >= 0)
        ::close(m_stopFd);
    if (m_nudgeFd >= 0)
        ::close(m_nudgeFd);
}

void Pusher::start() {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this] { run(); });
}

void Pusher::nudge() {
    {
        std::lock_guard lock(m_mutex);
        ++m_nudges;
    }
    platform::signalFd(m_nudgeFd);
}

void Pusher::stop() {
    m_stopping = true;
    platform::signalFd(m_stopFd);
    if (m_thread.joinable())
        m_thread.join();
}

PushStatus Pusher::status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

bool Pusher::pushAndWait(milliseconds timeout) {
    std::uint64_t target;
    std::uint64_t refusals;
    {
        std::lock_guard lock(m_mutex);
        target = ++m_nudges;
        refusals = m_refusals;
    }
    platform::signalFd(m_nudgeFd);
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout,
                       [&] { return m_doneThrough >= target || m_ended || m_refusals > refusals; });
    return m_doneThrough >= target;
}

bool Pusher::waitFor(const std::function<bool(const PushStatus&)>& done, milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_status); });
}

void Pusher::setStatus(const std::function<void(PushStatus&)>& change) {
    PushStatus copy;
    {
        std::lock_guard lock(m_mutex);
        change(m_status);
        copy = m_status;
    }
    m_changed.notify_all();
    if (m_config.onStatus)
        m_config.onStatus(copy);
}

void Pusher::say(unsigned line, const QString& message) {
    if (m_config.log)
        m_config.log(line, message);
}

void Pusher::sleepFor(milliseconds pause, bool orNudge) {
    const auto deadline = std::chrono::steady_clock::now() + pause;
    for (;;) {
        if (m_stopping)
            return;
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_nudgeFd, POLLIN, 0}};
        const int n = ::poll(fds, orNudge ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno != EINTR)
            return;
        if (n > 0 && (fds[0].revents || (orNudge && fds[1].revents)))
            return;
    }
}

milliseconds Pusher::retryPause(int failures) const {
    long long ms = m_config.retryFirst.count();
    for (int i = 1; i < failures && ms < m_config.retryMost.count(); ++i)
        ms *= 2;
    ms = std::min<long long>(ms, m_config.retryMost.count());
    // A little spread, so that many laptops that lost the server together do not return
    // together.
    static thread_local std::minstd_rand spread{std::random_device{}()};
    return milliseconds(ms - static_cast<long long>(spread() % static_cast<unsigned>(ms / 5 + 1)));
}

// The run's memory between states: how many tries failed in a row, and what the run log has
// been told of the current failure, so that each is told once.
struct Pusher::Run {
    int failures = 0;
    bool told = false;     // the current failure is in the run log already
    bool slowTold = false; // the slow link is
    std::uint64_t nudgesSeen = 0;
    std::int64_t conflicts = 0;
    QString refusal; // the failure's words (the status' detail)
    QString reason;  // the operator's words for a failure to connect, for the status line
};

// Every move of the pusher thread, in one place. A state not named for an event here is left
// for Ended: nothing else can happen to it.
Pusher::State Pusher::transition(State from, Event event) {
    if (event == Event::Stopped)
        return State::Ended;
    switch (from) {
    case State::Counting:
        return event == Event::NothingWaits ? State::Idle : State::Connecting;
    case State::Connecting:
        if (event == Event::Connected)
            return State::Pushing;
        return event == Event::Transient ? State::Unreachable : State::Refused;
    case State::Pushing:
        switch (event) {
        case Event::Pushed:
            return State::Counting; // count again: new facts may have come meanwhile
        case Event::Slow:
            return State::SlowLink;
        case Event::Transient:
            return State::Unreachable;
        default:
            return State::Refused;
        }
    case State::Idle:
    case State::SlowLink:
    case State::Unreachable:
    case State::Refused:
        return State::Counting; // after the wait
    case State::Ended:
        break;
    }
    return State::Ended;
}

void Pusher::run() {
    Local local(m_config.outboxFiles, m_config.sources);
    PgConnection pg(m_stopFd);
    Run r;
    State state = State::Counting;
    while (state != State::Ended) {
        Event event = Event::Stopped;
        if (!m_stopping) {
            switch (state) {
            case State::Counting:
                event = count(local, r);
                break;
            case State::Idle:
                event = idle(r);
                break;
            case State::Connecting:
                event = connect(pg, r);
                break;
            case State::Pushing:
                event = push(local, pg, r);
                break;
            case State::SlowLink:
                event = slowLink(r);
                break;
            case State::Unreachable:
            case State::Refused:
                event = failed(state, r);
                break;
            case State::Ended:
                break;
            }
        }
        state = transition(state, event);
    }
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_changed.notify_all();
}

Pusher::Event Pusher::count(Local& local, Run& r) {
    {
        std::lock_guard lock(m_mutex);
        r.nudgesSeen = m_nudges;
    }
    platform::drainFd(m_nudgeFd);
    r.refusal.clear();
    r.reason.clear();
    std::int64_t waiting = 0;
    std::int64_t conflicts = 0;
    std::int64_t bytes = 0;
    for (auto& f : local.files) {
        if (!f.requeued && local.ensureOpen(f)) {
            QSqlDatabase d = local.db(f);
            const auto requeued = Outbox::queueRefusalsAgain(d, m_config.sources.requeuers);
            f.requeued = requeued.ok();
            if (!f.requeued && !f.requeueTold)
                say(source_line::fleetRefusalsQueued,
                    QStringLiteral("facts refused by an older version not yet queued again "
                                   "in %1: %2")
                        .arg(QString::fromStdString(f.path),
                             QString::fromStdString(requeued.text())));
            f.requeueTold = !f.requeued;
        }
        f.waiting = local.count(f, kOutboxTable);
        waiting += f.waiting;
        conflicts += local.count(f, kConflictsTable);
        bytes += local.bytesLeft(f);
    }
    r.conflicts = conflicts;
    if (waiting == 0 && bytes == 0)
        return Event::NothingWaits;
    setStatus([&](PushStatus& s) {
        s.waiting = waiting;
        s.conflicts = conflicts;
        s.bytesWaiting = bytes;
    });
    return Event::FactsWait;
}

Pusher::Event Pusher::idle(Run& r) {
    setStatus([&](PushStatus& s) {
        s.state = PushStatus::State::UpToDate;
        s.waiting = 0;
        s.bytesWaiting = 0;
        s.conflicts = r.conflicts;
        s.unreachableSince.reset();
        s.detail.clear();
    });
    {
        std::lock_guard lock(m_mutex);
        m_doneThrough = std::max(m_doneThrough, r.nudgesSeen);
    }
    m_changed.notify_all();
    sleepFor(m_config.idleRecheck, true);
    return Event::Waited;
}

Pusher::Event Pusher::connect(PgConnection& pg, Run& r) {
    if (pg.isOpen())
        return Event::Connected;
    if (!pg.connect(m_config.conninfo, m_config.connectTimeout, m_config.statementTimeout)) {
        if (m_stopping)
            return Event::Stopped;
        r.refusal = text(pg.error());
        if (pg.failure() != ConnectFailure::NoServer)
            r.reason = QString::fromLatin1(connectFailureText(pg.failure()));
        return pg.errorTransient() ? Event::Transient : Event::Refused;
    }
    const QString unverified = QString::fromStdString(pg.security().unverifiedText());
    setStatus([&](PushStatus& s) { s.unverified = unverified; });
    const SchemaCheck check = checkServerSchema(pg);
    if (check.state == SchemaCheck::State::Matches)
        return Event::Connected;
    r.refusal = check.message;
    pg.close();
    return check.state == SchemaCheck::State::Failed && check.transient ? Event::Transient
                                                                        : Event::Refused;
}

Pusher::Event Pusher::push(Local& local, PgConnection& pg, Run& r) {
    const Outcome outcome = pass(local, pg);
    switch (outcome) {
    case Outcome::Stopped:
        return Event::Stopped;
    case Outcome::Pushed:
        if (r.told)
            say(source_line::fleetServerReached, QStringLiteral("shared again"));
        r.failures = 0;
        r.told = false;
        r.slowTold = false;
        return Event::Pushed;
    case Outcome::Slow:
        r.refusal = status().detail;
        return Event::Slow;
    case Outcome::Transient:
        r.refusal = status().detail;
        return Event::Transient;
    case Outcome::Refused:
        break;
    }
    r.refusal = status().detail;
    return Event::Refused;
}

Pusher::Event Pusher::slowLink(Run& r) {
    // The server answers, slowly: no back-off, and "slow", not "not reachable".
    setStatus([&](PushStatus& s) {
        if (s.state != PushStatus::State::Slow || !s.unreachableSince)
            s.unreachableSince = nowMs();
        s.state = PushStatus::State::Slow;
        s.reason.clear();
    });
    if (!r.slowTold)
        say(source_line::fleetSlowLink,
            QStringLiteral("the link to the server is slow, facts go in smaller batches: ") +
                r.refusal);
    r.slowTold = true;
    r.failures = 0;
    sleepFor(m_config.retryFirst, false);
    return Event::Waited;
}

Pusher::Event Pusher::failed(State state, Run& r) {
    ++r.failures;
    const bool transient = state == State::Unreachable;
    if (transient) {
        setStatus([&](PushStatus& s) {
            if (s.state != PushStatus::State::Unreachable || !s.unreachableSince)
                s.unreachableSince = nowMs();
            s.state = PushStatus::State::Unreachable;
            s.detail = r.refusal;
            s.reason = r.reason;
        });
        if (!r.told)
            say(source_line::fleetServerNotReached,
                QStringLiteral("server not reachable, facts wait: ") + r.refusal);
    } else {
        {
            std::lock_guard lock(m_mutex);
            ++m_refusals;
        }
        setStatus([&](PushStatus& s) {
            s.state = PushStatus::State::Refused;
            s.unreachableSince.reset();
            s.detail = r.refusal;
        });
        if (!r.told)
            say(source_line::fleetRefused, QStringLiteral("not shared: ") + r.refusal);
    }
    r.told = true;
    // A refusal (a newer schema, a role refused) is looked at again at the longest pause.
    sleepFor(transient ? retryPause(r.failures) : m_config.retryMost, false);
    return Event::Waited;
}

// What a pass has done so far, across its files.
struct Pusher::PassTally {
    std::int64_t sent = 0;
    QString notRead; // rows of an outbox passed over, told once the rest has gone
    bool fileDone = false;
};

namespace {

// A batch the server refused for one fact's content: each fact goes alone, so that one it
// refuses (a malformed value, a failed check) does not hold the rest back for ever, and is
// noted as refused.
BatchOutcome pushEachAlone(PgConnection& pg, const std::vector<const Row*>& all,
                           const QString& laptopId, milliseconds timeout, int most) {
    BatchOutcome out;
    for (const Row* row : all) {
        BatchOutcome one = pushRows(pg, {row}, laptopId, timeout, most);
        if (one.result == BatchResult::DataError) {
            out.conflicts.push_back(
                {row, QStringLiteral("refused by the server for its content: ") + one.why, {}});
            continue;
        }
        if (one.result != BatchResult::Pushed) {
            out.result = one.result;
            out.why = one.why;
            break;
        }
        out.conflicts.insert(out.conflicts.end(), one.conflicts.begin(), one.conflicts.end());
        out.notes += one.notes;
    }
    return out;
}

} // namespace

void Pusher::learnLaptopId(Local& local, std::size_t k) {
    auto& f = local.files[k];
    if (!f.laptopId.isEmpty())
        return;
    const LaptopIdentity self = laptopIdentity(platform::folderOf(f.path) + "/");
    f.laptopId = self.id;
    if (!self.why.empty())
        say(source_line::fleetLaptopIdNotKept,
            QStringLiteral("this laptop's identity %1 %2: %3")
                .arg(self.id,
                     self.kept ? QStringLiteral("may not be kept")
                               : QStringLiteral("is for this run only"),
                     QString::fromLocal8Bit(self.why.c_str())));
}

std::optional<Pusher::Outcome> Pusher::sendBatch(Local& local, std::size_t k, PgConnection& pg,
                                                 PassTally& tally) {
    auto& f = local.files[k];
    QString unread;
    std::vector<OutboxKey> keys;
    const std::vector<Row> rows = local.read(f, m_batchSize, keys, unread);
    if (!unread.isEmpty() && f.waiting > 0)
        tally.notRead = unread;
    tally.fileDone = rows.empty();
    if (rows.empty())
        return std::nullopt;
    std::vector<const Row*> all;
    for (const Row& r : rows)
        all.push_back(&r);
    BatchOutcome out = pushRows(pg, all, f.laptopId, m_config.statementTimeout, m_batchSize);
    if (out.result == BatchResult::DataError)
        out = pushEachAlone(pg, all, f.laptopId, m_config.statementTimeout, m_batchSize);
    if (out.result != BatchResult::Pushed)
        return batchFailed(static_cast<int>(out.result), out.why, pg);
    for (const QString& note : out.notes)
        say(source_line::fleetBytesNotSent, note);
    for (const Conflict& c : out.conflicts)
        say(source_line::fleetConflict,
            QStringLiteral("conflict kept in %1: %2 %3 of unit %4: %5")
                .arg(QString::fromStdString(f.path), kindName(c.row->kind), c.row->identity,
                     c.row->unit, c.reason));
    QString why;
    if (!local.settle(f, rows, keys, out.conflicts, why)) {
        // Confirmed by the server but still in the outbox: it goes again later, which the
        // server ignores. Told, and tried again after the longest pause.
        setStatus([&](PushStatus& s) { s.detail = QStringLiteral("outbox not updated: ") + why; });
        return Outcome::Refused;
    }
    const auto n = static_cast<std::int64_t>(rows.size());
    tally.sent += n;
    m_batchSize = std::min(m_config.batchSize, m_batchSize * 2);
    f.waiting = std::max<std::int64_t>(0, f.waiting - n);
    setStatus([&](PushStatus& s) {
        s.state = PushStatus::State::Pushing;
        s.waiting = std::max<std::int64_t>(0, s.waiting - n);
        s.pushed += n - static_cast<std::int64_t>(out.conflicts.size());
        s.conflicts += static_cast<std::int64_t>(out.conflicts.size());
        s.unreachableSince.reset();
        for (const Conflict& c : out.conflicts)
            if (c.serverPayload.isNull()) // refused, not held otherwise
                s.refused = QStringLiteral("%1 %2 of unit %3 %4")
                                .arg(kindName(c.row->kind), c.row->identity, c.row->unit, c.reason);
    });
    return std::nullopt;
}

Pusher::Outcome Pusher::batchFailed(int result, const QString& why, PgConnection& pg) {
    const auto r = static_cast<BatchResult>(result);
    if (r == BatchResult::Stopped)
        return Outcome::Stopped;
    if (r == BatchResult::Slow) {
        // Connected, but the answer took longer than the deadline: a slow link, not a lost
        // server. The batch's statements are halved (down to one fact each) and it goes again
        // soon.
        m_batchSize = std::max(1, m_batchSize / 2);
        setStatus([&](PushStatus& s) {
            s.detail =
                QStringLiteral("a batch was not answered in time; now %1 facts a statement: ")
                    .arg(m_batchSize) +
                why;
        });
        pg.close();
        return Outcome::Slow;
    }
    // Anything but a fact's own content: the facts wait, in order, and go again.
    const QString detail = r == BatchResult::Refused
                               ? QStringLiteral("not taken by the server, sent again later: ") + why
                               : why;
    setStatus([&](PushStatus& s) { s.detail = detail; });
    if (r == BatchResult::Transient)
        pg.close();
    return r == BatchResult::Transient ? Outcome::Transient : Outcome::Refused;
}

Pusher::Outcome Pusher::pass(Local& local, PgConnection& pg) {
    std::int64_t counted = 0;
    for (const auto& f : local.files)
        counted += f.waiting;
    PassTally tally;
    for (std::size_t k = 0; k < local.files.size(); ++k) {
        learnLaptopId(local, k);
        tally.fileDone = false;
        while (!m_stopping && !tally.fileDone)
            if (const std::optional<Outcome> end = sendBatch(local, k, pg, tally))
                return *end;
    }
    if (m_stopping)
        return Outcome::Stopped;
    if (!tally.notRead.isEmpty()) {
        // Told, and tried again after the longest pause, never in a tight loop.
        setStatus(
            [&](PushStatus& s) { s.detail = QStringLiteral("outbox not read: ") + tally.notRead; });
        return Outcome::Refused;
    }
    std::int64_t left = 0;
    if (tally.sent == 0 && counted > 0)
        for (auto& f : local.files)
            left += local.count(f, kOutboxTable); // another program may have pushed them
    if (left > 0) {
        // Counted but nothing came out: rows that do not read as facts. Told, and looked at
        // again after the longest pause rather than at once.
        setStatus([&](PushStatus& s) {
            s.detail = QStringLiteral("the outbox holds rows that are not facts");
        });
        return Outcome::Refused;
    }
    return sendBytes(local, pg);
}

Pusher::Outcome Pusher::sendBytes(Local& local, PgConnection& pg) {
    // The facts there now have gone (or cannot, told): a fact written from here on goes before
    // the next chunk.
    std::vector<std::int64_t> lastFact;
    for (auto& f : local.files)
        lastFact.push_back(local.lastFactSeq(f));
    auto factsCame = [&] {
        for (std::size_t i = 0; i < local.files.size(); ++i)
            if (local.lastFactSeq(local.files[i]) > lastFact[i])
                return true;
        return false;
    };
    BytesPolicy policy;
    for (auto& f : local.files) {
        for (const Local::Bytes& b : local.bytesWaiting(f)) {
            if (m_stopping)
                return Outcome::Stopped;
            const BytesOutcome o = sendKeptBytes(
                pg, b.bytes, policy, m_config.statementTimeout, [&](std::int64_t sent) {
                    setStatus([&](PushStatus& s) {
                        s.state = PushStatus::State::Pushing;
                        s.bytesWaiting = std::max<std::int64_t>(0, s.bytesWaiting - sent);
                        s.unreachableSince.reset();
                    });
                    return !m_stopping && !factsCame();
                });
            for (const QString& note : o.notes)
                say(source_line::fleetBytesNotSent, note);
            switch (o.end) {
            case BytesEnd::Done: {
                QString why;
                if (!local.bytesDone(f, b.seq, why)) {
                    setStatus([&](PushStatus& s) {
                        s.detail = QStringLiteral("outbox not updated: ") + why;
                    });
                    return Outcome::Refused;
                }
                setStatus([&](PushStatus& s) { s.bytesWaiting = local.bytesLeftIn(local.files); });
                continue;
            }
            case BytesEnd::Paused:
                // Facts first; the bytes resume where the server's chunks end.
                return m_stopping ? Outcome::Stopped : Outcome::Pushed;
            case BytesEnd::Stopped:
                return Outcome::Stopped;
            case BytesEnd::Slow:
                setStatus([&](PushStatus& s) {
                    s.detail = QStringLiteral("a chunk of a kept download was not answered in "
                                              "time: ") +
                               o.why;
                });
                pg.close();
                return Outcome::Slow;
            case BytesEnd::Transient:
                setStatus([&](PushStatus& s) { s.detail = o.why; });
                pg.close();
                return Outcome::Transient;
            case BytesEnd::Refused:
                setStatus([&](PushStatus& s) {
                    s.detail = QStringLiteral("a kept download's bytes were not taken by the "
                                              "server, sent again later: ") +
                               o.why;
                });
                return Outcome::Refused;
            }
        }
    }
    return Outcome::Pushed;
}

} // namespace fleet
