// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/kept_bytes.h"

#include "fleet/server_values.h"

#include "fleet/pg_connection.h"

#include <QCryptographicHash>
#include <QFile>

#include <set>

namespace fleet {

namespace {

using std::chrono::milliseconds;

BytesOutcome ended(BytesEnd end, const PgResult& r, std::int64_t left) {
    BytesOutcome out;
    out.end = end;
    out.why = QString::fromStdString(r.error());
    if (!r.sqlState().empty())
        out.why += QStringLiteral(" (SQLSTATE %1)").arg(QString::fromStdString(r.sqlState()));
    out.left = left;
    return out;
}

BytesEnd endOf(const PgResult& r) {
    if (r.stopped())
        return BytesEnd::Stopped;
    if (r.timedOut())
        return BytesEnd::Slow;
    return r.transient() ? BytesEnd::Transient : BytesEnd::Refused;
}

PgParam bytesParam(const QByteArray& b) {
    return PgParam::bytes(std::string(b.constData(), static_cast<std::size_t>(b.size())));
}

} // namespace

milliseconds sendDeadline(std::int64_t bytes, milliseconds base) {
    return base + milliseconds(bytes * 1000 / kSlowestBytesPerSecond);
}

// Whole: one download's bytes read, hashed and sent in chunks that share one hash and one policy.
BytesOutcome sendKeptBytes(PgConnection& pg, const KeptBytes& b, BytesPolicy& policy,
                           milliseconds base, const std::function<bool(std::int64_t)>& goOn) {
    BytesOutcome done;
    if (!policy.read) {
        const PgResult r = pg.exec(
            "SELECT accept_download_bytes, max_download_bytes FROM xrq.server_settings", {}, base);
        if (!r.ok())
            return ended(endOf(r), r, b.size);
        policy.read = true;
        policy.accept = r.rows() == 1 && r.value(0, 0) == "t";
        policy.most = integerAt(r, 0, 1, 0, std::numeric_limits<std::int64_t>::max()).value_or(0);
    }
    if (!policy.accept || b.size > policy.most || b.size <= 0 || b.path.isEmpty())
        return done; // declined: the hash and size suffice
    const PgParam sha = PgParam::text(b.sha256.toStdString());
    const PgParam size = PgParam::text(std::to_string(b.size));
    PgResult r = pg.exec("SELECT 1 FROM xrq.download_bytes WHERE sha256 = $1", {sha}, base);
    if (!r.ok())
        return ended(endOf(r), r, b.size);
    if (r.rows() > 0)
        return done;

    // The file must still hold what was kept: read whole once, hashed, then sent from memory
    // chunk by chunk (at most the 64 MiB the server takes).
    QFile file(b.path);
    if (!file.open(QIODevice::ReadOnly)) {
        done.notes
            << QStringLiteral("kept download %1 not sent: %2").arg(b.path, file.errorString());
        return done;
    }
    const QByteArray all = file.readAll();
    if (all.size() != b.size ||
        QString::fromLatin1(QCryptographicHash::hash(all, QCryptographicHash::Sha256).toHex()) !=
            b.sha256) {
        done.notes << QStringLiteral("kept download %1 not sent: it no longer holds what was kept")
                          .arg(b.path);
        return done;
    }

    r = pg.exec("SELECT \"offset\" FROM xrq.download_chunks WHERE sha256 = $1 AND size = $2",
                {sha, size}, base);
    if (!r.ok())
        return ended(endOf(r), r, b.size);
    std::set<std::int64_t> held;
    // An offset that is no number is no chunk held: it is sent again, and the server keeps one.
    for (int i = 0; i < r.rows(); ++i)
        if (const auto offset = integerAt(r, i, 0, 0, std::numeric_limits<std::int64_t>::max()))
            held.insert(*offset);
    std::int64_t left = 0;
    for (std::int64_t at = 0; at < b.size; at += kBytesChunk)
        if (!held.count(at))
            left += std::min(kBytesChunk, b.size - at);
    for (std::int64_t at = 0; at < b.size; at += kBytesChunk) {
        if (held.count(at))
            continue;
        const QByteArray chunk = all.mid(at, std::min(kBytesChunk, b.size - at));
        // One statement, its own transaction: a chunk the server took stays taken.
        r = pg.exec("INSERT INTO xrq.download_chunks (sha256, size, \"offset\", bytes) "
                    "VALUES ($1, $2, $3, $4) ON CONFLICT DO NOTHING",
                    {sha, size, PgParam::text(std::to_string(at)), bytesParam(chunk)},
                    sendDeadline(chunk.size(), base));
        if (!r.ok())
            return ended(endOf(r), r, left);
        left -= chunk.size();
        if (!goOn(chunk.size()) && left > 0) {
            BytesOutcome paused;
            paused.end = BytesEnd::Paused;
            paused.left = left;
            return paused;
        }
    }
    // Put together on the server; its check of download_bytes proves the hash.
    r = pg.exec(
        "INSERT INTO xrq.download_bytes (sha256, size, bytes) "
        "SELECT $1, $2::bigint, pg_catalog.string_agg(bytes, ''::bytea ORDER BY \"offset\") "
        "FROM xrq.download_chunks WHERE sha256 = $1 AND size = $2::bigint "
        "HAVING pg_catalog.sum(pg_catalog.octet_length(bytes)) = $2::bigint "
        "ON CONFLICT (sha256) DO NOTHING",
        {sha, size}, sendDeadline(0, base) * 4);
    if (r.ok() && r.affected() == 1)
        return done;
    if (!r.ok() && r.sqlState() != "23514")
        return ended(endOf(r), r, 0);
    // Chunks that do not make the hash, or overlap (not ours: another role's): the bytes go
    // whole, in one statement.
    r = pg.exec("SELECT 1 FROM xrq.download_bytes WHERE sha256 = $1", {sha}, base);
    if (r.ok() && r.rows() > 0)
        return done;
    r = pg.exec("INSERT INTO xrq.download_bytes (sha256, size, bytes) VALUES ($1, $2, $3) "
                "ON CONFLICT (sha256) DO NOTHING",
                {sha, size, bytesParam(all)}, sendDeadline(all.size(), base));
    if (!r.ok())
        return ended(endOf(r), r, b.size);
    done.notes << QStringLiteral("kept download %1 sent whole: the server's chunks of it did not "
                                 "make its hash")
                      .arg(b.path);
    return done;
}

} // namespace fleet
