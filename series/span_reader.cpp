// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/span_reader.h"

#include "series/held_records.h"
#include "series/series_share.h"
#include "series/store_db.h"

#include "fleet/fleet_settings.h"

#include "platform/durable_file.h"
#include "storage/sqlite_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <array>
#include <map>
#include <set>

namespace series {

using namespace detail;

namespace {

// A run of a segment's records as the outbox's spans need them: the chunks that hold them
// (kept, for the records' views into their bytes) and each record's line and flags.
struct SpanChunk {
    std::uint64_t first = 0;
    QByteArray data;
    std::string download;
    std::optional<int> offset;
    viewer::DateOrder order = viewer::DateOrder::YMD;
};
struct SpanLine {
    std::string_view line;
    std::uint8_t flags = 0;
    std::size_t chunk = 0;
};

// The records [from, to) of segment `segment` into `chunks` and `lines` (kept from call to
// call, for their room); an error when they are not all there.
platform::Result<void> readSpanLines(QSqlDatabase& db, std::int64_t segment, std::uint64_t from,
                                     std::uint64_t to, std::vector<SpanChunk>& chunks,
                                     std::vector<SpanLine>& lines) {
    chunks.clear();
    lines.clear();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT c.first, d.path, c.utc_offset, c.date_order, c.data FROM chunks c"
                       " JOIN downloads d ON d.id = c.download_id WHERE c.segment_id = ? AND"
                       " c.first + c.count > ? AND c.first < ? ORDER BY c.first"));
    q.bindValue(0, qint64(segment));
    q.bindValue(1, qint64(from));
    q.bindValue(2, qint64(to));
    if (!q.exec())
        return storage::errorOf(q.lastError());
    while (q.next())
        chunks.push_back(
            {q.value(0).toULongLong(), q.value(4).toByteArray(),
             q.value(1).toByteArray().toStdString(),
             q.value(2).isNull() ? std::nullopt : std::optional<int>(q.value(2).toInt()),
             static_cast<viewer::DateOrder>(q.value(3).toInt())});
    lines.reserve(to - from);
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        std::uint64_t at = chunks[c].first;
        const bool ok = decodeChunk(chunks[c].data, [&](std::uint8_t flags, std::string_view line) {
            if (at >= to)
                return false;
            if (at >= from)
                lines.push_back({line, flags, c});
            ++at;
            return true;
        });
        if (!ok)
            return platform::makeError(platform::ErrorKind::Corrupt,
                                       "a chunk of the series is damaged");
    }
    if (lines.size() != to - from)
        return platform::makeError(platform::ErrorKind::Corrupt,
                                   "the series' chunks do not hold the records its segment counts");
    return {};
}

// Where the pusher's thread stands in a segment it shares: the occurrences counted up to
// there and the last record's identity (what the next record's "after" names). Kept between
// the spans of one segment, which go in order; worked out again from the segment's start
// when a span does not follow (another pusher, a file put in place, a span sent again).
struct SharedPlace {
    std::string file;
    qint64 segment = -1;
    OccurrenceCount counts;
    QString last; // the identity of the record counted last
    std::int64_t lastOccurrence = 0;
    std::uint64_t used = 0;
};

SharedPlace& sharedPlace(const std::string& file, qint64 segment, std::uint64_t from,
                         const QString& lastIdentity) {
    // A few segments at once: a download's data sets interleave in the outbox.
    thread_local std::array<SharedPlace, 4> places;
    thread_local std::uint64_t clock = 0;
    SharedPlace* slot = &places[0];
    for (SharedPlace& p : places) {
        if (p.file == file && p.segment == segment) {
            slot = &p;
            break;
        }
        if (p.used < slot->used)
            slot = &p;
    }
    if (slot->file != file || slot->segment != segment || slot->counts.counted() != from ||
        slot->last != lastIdentity) {
        slot->file = file;
        slot->segment = segment;
        slot->counts.clear();
        slot->last.clear();
        slot->lastOccurrence = 0;
    }
    slot->used = ++clock;
    return *slot;
}

// Counts the records [counted, to) of segment `segment` into `place`, a window at a time.
platform::Result<void> countShared(QSqlDatabase& db, qint64 segment, std::uint64_t to,
                                   SharedPlace& place) {
    constexpr std::uint64_t kWindow = 65536;
    std::vector<SpanChunk> chunks;
    std::vector<SpanLine> lines;
    char hex[kIdentityHexSize];
    while (place.counts.counted() < to) {
        const std::uint64_t from = place.counts.counted();
        const std::uint64_t back = from > 0 ? 1 : 0;
        const std::uint64_t end = std::min(to, from + kWindow);
        if (auto read = readSpanLines(db, segment, from - back, end, chunks, lines); !read)
            return read;
        for (std::size_t i = back; i < lines.size(); ++i) {
            recordIdentity(i > 0 ? lines[i - 1].line : std::string_view(), lines[i].line, hex);
            place.lastOccurrence = place.counts.next(hex);
            place.last = QString::fromLatin1(hex, kIdentityHexSize);
        }
    }
    return {};
}

// The notes on the records [from, from + count) of a segment (by place), and the segment's
// title line, which goes with a span's first record (none in an older store).
platform::Result<void> readSpanNotes(QSqlDatabase& db, qint64 series, int seq, qint64 segment,
                                     std::uint64_t from, std::size_t count,
                                     std::map<std::uint64_t, std::vector<std::string>>& notesAt,
                                     std::string& titles) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT record, text FROM notes WHERE series_id = ? AND segment = ?"
                             " AND record > ? AND record <= ? ORDER BY id"));
    q.bindValue(0, series);
    q.bindValue(1, seq + 1);
    q.bindValue(2, qint64(from));
    q.bindValue(3, qint64(from + count));
    if (!q.exec())
        return storage::errorOf(q.lastError());
    while (q.next())
        notesAt[q.value(0).toULongLong() - 1].push_back(q.value(1).toString().toStdString());
    q.finish();
    q.prepare(QStringLiteral("SELECT t.line FROM titles t JOIN chunks c ON c.download_id ="
                             " t.download_id JOIN downloads d ON d.id = t.download_id"
                             " WHERE c.segment_id = ? AND t.series_id = ?"
                             " ORDER BY d.at DESC, d.id DESC LIMIT 1"));
    q.bindValue(0, segment);
    q.bindValue(1, series);
    if (q.exec() && q.next())
        titles = bytesOf(q.value(0));
    return {};
}

} // namespace

// The outbox's span reader for series.sqlite (fleet/outbox.h): the records of a span, each
// with its identity, its occurrence, the record before it and its payload (series_share.h).
// The reference is {"segment_id": the segments row, "identity": 2}; a span an older version
// wrote says {"segment_id": ..., "chain": the chained hash before the span (hex)}: its records
// take their identities now all the same, as every waiting record does. Runs on the pusher's
// thread, on its connection.
platform::Result<std::vector<fleet::Outbox::SpanRecord>> readSharedSpan(QSqlDatabase& db,
                                                                        const QByteArray& reference,
                                                                        std::int64_t firstPosition,
                                                                        std::size_t count) {
    const QJsonObject ref = QJsonDocument::fromJson(reference).object();
    const qint64 segment = ref.value(QStringLiteral("segment_id")).toInteger(-1);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT g.series_id, g.seq, s.usual_interval FROM segments g JOIN"
                             " series s ON s.id = g.series_id WHERE g.id = ?"));
    q.bindValue(0, segment);
    if (!q.exec() || !q.next())
        return platform::makeError(q.lastError().isValid() ? storage::kindOf(q.lastError())
                                                           : platform::ErrorKind::NotFound,
                                   "the series holds no segment " + std::to_string(segment) +
                                       " of its outbox");
    const qint64 series = q.value(0).toLongLong();
    const int seq = q.value(1).toInt();
    const double interval = q.value(2).toDouble();
    q.finish();
    const auto from = static_cast<std::uint64_t>(firstPosition);
    std::map<std::uint64_t, std::vector<std::string>> notesAt;
    std::string titles;
    if (auto read = readSpanNotes(db, series, seq, segment, from, count, notesAt, titles); !read)
        return read.error();
    std::vector<SpanChunk> chunks;
    std::vector<SpanLine> lines;
    // The two records before the span too: the first one's identity is made with the one
    // before it, whose own identity its "after" names.
    const std::uint64_t before = std::min<std::uint64_t>(from, 2);
    if (auto read = readSpanLines(db, segment, from - before, from + count, chunks, lines); !read)
        return read.error();
    const QString lastBefore = before == 0
                                   ? QString()
                                   : recordIdentity(before > 1 ? lines[0].line : std::string_view(),
                                                    lines[before - 1].line);
    SharedPlace& place =
        sharedPlace(QFile::encodeName(db.databaseName()).toStdString(), segment, from, lastBefore);
    if (place.counts.counted() != from)
        if (auto counted = countShared(db, segment, from, place); !counted)
            return counted.error();
    std::vector<fleet::Outbox::SpanRecord> out;
    out.reserve(count);
    char hex[kIdentityHexSize];
    for (std::size_t k = before; k < lines.size(); ++k) {
        const std::size_t i = k - before; // in the span
        const SpanLine& r = lines[k];
        const SpanChunk& c = chunks[r.chunk];
        const auto note = notesAt.find(from + i);
        const bool last = k + 1 == lines.size();
        // What this laptop says of the record, where it differs from the one before.
        const bool info = i == 0 || r.chunk != lines[k - 1].chunk ||
                          r.flags != lines[k - 1].flags || note != notesAt.end() ||
                          (last && interval > 0);
        SharedRecord shared;
        shared.line = r.line;
        if (info) {
            shared.timeFlags = r.flags;
            shared.offsetSeconds = c.offset;
            shared.dateOrder = c.order;
            shared.download = c.download;
            if (note != notesAt.end())
                shared.notes = note->second;
            shared.usualInterval = last ? interval : 0;
            if (i == 0)
                shared.titles = titles;
        }
        fleet::Outbox::SpanRecord record;
        recordIdentity(k > 0 ? lines[k - 1].line : std::string_view(), r.line, hex);
        record.hash = QString::fromLatin1(hex, kIdentityHexSize);
        record.after = place.last;
        record.afterOccurrence = place.lastOccurrence;
        record.occurrence = place.counts.next(hex);
        place.last = record.hash;
        place.lastOccurrence = record.occurrence;
        appendRecordPayload(record.payload, shared, info);
        out.push_back(std::move(record));
    }
    return out;
}

// The series' requeuer of the records an older program noted as refused (fleet/outbox.h):
// each goes into the outbox again as a span of its own, found by its identity (or an older
// version's chained hash) among the records of its unit already shared (the note names no
// data set: a hash that two of the unit's data sets hold alike, the same records at the same
// places, is put back in both, which the server keeps once). On the pusher's thread, on its
// connection.
platform::Result<void> queueRefusedRecords(QSqlDatabase& db,
                                           const std::vector<fleet::Outbox::Refused>& refused) {
    std::map<QString, std::set<QString>> byUnit;
    for (const fleet::Outbox::Refused& f : refused)
        if (f.kind == fleet::FactKind::Record)
            byUnit[f.unit].insert(f.identity);
    const QString laptop =
        fleet::readFleetSettings(
            platform::folderOf(QFile::encodeName(db.databaseName()).toStdString()) + "/")
            .laptop;
    for (const auto& [unit, hashes] : byUnit) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT g.id, g.seq, g.shared, g.last_download_at, s.name, "
                                 "s.ordinal FROM segments g JOIN series s ON s.id = g.series_id "
                                 "WHERE s.serial = ? ORDER BY s.id, g.seq"));
        q.addBindValue(unit.toLatin1());
        if (!q.exec())
            return storage::errorOf(q.lastError());
        struct Place {
            qint64 id;
            int seq;
            quint64 shared;
            qint64 at;
            QByteArray name;
            int ordinal;
        };
        std::vector<Place> places;
        while (q.next())
            places.push_back({q.value(0).toLongLong(), q.value(1).toInt(), q.value(2).toULongLong(),
                              q.value(3).toLongLong(), q.value(4).toByteArray(),
                              q.value(5).toInt()});
        q.finish();
        for (const Place& p : places) {
            std::vector<SpanChunk> chunks;
            std::vector<SpanLine> lines;
            if (auto read = readSpanLines(db, p.id, 0, p.shared, chunks, lines); !read)
                return read;
            // Noted under the chained hash of the version that refused it, or under its
            // identity: put back under the one it was noted by.
            RecordChain chain;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const QByteArray before = chain.last();
                const QString chained = chain.next(lines[i].line);
                const QString identity =
                    recordIdentity(i > 0 ? lines[i - 1].line : std::string_view(), lines[i].line);
                const bool byChain = hashes.count(chained) > 0;
                if (!byChain && !hashes.count(identity))
                    continue;
                const QString hash = byChain ? chained : identity;
                fleet::Outbox::Span span;
                span.unit = unit;
                span.dataSet = sharedDataSet(p.name.toStdString(), p.ordinal);
                span.segment = p.seq;
                span.firstPosition = static_cast<std::int64_t>(i);
                span.count = 1;
                span.occurredAt = p.at;
                span.laptop = laptop;
                span.firstHash = hash;
                span.reference = "{\"segment_id\":" + QByteArray::number(p.id) +
                                 (byChain ? ",\"chain\":\"" + before.toHex() + "\"}"
                                          : QByteArray(",\"identity\":2}"));
                if (auto queued = fleet::Outbox::enqueueSpan(db, span); !queued)
                    return queued;
            }
        }
    }
    return {};
}

fleet::SharingSources sharingSources() {
    fleet::SharingSources sources;
    sources.spanReader = readSharedSpan;
    sources.recordLookup = lookUpRecords;
    sources.requeuers.emplace(QStringLiteral("segments"), queueRefusedRecords);
    return sources;
}

} // namespace series
