// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_store.h"

#include "series/held_records.h"
#include "series/overlap.h"
#include "series/series_merge.h"
#include "series/series_share.h"

#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"

#include "platform/durable_file.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <set>

namespace series {

namespace {

constexpr int kSchemaVersion = 4;
// A chunk holds the records of one download, up to this many (or bytes).
constexpr std::size_t kChunkRecords = 4096;
constexpr std::size_t kChunkBytes = 256 * 1024;

const char* const kSchema[] = {
    "CREATE TABLE downloads(id INTEGER PRIMARY KEY, serial BLOB NOT NULL, at INTEGER NOT NULL,"
    " path BLOB NOT NULL, safe INTEGER NOT NULL)",
    "CREATE INDEX downloads_by_path ON downloads(serial, path)",
    "CREATE TABLE series(id INTEGER PRIMARY KEY, serial BLOB NOT NULL, name BLOB NOT NULL,"
    " ordinal INTEGER NOT NULL, usual_interval REAL NOT NULL DEFAULT 0,"
    " UNIQUE(serial, name, ordinal))",
    // confirmed: the records before it are confirmed, those after provisional.
    "CREATE TABLE segments(id INTEGER PRIMARY KEY, series_id INTEGER NOT NULL, seq INTEGER NOT"
    " NULL, records INTEGER NOT NULL, confirmed INTEGER NOT NULL, last_download_at INTEGER NOT"
    " NULL, UNIQUE(series_id, seq))",
    // The records `first` .. `first + count - 1` of a segment, all brought by one download.
    "CREATE TABLE chunks(id INTEGER PRIMARY KEY, segment_id INTEGER NOT NULL, first INTEGER NOT"
    " NULL, count INTEGER NOT NULL, bytes INTEGER NOT NULL, download_id INTEGER NOT NULL,"
    " utc_offset INTEGER, date_order INTEGER NOT NULL, data BLOB NOT NULL)",
    "CREATE UNIQUE INDEX chunks_by_place ON chunks(segment_id, first)",
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, series_id INTEGER NOT NULL, download_id INTEGER"
    " NOT NULL, segment INTEGER NOT NULL, record INTEGER NOT NULL, text TEXT NOT NULL)",
};

// Version 2: how many of a segment's records are in the outbox (always confirmed ones, from
// its start) and the chained hash after the last of them (series_share.h); the outbox's
// tables are made beside them, and every confirmed record of an older store is put in.
const char* const kSchema2[] = {
    "ALTER TABLE segments ADD COLUMN shared INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE segments ADD COLUMN shared_chain BLOB",
};

// Version 3: what each download said at a place where downloads said different records.
// `safe`: the download was called safe, or the record it said was confirmed by one.
const char* const kSchema3[] = {
    "CREATE TABLE versions(id INTEGER PRIMARY KEY, segment_id INTEGER NOT NULL, place INTEGER"
    " NOT NULL, download_id INTEGER NOT NULL, safe INTEGER NOT NULL, line BLOB NOT NULL)",
    "CREATE INDEX versions_by_place ON versions(segment_id, place)",
    // The unit's clock sets as the register had them at its last download taken: what a
    // reader of the series puts its records in UTC with (record_time.h's RecordClock).
    "CREATE TABLE clock_sets(serial BLOB NOT NULL, at INTEGER NOT NULL, utc_offset INTEGER,"
    " sent BLOB NOT NULL)",
    "CREATE INDEX clock_sets_by_unit ON clock_sets(serial)",
    // Kept downloads `xrq-series prune-kept --remove` removed, each wholly held by a later
    // safe one (`held_by`): a rebuild knows them as pruned, not as unreadable.
    "CREATE TABLE pruned(serial BLOB NOT NULL, path BLOB NOT NULL, held_by BLOB NOT NULL,"
    " UNIQUE(serial, path))",
    // "rules": the version whose rules made the series it holds (a store migrated from an
    // older one keeps the older one's until it is rebuilt).
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)",
};

// Version 4: each set's title line as each download brought it (download_text.h's
// namesColumns): the names of its columns, never a record.
const char* const kSchema4[] = {
    "CREATE TABLE IF NOT EXISTS titles(series_id INTEGER NOT NULL, download_id INTEGER NOT NULL,"
    " line BLOB NOT NULL, UNIQUE(series_id, download_id))",
};

std::function<void(const char*)>& faultHook() {
    static std::function<void(const char*)> hook;
    return hook;
}

void fault(const char* where) {
    if (faultHook())
        faultHook()(where);
}

QByteArray blob(std::string_view bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string bytesOf(const QVariant& v) {
    return v.toByteArray().toStdString();
}

// A clock set as the store's two tables of them hold it: at, utc_offset and sent, from
// column `first` of the row `q` is on.
ClockFact clockFactAt(const QSqlQuery& q, int first) {
    const QVariant offset = q.value(first + 1);
    return {q.value(first).toLongLong(),
            offset.isNull() ? std::nullopt : std::optional<int>(offset.toInt()),
            bytesOf(q.value(first + 2))};
}

// Whether the store has the table of the clock sets learnt from the server (made with the
// first ones learnt).
const char* const kHasLearntClockSets =
    "SELECT 1 FROM sqlite_master WHERE name = 'learnt_clock_sets'";

void putVarint(QByteArray& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.append(static_cast<char>(0x80 | (v & 0x7F)));
        v >>= 7;
    }
    out.append(static_cast<char>(v));
}

// A record as a chunk holds it: its flags, its length, its bytes.
void putRecord(QByteArray& out, std::uint8_t flags, std::string_view line) {
    out.append(static_cast<char>(flags));
    putVarint(out, line.size());
    out.append(line.data(), static_cast<qsizetype>(line.size()));
}

bool getVarint(const char*& p, const char* end, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const auto b = static_cast<unsigned char>(*p++);
        v |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

// Calls `each(flags, line)` for every record of a chunk's blob; false when it is damaged.
template <class F> bool decodeChunk(const QByteArray& data, F&& each) {
    const char* p = data.constData();
    const char* end = p + data.size();
    while (p < end) {
        const auto flags = static_cast<std::uint8_t>(*p++);
        std::uint64_t len;
        if (!getVarint(p, end, len) || len > std::uint64_t(end - p))
            return false;
        if (!each(flags, std::string_view(p, len)))
            return true;
        p += len;
    }
    return true;
}

// A segment's records by place, for the alignment: its chunks read as they are asked for (in
// order of place nearly always), the last few kept decoded.
class HeldReader {
public:
    HeldReader(QSqlDatabase& db, std::int64_t segment) : m_db(db), m_segment(segment) {}

    bool open(std::string& error) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT id, first, count, download_id FROM chunks WHERE "
                                 "segment_id = ? ORDER BY first"));
        q.bindValue(0, qint64(m_segment));
        if (!q.exec()) {
            error = q.lastError().text().toStdString();
            return false;
        }
        while (q.next())
            m_chunks.push_back({q.value(0).toLongLong(), q.value(1).toULongLong(),
                                q.value(2).toULongLong(), q.value(3).toLongLong()});
        return true;
    }
    // The record at `place` (empty, and failed(), when it cannot be read).
    std::string_view at(std::size_t place) {
        const Loaded* c = load(place);
        return c ? c->lines[place - m_chunks[c->chunk].first] : std::string_view();
    }
    std::int64_t downloadOf(std::size_t place) {
        const std::size_t i = chunkOf(place);
        return i < m_chunks.size() ? m_chunks[i].download : 0;
    }
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

private:
    struct Chunk {
        std::int64_t id = 0;
        std::uint64_t first = 0, count = 0;
        std::int64_t download = 0;
    };
    struct Loaded {
        std::size_t chunk = static_cast<std::size_t>(-1);
        QByteArray data;
        std::vector<std::string_view> lines;
        std::uint64_t used = 0;
    };
    std::size_t chunkOf(std::size_t place) const {
        auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), place,
                                   [](std::size_t p, const Chunk& c) { return p < c.first; });
        if (it == m_chunks.begin())
            return m_chunks.size();
        --it;
        return place < it->first + it->count ? std::size_t(it - m_chunks.begin()) : m_chunks.size();
    }
    const Loaded* load(std::size_t place) {
        ++m_clock;
        for (Loaded& l : m_cache)
            if (l.chunk < m_chunks.size() && place >= m_chunks[l.chunk].first &&
                place < m_chunks[l.chunk].first + m_chunks[l.chunk].count) {
                l.used = m_clock;
                return &l;
            }
        const std::size_t i = chunkOf(place);
        if (i >= m_chunks.size()) {
            m_error = "the series' chunks do not hold the records its segment counts";
            return nullptr;
        }
        Loaded* slot = &m_cache[0];
        for (Loaded& l : m_cache)
            if (l.used < slot->used)
                slot = &l;
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT data FROM chunks WHERE id = ?"));
        q.bindValue(0, qint64(m_chunks[i].id));
        if (!q.exec() || !q.next()) {
            m_error = q.lastError().text().toStdString();
            if (m_error.empty())
                m_error = "a chunk of the series is missing";
            return nullptr;
        }
        slot->chunk = static_cast<std::size_t>(-1);
        slot->data = q.value(0).toByteArray();
        slot->lines.clear();
        slot->lines.reserve(m_chunks[i].count);
        const bool ok = decodeChunk(slot->data, [&](std::uint8_t, std::string_view line) {
            slot->lines.push_back(line);
            return true;
        });
        if (!ok || slot->lines.size() != m_chunks[i].count) {
            m_error = "a chunk of the series is damaged";
            return nullptr;
        }
        slot->chunk = i;
        slot->used = m_clock;
        return slot;
    }

    QSqlDatabase& m_db;
    std::int64_t m_segment;
    std::vector<Chunk> m_chunks;
    std::array<Loaded, 4> m_cache;
    std::uint64_t m_clock = 0;
    std::string m_error;
};

// A segment joined into another (series_merge.h) keeps its row and chunks, which the outbox's
// spans may still name, under a seq below 0 (-1 - its id); every reader of the series passes
// it by.
struct Segment {
    std::int64_t id = 0;
    int seq = 0;
    std::uint64_t records = 0;
    std::uint64_t confirmed = 0;
    std::int64_t lastDownloadAt = 0;
    std::uint64_t shared = 0; // records 0 .. shared - 1 are in the outbox
    QByteArray sharedChain;   // the chained hash after them
};

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

// The records [from, to) of segment `segment`; false with `why` when they are not all there.
bool readSpanLines(QSqlDatabase& db, std::int64_t segment, std::uint64_t from, std::uint64_t to,
                   std::vector<SpanChunk>& chunks, std::vector<SpanLine>& lines, std::string& why) {
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
    if (!q.exec()) {
        why = q.lastError().text().toStdString();
        return false;
    }
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
        if (!ok) {
            why = "a chunk of the series is damaged";
            return false;
        }
    }
    if (lines.size() != to - from) {
        why = "the series' chunks do not hold the records its segment counts";
        return false;
    }
    return true;
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
bool countShared(QSqlDatabase& db, qint64 segment, std::uint64_t to, SharedPlace& place,
                 std::string& why) {
    constexpr std::uint64_t kWindow = 65536;
    std::vector<SpanChunk> chunks;
    std::vector<SpanLine> lines;
    char hex[kIdentityHexSize];
    while (place.counts.counted() < to) {
        const std::uint64_t from = place.counts.counted();
        const std::uint64_t back = from > 0 ? 1 : 0;
        const std::uint64_t end = std::min(to, from + kWindow);
        if (!readSpanLines(db, segment, from - back, end, chunks, lines, why))
            return false;
        for (std::size_t i = back; i < lines.size(); ++i) {
            recordIdentity(i > 0 ? lines[i - 1].line : std::string_view(), lines[i].line, hex);
            place.lastOccurrence = place.counts.next(hex);
            place.last = QString::fromLatin1(hex, kIdentityHexSize);
        }
    }
    return true;
}

// The outbox's span reader for series.sqlite (fleet/outbox.h): the records of a span, each
// with its identity, its occurrence, the record before it and its payload (series_share.h).
// The reference is {"segment_id": the segments row, "identity": 2}; a span an older version
// wrote says {"segment_id": ..., "chain": the chained hash before the span (hex)}: its records
// take their identities now all the same, as every waiting record does. Runs on the pusher's
// thread, on its connection.
bool readSharedSpan(QSqlDatabase& db, const QByteArray& reference, std::int64_t firstPosition,
                    std::size_t count, std::vector<fleet::Outbox::SpanRecord>& out, QString& why) {
    out.clear();
    const QJsonObject ref = QJsonDocument::fromJson(reference).object();
    const qint64 segment = ref.value(QStringLiteral("segment_id")).toInteger(-1);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT g.series_id, g.seq, s.usual_interval FROM segments g JOIN"
                             " series s ON s.id = g.series_id WHERE g.id = ?"));
    q.bindValue(0, segment);
    if (!q.exec() || !q.next()) {
        why = QStringLiteral("the series holds no segment %1 of its outbox").arg(segment);
        return false;
    }
    const qint64 series = q.value(0).toLongLong();
    const int seq = q.value(1).toInt();
    const double interval = q.value(2).toDouble();
    q.finish();
    const auto from = static_cast<std::uint64_t>(firstPosition);
    std::map<std::uint64_t, std::vector<std::string>> notesAt;
    q.prepare(QStringLiteral("SELECT record, text FROM notes WHERE series_id = ? AND segment = ?"
                             " AND record > ? AND record <= ? ORDER BY id"));
    q.bindValue(0, series);
    q.bindValue(1, seq + 1);
    q.bindValue(2, qint64(from));
    q.bindValue(3, qint64(from + count));
    if (!q.exec()) {
        why = q.lastError().text();
        return false;
    }
    while (q.next())
        notesAt[q.value(0).toULongLong() - 1].push_back(q.value(1).toString().toStdString());
    q.finish();
    // The segment's title line goes with the span's first record (none in an older store).
    std::string titles;
    q.prepare(QStringLiteral("SELECT t.line FROM titles t JOIN chunks c ON c.download_id ="
                             " t.download_id JOIN downloads d ON d.id = t.download_id"
                             " WHERE c.segment_id = ? AND t.series_id = ?"
                             " ORDER BY d.at DESC, d.id DESC LIMIT 1"));
    q.bindValue(0, segment);
    q.bindValue(1, series);
    if (q.exec() && q.next())
        titles = bytesOf(q.value(0));
    q.finish();
    std::vector<SpanChunk> chunks;
    std::vector<SpanLine> lines;
    std::string error;
    // The two records before the span too: the first one's identity is made with the one
    // before it, whose own identity its "after" names.
    const std::uint64_t before = std::min<std::uint64_t>(from, 2);
    if (!readSpanLines(db, segment, from - before, from + count, chunks, lines, error)) {
        why = QString::fromStdString(error);
        return false;
    }
    const QString lastBefore = before == 0
                                   ? QString()
                                   : recordIdentity(before > 1 ? lines[0].line : std::string_view(),
                                                    lines[before - 1].line);
    SharedPlace& place =
        sharedPlace(QFile::encodeName(db.databaseName()).toStdString(), segment, from, lastBefore);
    if (place.counts.counted() != from && !countShared(db, segment, from, place, error)) {
        why = QString::fromStdString(error);
        return false;
    }
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
    return true;
}

// The series' requeuer of the records an older program noted as refused (fleet/outbox.h):
// each goes into the outbox again as a span of its own, found by its identity (or an older
// version's chained hash) among the records of its unit already shared (the note names no
// data set: a hash that two of the unit's data sets hold alike, the same records at the same
// places, is put back in both, which the server keeps once). On the pusher's thread, on its
// connection.
bool queueRefusedRecords(QSqlDatabase& db, const std::vector<fleet::Outbox::Refused>& refused,
                         QString& why) {
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
        if (!q.exec()) {
            why = q.lastError().text();
            return false;
        }
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
            std::string error;
            if (!readSpanLines(db, p.id, 0, p.shared, chunks, lines, error)) {
                why = QString::fromStdString(error);
                return false;
            }
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
                if (!fleet::Outbox::enqueueSpan(db, span, &why))
                    return false;
            }
        }
    }
    return true;
}

// Every program that links the series can push its records, and put back those an older
// version noted as refused.
[[maybe_unused]] const bool spanReaderSet = (fleet::Outbox::setSpanReader(readSharedSpan), true);
// ... and say which of another laptop's records it holds (Clear Memory's note).
[[maybe_unused]] const bool recordLookupSet = (fleet::setRecordLookup(lookUpRecords), true);
[[maybe_unused]] const bool requeuerSet =
    (fleet::Outbox::addRequeuer(QStringLiteral("segments"), queueRefusedRecords), true);

} // namespace

std::string takenText(const SetTaken& t) {
    std::string text = t.name + (t.ordinal > 0 ? " (" + std::to_string(t.ordinal + 1) + ")" : "") +
                       ": " + std::to_string(t.added) +
                       (t.added == 1 ? " new record, " : " new records, ") +
                       std::to_string(t.held) + " already held";
    if (t.provisional && t.added > 0)
        text += ", the new ones provisional (the download was not called safe)";
    if (t.confirmed > 0)
        text += ", " + std::to_string(t.confirmed) + " provisional confirmed";
    if (t.replaced > 0)
        text += ", " + std::to_string(t.replaced) + " provisional replaced";
    if (t.disputed > 0)
        text += ", " + std::to_string(t.disputed) +
                (t.disputed == 1 ? " record disputed (another record said at its place)"
                                 : " records disputed (other records said at their places)");
    if (t.settled > 0)
        text += ", " + std::to_string(t.settled) +
                (t.settled == 1 ? " dispute settled" : " disputes settled");
    if (t.joined > 0)
        text += t.joined == 1
                    ? "; a segment joined (the same memory)"
                    : "; " + std::to_string(t.joined) + " segments joined (the same memory)";
    if (t.newSegment && t.afterClear)
        text += "; a new segment: the unit was cleared since";
    else if (t.newSegment)
        text += "; a new segment: " + t.reason;
    if (t.apart)
        text += " (provisional, apart: the download was not called safe)";
    if (t.fewer)
        text += "; the unit holds fewer records than before";
    return text;
}

std::string ApplyResult::text() const {
    if (!ok)
        return "The series did not take the download: " + error;
    if (replayed)
        return "The series already holds this download";
    std::string out;
    for (const SetTaken& t : sets)
        out += (out.empty() ? "" : "; ") + takenText(t);
    return out.empty() ? "The series took no records (no data set)" : out;
}

struct SeriesStore::Db {
    QString name;
    QSqlDatabase db;
    std::string error;
    // fleet.ini's folder: the name this laptop's records carry, read at each download so
    // that a name changed in Setup counts from the next one on.
    std::string settingsFolder;
    QString thisLaptop() const { return fleet::readFleetSettings(settingsFolder).laptop; }
    int version = 0; // the schema the file holds (a reader's may be older than ours)

    bool exec(QSqlQuery& q) {
        if (q.exec())
            return true;
        error = q.lastError().text().toStdString();
        return false;
    }
    bool run(const char* sql) {
        QSqlQuery q(db);
        if (q.exec(QString::fromLatin1(sql)))
            return true;
        error = q.lastError().text().toStdString() + " (" + sql + ")";
        return false;
    }

    // The last segment of `series` before seq `below`, if any.
    bool segmentBelow(std::int64_t series, int below, std::optional<Segment>& out) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT id, seq, records, confirmed, last_download_at, shared, "
                                 "shared_chain FROM segments WHERE series_id = ? AND seq < ? "
                                 "AND seq >= 0 ORDER BY seq DESC LIMIT 1"));
        q.bindValue(0, qint64(series));
        q.bindValue(1, below);
        if (!exec(q))
            return false;
        out.reset();
        if (q.next())
            out =
                Segment{q.value(0).toLongLong(),  q.value(1).toInt(),      q.value(2).toULongLong(),
                        q.value(3).toULongLong(), q.value(4).toLongLong(), q.value(5).toULongLong(),
                        q.value(6).toByteArray()};
        return true;
    }

    bool lastSegment(std::int64_t series, std::optional<Segment>& out) {
        return segmentBelow(series, std::numeric_limits<int>::max(), out);
    }

    bool saveSegment(const Segment& s) {
        QSqlQuery q(db);
        q.prepare(
            QStringLiteral("UPDATE segments SET records = ?, confirmed = ?, "
                           "last_download_at = ?, shared = ?, shared_chain = ? WHERE id = ?"));
        q.bindValue(0, qint64(s.records));
        q.bindValue(1, qint64(s.confirmed));
        q.bindValue(2, qint64(s.lastDownloadAt));
        q.bindValue(3, qint64(s.shared));
        q.bindValue(4, s.sharedChain);
        q.bindValue(5, qint64(s.id));
        return exec(q);
    }

    bool newSegment(std::int64_t series, int seq, std::int64_t at, Segment& s) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO segments(series_id, seq, records, confirmed, "
                                 "last_download_at) VALUES(?, ?, 0, 0, ?)"));
        q.bindValue(0, qint64(series));
        q.bindValue(1, seq);
        q.bindValue(2, qint64(at));
        if (!exec(q))
            return false;
        s = Segment{q.lastInsertId().toLongLong(), seq, 0, 0, at, 0, {}};
        return true;
    }

    // The chunk of `s` that holds records on both sides of place `at`, if any, in `q`
    // (id, first, count, download_id, utc_offset, date_order, data).
    bool chunkAcross(const Segment& s, std::uint64_t at, QSqlQuery& q) {
        q.prepare(QStringLiteral("SELECT id, first, count, download_id, utc_offset, date_order,"
                                 " data FROM chunks WHERE segment_id = ? AND first < ? AND "
                                 "first + count > ?"));
        q.bindValue(0, qint64(s.id));
        q.bindValue(1, qint64(at));
        q.bindValue(2, qint64(at));
        return exec(q);
    }

    // A chunk's records after it was cut: its first `count`, `bytes` of lines, as `data`.
    bool rewriteChunk(std::int64_t id, std::uint64_t count, std::uint64_t bytes,
                      const QByteArray& data) {
        QSqlQuery u(db);
        u.prepare(QStringLiteral("UPDATE chunks SET count = ?, bytes = ?, data = ? WHERE id = ?"));
        u.bindValue(0, qint64(count));
        u.bindValue(1, qint64(bytes));
        u.bindValue(2, data);
        u.bindValue(3, qint64(id));
        return exec(u);
    }

    // Cuts a segment back to its first `keep` records.
    bool truncate(Segment& s, std::uint64_t keep) {
        std::vector<std::string> kept;
        QSqlQuery q(db);
        if (!chunkAcross(s, keep, q))
            return false;
        if (q.next()) {
            const std::int64_t id = q.value(0).toLongLong();
            const std::uint64_t first = q.value(1).toULongLong();
            QByteArray data;
            std::uint64_t bytes = 0, at = first;
            decodeChunk(q.value(6).toByteArray(), [&](std::uint8_t flags, std::string_view line) {
                if (at++ >= keep)
                    return false;
                putRecord(data, flags, line);
                bytes += line.size();
                return true;
            });
            if (!rewriteChunk(id, keep - first, bytes, data))
                return false;
        }
        for (const char* sql : {"DELETE FROM chunks WHERE segment_id = ? AND first >= ?",
                                "DELETE FROM versions WHERE segment_id = ? AND place >= ?"}) {
            QSqlQuery d(db);
            d.prepare(QString::fromLatin1(sql));
            d.bindValue(0, qint64(s.id));
            d.bindValue(1, qint64(keep));
            if (!exec(d))
                return false;
        }
        s.records = keep;
        s.confirmed = std::min(s.confirmed, keep);
        return true;
    }

    // A download's new records written into a segment's chunks as they are read: a chunk
    // is written once it holds kChunkRecords records or kChunkBytes bytes.
    class ChunkWriter {
    public:
        ChunkWriter(Db& db, Segment& s, std::int64_t download, const TimeRule& rule,
                    viewer::DateOrder order)
            : m_db(db), m_segment(s), m_download(download), m_rule(rule), m_order(order) {}
        bool add(std::uint8_t flags, std::string_view line) {
            putRecord(m_data, flags, line);
            m_bytes += line.size();
            ++m_count;
            return (m_count < kChunkRecords && std::size_t(m_data.size()) < kChunkBytes) || write();
        }
        // The last chunk, however few it holds.
        bool finish() { return m_count == 0 || write(); }

    private:
        bool write() {
            if (!m_prepared) {
                m_insert = QSqlQuery(m_db.db);
                m_insert.prepare(QStringLiteral("INSERT INTO chunks(segment_id, first, count, "
                                                "bytes, download_id, utc_offset, date_order, "
                                                "data) VALUES(?, ?, ?, ?, ?, ?, ?, ?)"));
                m_prepared = true;
            }
            m_insert.bindValue(0, qint64(m_segment.id));
            m_insert.bindValue(1, qint64(m_segment.records));
            m_insert.bindValue(2, qint64(m_count));
            m_insert.bindValue(3, qint64(m_bytes));
            m_insert.bindValue(4, qint64(m_download));
            m_insert.bindValue(5, m_rule.known ? QVariant(m_rule.offsetSeconds) : QVariant());
            m_insert.bindValue(6, int(m_order));
            m_insert.bindValue(7, m_data);
            if (!m_db.exec(m_insert))
                return false;
            m_segment.records += m_count;
            m_data.clear();
            m_bytes = 0;
            m_count = 0;
            fault("chunk written");
            return true;
        }

        Db& m_db;
        Segment& m_segment;
        std::int64_t m_download;
        const TimeRule& m_rule;
        viewer::DateOrder m_order;
        QSqlQuery m_insert;
        bool m_prepared = false;
        QByteArray m_data;
        std::uint64_t m_bytes = 0;
        std::size_t m_count = 0;
    };

    // The records of `s` from `at` on go to a segment of their own after it (its seq is the
    // next: `s` is the last one), with what is said of them.
    bool split(std::int64_t series, Segment& s, std::uint64_t at, std::int64_t when,
               Segment& rest) {
        if (!newSegment(series, s.seq + 1, when, rest))
            return false;
        // The chunk that holds records on both sides of `at` is cut in two.
        QSqlQuery q(db);
        if (!chunkAcross(s, at, q))
            return false;
        if (q.next()) {
            const std::int64_t id = q.value(0).toLongLong();
            std::uint64_t place = q.value(1).toULongLong();
            QByteArray head, tail;
            std::uint64_t headBytes = 0, tailBytes = 0, tailCount = 0;
            decodeChunk(q.value(6).toByteArray(), [&](std::uint8_t flags, std::string_view line) {
                QByteArray& into = place++ < at ? head : tail;
                putRecord(into, flags, line);
                (&into == &head ? headBytes : tailBytes) += line.size();
                tailCount += &into == &tail;
                return true;
            });
            QSqlQuery i(db);
            i.prepare(QStringLiteral("INSERT INTO chunks(segment_id, first, count, bytes, "
                                     "download_id, utc_offset, date_order, data) VALUES(?, ?, ?, "
                                     "?, ?, ?, ?, ?)"));
            i.bindValue(0, qint64(rest.id));
            i.bindValue(1, qint64(0));
            i.bindValue(2, qint64(tailCount));
            i.bindValue(3, qint64(tailBytes));
            i.bindValue(4, q.value(3));
            i.bindValue(5, q.value(4));
            i.bindValue(6, q.value(5));
            i.bindValue(7, tail);
            const qint64 first = q.value(1).toLongLong();
            q.finish();
            if (!exec(i))
                return false;
            if (!rewriteChunk(id, at - std::uint64_t(first), headBytes, head))
                return false;
        }
        for (const char* sql :
             {"UPDATE chunks SET segment_id = ?, first = first - ? WHERE segment_id = ? AND "
              "first >= ?",
              "UPDATE versions SET segment_id = ?, place = place - ? WHERE segment_id = ? AND "
              "place >= ?"}) {
            QSqlQuery m(db);
            m.prepare(QString::fromLatin1(sql));
            m.bindValue(0, qint64(rest.id));
            m.bindValue(1, qint64(at));
            m.bindValue(2, qint64(s.id));
            m.bindValue(3, qint64(at));
            if (!exec(m))
                return false;
        }
        QSqlQuery n(db);
        n.prepare(QStringLiteral("UPDATE notes SET segment = segment + 1, record = record - ? "
                                 "WHERE series_id = ? AND segment = ? AND record > ?"));
        n.bindValue(0, qint64(at));
        n.bindValue(1, qint64(series));
        n.bindValue(2, s.seq + 1);
        n.bindValue(3, qint64(at));
        if (!exec(n))
            return false;
        rest.records = s.records - at;
        rest.confirmed = 0;
        s.records = at;
        s.confirmed = std::min(s.confirmed, at);
        return saveSegment(rest);
    }

    // The segment before `s` in its series, if any.
    bool segmentBefore(std::int64_t series, const Segment& s, std::optional<Segment>& out) {
        return segmentBelow(series, s.seq, out);
    }

    // A segment of provisional records replaced: its chunks, versions, notes and itself.
    bool dropSegment(std::int64_t series, const Segment& s) {
        for (const char* sql :
             {"DELETE FROM chunks WHERE segment_id = ?",
              "DELETE FROM versions WHERE segment_id = ?", "DELETE FROM segments WHERE id = ?"}) {
            QSqlQuery q(db);
            q.prepare(QString::fromLatin1(sql));
            q.bindValue(0, qint64(s.id));
            if (!exec(q))
                return false;
        }
        QSqlQuery q(db);
        q.prepare(QStringLiteral("DELETE FROM notes WHERE series_id = ? AND segment = ?"));
        q.bindValue(0, qint64(series));
        q.bindValue(1, s.seq + 1);
        return exec(q);
    }

    // What downloads said at a segment's disputed places (and once disputed), by place.
    struct Said {
        std::string line;
        bool safe = false;
    };
    using Versions = std::map<std::uint64_t, std::vector<Said>>;
    bool versions(std::int64_t segment, Versions& out) {
        out.clear();
        if (version < 3)
            return true;
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral(
            "SELECT place, line, safe FROM versions WHERE segment_id = ? ORDER BY id"));
        q.bindValue(0, qint64(segment));
        if (!exec(q))
            return false;
        while (q.next())
            out[q.value(0).toULongLong()].push_back({bytesOf(q.value(1)), q.value(2).toBool()});
        return true;
    }
    static int settledOf(const std::vector<Said>& said) {
        std::vector<Statement> st;
        st.reserve(said.size());
        for (const Said& s : said)
            st.push_back({s.line, s.safe});
        return settledStatement(st);
    }
    static bool disputed(const std::vector<Said>& said) { return settledOf(said) < 0; }
    // The places of a series where downloads disagree: (segment seq, place); and the line
    // each place that was disputed and is settled shows (`shown`, when asked for).
    using Place = std::pair<int, std::uint64_t>;
    bool disputedPlaces(std::int64_t series, std::set<Place>& out,
                        std::map<Place, std::string>* shown = nullptr) {
        out.clear();
        if (shown)
            shown->clear();
        if (version < 3)
            return true;
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT g.seq, v.place, v.line, v.safe FROM versions v JOIN "
                                 "segments g ON g.id = v.segment_id WHERE g.series_id = ? "
                                 "ORDER BY v.id"));
        q.bindValue(0, qint64(series));
        if (!exec(q))
            return false;
        std::map<Place, std::vector<Said>> all;
        while (q.next())
            all[{q.value(0).toInt(), q.value(1).toULongLong()}].push_back(
                {bytesOf(q.value(2)), q.value(3).toBool()});
        for (auto& [place, said] : all) {
            const int settled = settledOf(said);
            if (settled < 0)
                out.insert(place);
            else if (shown)
                (*shown)[place] = std::move(said[std::size_t(settled)].line);
        }
        return true;
    }
    bool state(std::int64_t segment, std::uint64_t place, std::int64_t download, bool safe,
               std::string_view line) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO versions(segment_id, place, download_id, safe, line)"
                                 " VALUES(?, ?, ?, ?, ?)"));
        q.bindValue(0, qint64(segment));
        q.bindValue(1, qint64(place));
        q.bindValue(2, qint64(download));
        q.bindValue(3, int(safe));
        q.bindValue(4, blob(line));
        return exec(q);
    }

    // The record at a place shows another line (a dispute settled for it): its chunk is
    // written again.
    bool rewrite(std::int64_t segment, std::uint64_t place, std::string_view line) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT id, first, data FROM chunks WHERE segment_id = ? AND "
                                 "first <= ? AND first + count > ?"));
        q.bindValue(0, qint64(segment));
        q.bindValue(1, qint64(place));
        q.bindValue(2, qint64(place));
        if (!exec(q))
            return false;
        if (!q.next()) {
            error = "the series holds no record at a disputed place";
            return false;
        }
        const std::int64_t id = q.value(0).toLongLong();
        std::uint64_t at = q.value(1).toULongLong();
        const QByteArray old = q.value(2).toByteArray();
        q.finish();
        QByteArray data;
        std::uint64_t bytes = 0;
        decodeChunk(old, [&](std::uint8_t flags, std::string_view was) {
            const std::string_view now = at++ == place ? line : was;
            putRecord(data, flags, now);
            bytes += now.size();
            return true;
        });
        QSqlQuery u(db);
        u.prepare(QStringLiteral("UPDATE chunks SET bytes = ?, data = ? WHERE id = ?"));
        u.bindValue(0, qint64(bytes));
        u.bindValue(1, data);
        u.bindValue(2, qint64(id));
        return exec(u);
    }

    bool note(std::int64_t series, std::int64_t download, int segment, std::uint64_t record,
              const std::string& text) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO notes(series_id, download_id, segment, record, text)"
                                 " VALUES(?, ?, ?, ?, ?)"));
        q.bindValue(0, qint64(series));
        q.bindValue(1, qint64(download));
        q.bindValue(2, segment);
        q.bindValue(3, qint64(record));
        q.bindValue(4, QString::fromStdString(text));
        return exec(q);
    }

    // The download taken, as the series' statements name it.
    bool addDownload(const DownloadInput& in, std::int64_t& id) {
        QSqlQuery q(db);
        q.prepare(
            QStringLiteral("INSERT INTO downloads(serial, at, path, safe) VALUES(?, ?, ?, ?)"));
        q.bindValue(0, blob(in.serial));
        q.bindValue(1, qint64(in.atMs));
        q.bindValue(2, blob(in.keptPath));
        q.bindValue(3, int(in.safe));
        if (!exec(q))
            return false;
        id = q.lastInsertId().toLongLong();
        return true;
    }

    // The unit's clock sets as the register has them at this download.
    bool keepClockSets(const std::string& serial, const std::vector<ClockFact>& sets) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("DELETE FROM clock_sets WHERE serial = ?"));
        q.bindValue(0, blob(serial));
        if (!exec(q))
            return false;
        q.prepare(QStringLiteral(
            "INSERT INTO clock_sets(serial, at, utc_offset, sent) VALUES(?, ?, ?, ?)"));
        for (const ClockFact& c : sets) {
            q.bindValue(0, blob(serial));
            q.bindValue(1, qint64(c.atMs));
            q.bindValue(2, c.offsetSeconds ? QVariant(*c.offsetSeconds) : QVariant());
            q.bindValue(3, blob(c.sent));
            if (!exec(q))
                return false;
        }
        return true;
    }

    // The series of a unit's data set, made where there is none yet.
    bool seriesOf(const std::string& serial, const std::string& name, int ordinal,
                  std::int64_t& id) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT id FROM series WHERE serial = ? AND name = ? AND "
                                 "ordinal = ?"));
        q.bindValue(0, blob(serial));
        q.bindValue(1, blob(name));
        q.bindValue(2, ordinal);
        if (!exec(q))
            return false;
        if (q.next()) {
            id = q.value(0).toLongLong();
            return true;
        }
        QSqlQuery i(db);
        i.prepare(QStringLiteral("INSERT INTO series(serial, name, ordinal) VALUES(?, ?, ?)"));
        i.bindValue(0, blob(serial));
        i.bindValue(1, blob(name));
        i.bindValue(2, ordinal);
        if (!exec(i))
            return false;
        id = i.lastInsertId().toLongLong();
        return true;
    }

    // The series' segments in order, joined ones left out.
    bool segmentsOf(std::int64_t series, std::vector<Segment>& out) {
        out.clear();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT id, seq, records, confirmed, last_download_at, shared, "
                                 "shared_chain FROM segments WHERE series_id = ? AND seq >= 0 "
                                 "ORDER BY seq"));
        q.bindValue(0, qint64(series));
        if (!exec(q))
            return false;
        while (q.next())
            out.push_back(Segment{q.value(0).toLongLong(), q.value(1).toInt(),
                                  q.value(2).toULongLong(), q.value(3).toULongLong(),
                                  q.value(4).toLongLong(), q.value(5).toULongLong(),
                                  q.value(6).toByteArray()});
        return true;
    }

    // Segment `y` joined into `t` (after it in the series) at `t`'s place `at`: where they say
    // different records, or where either was disputed, what `y` said there counts with what
    // was said at `t`'s place (its versions moved there), and the place shows what is settled;
    // `y` stands aside (its chunks kept), the segments after it move up one, its notes go with
    // its records, and `t` tells of the join. Counts what it disputed and settled.
    bool joinSegment(std::int64_t series, const Segment& y, Segment& t, std::uint64_t at,
                     std::size_t differing, std::int64_t download, std::size_t& disputedNow,
                     std::size_t& settledNow) {
        HeldReader yr(db, y.id), tr(db, t.id);
        Versions yv, tv;
        if (!yr.open(error) || !tr.open(error) || !versions(y.id, yv) || !versions(t.id, tv))
            return false;
        auto shownOf = [](const Versions& v, std::uint64_t place, std::string_view chunk) {
            const auto it = v.find(place);
            if (it == v.end())
                return std::string(chunk);
            const int settled = settledOf(it->second);
            return settled >= 0 ? it->second[std::size_t(settled)].line : std::string(chunk);
        };
        std::vector<std::pair<std::uint64_t, std::string>> rewrites;
        for (std::uint64_t i = 0; i < y.records; ++i) {
            const std::uint64_t place = at + i;
            const bool yHas = yv.count(i) > 0;
            const bool tHas = tv.count(place) > 0;
            const std::string yLine = shownOf(yv, i, yr.at(i));
            const std::string chunkLine(tr.at(place));
            const std::string tLine = shownOf(tv, place, chunkLine);
            if (yr.failed() || tr.failed()) {
                error = yr.failed() ? yr.error() : tr.error();
                return false;
            }
            if (!yHas && !tHas && yLine == tLine)
                continue;
            std::vector<Said>& was = tv[place];
            const bool before = !was.empty() && disputed(was);
            if (was.empty()) {
                const bool heldSafe = place < t.confirmed;
                if (!state(t.id, place, tr.downloadOf(place), heldSafe, tLine))
                    return false;
                was.push_back({tLine, heldSafe});
            }
            if (yHas) {
                for (const Said& said : yv[i])
                    was.push_back(said); // its rows move below
            } else {
                const bool heldSafe = i < y.confirmed;
                if (!state(t.id, place, yr.downloadOf(i), heldSafe, yLine))
                    return false;
                was.push_back({yLine, heldSafe});
            }
            const int settled = settledOf(was);
            if (settled >= 0 && was[std::size_t(settled)].line != chunkLine && place >= t.shared)
                rewrites.emplace_back(place, was[std::size_t(settled)].line);
            disputedNow += settled < 0 && !before;
            settledNow += settled >= 0 && before;
        }
        for (const auto& [place, line] : rewrites)
            if (!rewrite(t.id, place, line))
                return false;
        QSqlQuery m(db);
        m.prepare(QStringLiteral(
            "UPDATE versions SET segment_id = ?, place = place + ? WHERE segment_id = ?"));
        m.bindValue(0, qint64(t.id));
        m.bindValue(1, qint64(at));
        m.bindValue(2, qint64(y.id));
        if (!exec(m))
            return false;
        // Its notes go with its records, then every segment after it moves up one.
        const std::string was = "segment " + std::to_string(y.seq + 1);
        QSqlQuery n(db);
        n.prepare(QStringLiteral("UPDATE notes SET segment = ?, record = record + ?, "
                                 "text = ? || text WHERE series_id = ? AND segment = ?"));
        n.bindValue(0, t.seq + 1);
        n.bindValue(1, qint64(at));
        n.bindValue(2, QString::fromStdString("(" + was + " before it was joined) "));
        n.bindValue(3, qint64(series));
        n.bindValue(4, y.seq + 1);
        if (!exec(n))
            return false;
        QSqlQuery aside(db);
        aside.prepare(QStringLiteral("UPDATE segments SET seq = ? WHERE id = ?"));
        aside.bindValue(0, qint64(-1 - y.id));
        aside.bindValue(1, qint64(y.id));
        if (!exec(aside))
            return false;
        std::vector<Segment> after;
        if (!segmentsOf(series, after))
            return false;
        for (const Segment& g : after) {
            if (g.seq <= y.seq)
                continue;
            QSqlQuery u(db);
            u.prepare(QStringLiteral("UPDATE segments SET seq = seq - 1 WHERE id = ?"));
            u.bindValue(0, qint64(g.id));
            if (!exec(u))
                return false;
        }
        QSqlQuery shift(db);
        shift.prepare(QStringLiteral(
            "UPDATE notes SET segment = segment - 1 WHERE series_id = ? AND segment > ?"));
        shift.bindValue(0, qint64(series));
        shift.bindValue(1, y.seq + 1);
        if (!exec(shift))
            return false;
        --t.seq;
        return note(series, download, t.seq + 1, at + 1,
                    was + " joined here: " + joinReason(differing));
    }

    // Puts the segment's confirmed records not yet shared into the outbox, in the caller's
    // transaction, and moves its shared count (the caller saves the segment): rows of
    // kRecordsPerRow records that name them in the chunks (readSharedSpan reads them when
    // they are pushed), so a download pays a row per thousand records, not a copy of each.
    // The chain is worked out here all the same: each row's first hash is its identity, and
    // the segment keeps the last.
    bool share(const std::string& serial, const std::string& name, int ordinal, Segment& s,
               std::int64_t occurredAt, const QString& laptop) {
        if (s.confirmed <= s.shared)
            return true;
        // Each row's first identity is made with the record before it: those two records
        // are read, a chunk at a time, never the span whole.
        HeldReader reader(db, s.id);
        if (!reader.open(error))
            return false;
        fleet::Outbox::Span span;
        span.unit = QString::fromLatin1(serial.data(), qsizetype(serial.size()));
        span.dataSet = sharedDataSet(name, ordinal);
        span.segment = s.seq;
        span.occurredAt = occurredAt;
        span.laptop = laptop;
        span.reference = "{\"segment_id\":" + QByteArray::number(qint64(s.id)) + ",\"identity\":2}";
        const std::uint64_t perRow = fleet::Outbox::kRecordsPerRow;
        std::string before;
        for (std::uint64_t at = s.shared; at < s.confirmed; at += perRow) {
            before = at > 0 ? std::string(reader.at(at - 1)) : std::string();
            const std::string_view line = reader.at(at);
            if (reader.failed()) {
                error = reader.error();
                return false;
            }
            span.firstPosition = static_cast<std::int64_t>(at);
            span.count = static_cast<std::size_t>(std::min(perRow, s.confirmed - at));
            span.firstHash = recordIdentity(before, line);
            QString why;
            if (!fleet::Outbox::enqueueSpan(db, span, &why)) {
                error = why.toStdString();
                return false;
            }
        }
        s.shared = s.confirmed;
        s.sharedChain.clear(); // the chain of older versions: no longer kept
        return true;
    }

    // Every confirmed record of a store made before the outbox, once (the migration's
    // transaction).
    bool shareEarlier() {
        const QString laptop = thisLaptop();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral(
                "SELECT g.id, g.seq, g.records, g.confirmed, g.last_download_at, s.serial,"
                " s.name, s.ordinal, s.usual_interval, s.id FROM segments g JOIN series s"
                " ON s.id = g.series_id ORDER BY s.id, g.seq"))) {
            error = q.lastError().text().toStdString();
            return false;
        }
        while (q.next()) {
            Segment g{q.value(0).toLongLong(),
                      q.value(1).toInt(),
                      q.value(2).toULongLong(),
                      q.value(3).toULongLong(),
                      q.value(4).toLongLong(),
                      0,
                      {}};
            if (!share(bytesOf(q.value(5)), bytesOf(q.value(6)), q.value(7).toInt(), g,
                       g.lastDownloadAt, laptop) ||
                !saveSegment(g))
                return false;
        }
        return true;
    }
};

SeriesStore::SeriesStore() = default;

SeriesStore::~SeriesStore() {
    close();
}

void SeriesStore::setFaultHook(std::function<void(const char*)> hook) {
    faultHook() = std::move(hook);
}

int SeriesStore::rulesVersion() {
    if (!m_db)
        return 0;
    if (m_db->version < 3)
        return m_db->version;
    QSqlQuery q(m_db->db);
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'rules'")) && q.next())
        return q.value(0).toInt();
    return m_db->version;
}

bool SeriesStore::isOpen() const {
    return m_db != nullptr;
}

void SeriesStore::close() {
    if (!m_db)
        return;
    const QString name = m_db->name;
    m_db->db.close();
    delete m_db;
    m_db = nullptr;
    QSqlDatabase::removeDatabase(name);
}

bool SeriesStore::connect(const std::string& path, const QString& options, std::string& why,
                          int& version, QString* nativeError) {
    static std::atomic<int> counter{0};
    close();
    m_path = path;
    m_db = new Db;
    m_db->name = QStringLiteral("xrq-series-%1").arg(++counter);
    m_db->db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_db->name);
    m_db->db.setDatabaseName(QString::fromLocal8Bit(path.c_str()));
    m_db->db.setConnectOptions(options + QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    auto failed = [&](const QSqlError& e) {
        why = path + ": " + e.text().toStdString();
        if (nativeError)
            *nativeError = e.nativeErrorCode();
        close();
        return false;
    };
    if (!m_db->db.open())
        return failed(m_db->db.lastError());
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return failed(q.lastError());
    version = q.value(0).toInt();
    m_db->version = version;
    if (version > kSchemaVersion) {
        why = path + ": made by a newer program (version " + std::to_string(version) + ")";
        close();
        return false;
    }
    return true;
}

namespace {
constexpr int kLogSwitchAttempts = 3;

// SQLITE_CORRUPT, SQLITE_NOTADB: a file that is no store.
bool noStore(const QString& nativeError) {
    return nativeError == QLatin1String("26") || nativeError == QLatin1String("11");
}
} // namespace

bool SeriesStore::open(const std::string& path, std::string& why, bool* damaged) {
    if (damaged)
        *damaged = false;
    int version = 0;
    QString native;
    if (!connect(path, QString(), why, version, &native)) {
        if (damaged)
            *damaged = noStore(native);
        return false;
    }
    auto failed = [&](const std::string& text) {
        why = path + ": " + text;
        close();
        return false;
    };
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) {
        const QSqlError e = q.lastError();
        if (damaged)
            *damaged = noStore(e.nativeErrorCode());
        return failed(e.text().toStdString());
    }
    q.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    // The name this laptop's records carry: fleet.ini beside the store, else the host name.
    const auto slash = path.rfind('/');
    m_db->settingsFolder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    if (version < kSchemaVersion) {
        if (!m_db->run("BEGIN IMMEDIATE"))
            return failed(m_db->error);
        // Another program may have made or migrated it between our look and our lock.
        QSqlQuery v(m_db->db);
        const int now = v.exec(QStringLiteral("PRAGMA user_version")) && v.next()
                            ? v.value(0).toInt()
                            : version;
        v.finish();
        bool ok = true;
        if (now == 0)
            for (const char* sql : kSchema)
                ok = ok && m_db->run(sql);
        if (now < 2) {
            for (const char* sql : kSchema2)
                ok = ok && m_db->run(sql);
            QString why;
            if (ok && !fleet::Outbox::createTables(m_db->db, &why)) {
                m_db->error = why.toStdString();
                ok = false;
            }
            ok = ok && m_db->shareEarlier();
        }
        if (now < 3) {
            for (const char* sql : kSchema3)
                ok = ok && m_db->run(sql);
            QSqlQuery r(m_db->db);
            r.prepare(QStringLiteral("INSERT INTO meta(key, value) VALUES('rules', ?)"));
            r.bindValue(0, now == 0 ? kRulesVersion : now);
            ok = ok && m_db->exec(r);
        }
        if (now < 4)
            for (const char* sql : kSchema4)
                ok = ok && m_db->run(sql);
        if (!ok) {
            const std::string error = m_db->error;
            m_db->run("ROLLBACK");
            return failed(error);
        }
        if (!m_db->run("PRAGMA user_version = 4") || !m_db->run("COMMIT"))
            return failed(m_db->error);
        m_db->version = kSchemaVersion;
    }
    // A new store takes its write-ahead log with its first write, and a failed sync there
    // leaves it in rollback mode without an error: still durable, but a reader of the series
    // would then hold up the downloads' writes. Asked again, SQLite makes the switch.
    QString mode;
    for (int attempt = 0; attempt < kLogSwitchAttempts && mode != QLatin1String("wal"); ++attempt) {
        if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next())
            return failed(q.lastError().text().toStdString());
        mode = q.value(0).toString();
        q.finish();
    }
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next() ||
        q.value(0).toString() != QLatin1String("ok")) {
        if (damaged)
            *damaged = true;
        return failed("the store is damaged");
    }
    return true;
}

bool SeriesStore::openToRead(const std::string& path, std::string& why, bool* damaged) {
    if (damaged)
        *damaged = false;
    int version = 0;
    QString native;
    if (!connect(path, QStringLiteral("QSQLITE_OPEN_READONLY;"), why, version, &native)) {
        if (damaged)
            *damaged = noStore(native);
        return false;
    }
    if (version == 0) {
        if (damaged)
            *damaged = true;
        why = path + ": holds no series";
        close();
        return false;
    }
    return true;
}

bool SeriesStore::openToKeep(const std::string& path, std::string& why) {
    int version = 0;
    if (!connect(path, QString(), why, version))
        return false;
    if (version != kSchemaVersion) {
        why = path + (version == 0 ? ": holds no series" : ": made by another version");
        close();
        return false;
    }
    return true;
}

bool SeriesStore::hasDownload(const std::string& serial, const std::string& keptPath) {
    if (!m_db || keptPath.empty())
        return false;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT 1 FROM downloads WHERE serial = ? AND path = ?"));
    q.bindValue(0, blob(serial));
    q.bindValue(1, blob(keptPath));
    return m_db->exec(q) && q.next();
}

bool SeriesStore::saidWhereDisagreed(const std::string& serial, const std::string& keptPath,
                                     bool& said, std::string& why) {
    said = false;
    if (!m_db || m_db->version < 3) {
        why = "the series store is not open";
        return false;
    }
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT 1 FROM versions v JOIN downloads d ON d.id = v.download_id "
                             "WHERE d.serial = ? AND d.path = ? LIMIT 1"));
    q.bindValue(0, blob(serial));
    q.bindValue(1, blob(keptPath));
    if (!m_db->exec(q)) {
        why = m_path + ": " + m_db->error;
        return false;
    }
    said = q.next();
    return true;
}

namespace {

// A series' segments as the merge sees them (series_merge.h): each read (its chunks, what was
// said at its disputed places) only when the merge first asks for one of its records.
struct HeldSegments {
    struct Held {
        std::unique_ptr<HeldReader> reader;
        SeriesStore::Db::Versions versions;
        std::map<std::size_t, std::string> shown;                // settled places' lines
        std::map<std::size_t, std::vector<std::uint64_t>> known; // versions' hashes
    };
    explicit HeldSegments(SeriesStore::Db& store) : db(store) {}
    HeldSegments(const HeldSegments&) = delete;
    HeldSegments& operator=(const HeldSegments&) = delete;

    bool read(std::int64_t series) {
        if (!db.segmentsOf(series, segments))
            return false;
        held.resize(segments.size());
        views.resize(segments.size());
        for (std::size_t k = 0; k < segments.size(); ++k) {
            views[k].records = segments[k].records;
            views[k].confirmed = segments[k].confirmed;
            views[k].lastDownloadAt = segments[k].lastDownloadAt;
            views[k].shown = [this, k](std::size_t place) -> std::uint64_t {
                Held* h = opened(k);
                return h ? recordHash(shownAt(*h, place)) : 0;
            };
            views[k].known = [this, k](std::size_t place, std::uint64_t hash) {
                Held* h = opened(k);
                if (!h)
                    return false;
                const auto it = h->known.find(place);
                return it != h->known.end() &&
                       std::find(it->second.begin(), it->second.end(), hash) != it->second.end();
            };
        }
        return true;
    }
    // Segment k read (null, the error in the store's, when it cannot be).
    Held* opened(std::size_t k) {
        Held& h = held[k];
        if (!h.reader && !unreadable) {
            h.reader = std::make_unique<HeldReader>(db.db, segments[k].id);
            unreadable = !h.reader->open(db.error) || !db.versions(segments[k].id, h.versions);
            // A place settled for another record than its chunk holds shows that one.
            for (const auto& [place, said] : h.versions) {
                const int settled = SeriesStore::Db::settledOf(said);
                if (settled >= 0)
                    h.shown[place] = said[std::size_t(settled)].line;
                for (const SeriesStore::Db::Said& version : said)
                    h.known[place].push_back(recordHash(version.line));
            }
        }
        return unreadable ? nullptr : &h;
    }
    static std::string_view shownAt(Held& h, std::size_t place) {
        const auto it = h.shown.find(place);
        return it != h.shown.end() ? std::string_view(it->second) : h.reader->at(place);
    }
    // Whether every record asked for was read.
    bool ok() {
        for (const Held& h : held)
            if (!unreadable && h.reader && h.reader->failed()) {
                db.error = h.reader->error();
                unreadable = true;
            }
        return !unreadable;
    }

    SeriesStore::Db& db;
    std::vector<Segment> segments;
    std::vector<Held> held;
    std::vector<SegmentView> views;
    bool unreadable = false;
};

} // namespace

ApplyResult SeriesStore::apply(const DownloadInput& in, const DownloadSets& sets,
                               const UnitFacts& facts) {
    const std::unique_ptr<DownloadRecords> records = downloadRecordsOf(sets);
    return apply(in, *records, facts);
}

ApplyResult SeriesStore::apply(const DownloadInput& in, DownloadRecords& download,
                               const UnitFacts& facts) {
    ApplyResult result;
    if (!m_db) {
        result.error = "the series store is not open";
        return result;
    }
    Db& db = *m_db;
    const QString laptop = db.thisLaptop();
    if (!db.run("BEGIN IMMEDIATE")) {
        result.error = db.error;
        return result;
    }
    auto fail = [&] {
        result.error = db.error;
        db.run("ROLLBACK");
        result.ok = false;
        result.sets.clear();
        return result;
    };
    if (hasDownload(in.serial, in.keptPath)) {
        db.run("ROLLBACK");
        result.ok = true;
        result.replayed = true;
        return result;
    }
    std::int64_t downloadId = 0;
    if (!db.addDownload(in, downloadId) || !db.keepClockSets(in.serial, facts.clockSets))
        return fail();
    const TimeRule rule = timeRuleFor(facts, in.atMs);
    std::map<std::string, int> ordinals;
    auto unread = [&] {
        db.error = download.readError();
        return fail();
    };
    for (std::size_t setIndex = 0; setIndex < download.sets().size(); ++setIndex) {
        const SetIndex& set = download.sets()[setIndex];
        SetTaken taken;
        taken.name = set.name;
        taken.ordinal = ordinals[set.name]++;
        // d: the hashes of the download's records; their bytes are read again where stored.
        const std::vector<std::uint64_t>& d = set.hashes;

        std::int64_t seriesId = 0;
        if (!db.seriesOf(in.serial, set.name, taken.ordinal, seriesId))
            return fail();
        if (!set.titles.empty()) {
            QSqlQuery t(db.db);
            t.prepare(QStringLiteral(
                "INSERT OR IGNORE INTO titles(series_id, download_id, line) VALUES(?, ?, ?)"));
            t.bindValue(0, qint64(seriesId));
            t.bindValue(1, qint64(downloadId));
            t.bindValue(2, blob(set.titles));
            if (!db.exec(t))
                return fail();
        }

        // Times: read with the records as they are stored (below).
        const viewer::DateOrder order = set.dateOrder;

        // The segments as the merge sees them, and the plan.
        HeldSegments heldSegments(db);
        if (!heldSegments.read(seriesId))
            return fail();
        const std::vector<Segment>& segs = heldSegments.segments;
        DownloadView view;
        view.hashes = &d;
        view.atMs = in.atMs;
        view.safe = in.safe;
        view.complete = set.complete;
        view.clears = facts.clearsMs;
        const MergePlan plan = planDownload(heldSegments.views, view);
        if (!heldSegments.ok())
            return fail();

        const std::optional<Segment> last =
            segs.empty() ? std::nullopt : std::optional<Segment>(segs.back());
        Segment segment;
        std::size_t from = 0;
        bool take = true;
        bool moved = false; // the records it went into went on as a segment of their own
        std::optional<Segment> replace; // provisional records apart this download replaces
        if (plan.replace)
            replace = segs[*plan.replace];
        if (replace) {
            taken.replaced += replace->records;
            if (!db.dropSegment(seriesId, *replace))
                return fail();
        }
        // The place of a new segment: after the last one kept.
        const int nextSeq = !last ? 0 : replace ? replace->seq : last->seq + 1;
        auto noteReplaced = [&](const Segment& into, std::uint64_t record) {
            return taken.replaced == 0 ||
                   db.note(seriesId, downloadId, into.seq + 1, record,
                           std::to_string(taken.replaced) + " provisional records replaced by " +
                               (in.safe ? "a safe download" : "a later download"));
        };

        if (plan.kind == MergePlan::Kind::Skip) {
            take = false; // nothing to start a segment with; the clear still counts
        } else if (plan.kind == MergePlan::Kind::First) {
            // The series' first segment (or its only one, of provisional records, replaced).
            if (!db.newSegment(seriesId, 0, in.atMs, segment) ||
                !db.note(seriesId, downloadId, 1, 1, "segment starts: first download") ||
                !noteReplaced(segment, 1))
                return fail();
        } else if (plan.kind == MergePlan::Kind::NewSegment) {
            const Alignment& a = plan.alignment;
            taken.newSegment = true;
            taken.afterClear = a.afterClear;
            taken.differsAt = a.differsAt;
            taken.reason = a.reason;
            taken.apart = !in.safe;
            if (!db.newSegment(seriesId, nextSeq, in.atMs, segment) ||
                !db.note(seriesId, downloadId, segment.seq + 1, 1,
                         "segment starts: " + a.reason +
                             (in.safe ? std::string()
                                      : " (provisional, apart: the download was not called "
                                        "safe)")) ||
                !noteReplaced(segment, 1))
                return fail();
        } else {
            HeldSegments::Held* opened = heldSegments.opened(plan.target);
            if (!opened)
                return fail();
            HeldSegments::Held& target = *opened;
            const Alignment& a = plan.alignment;
            segment = segs[plan.target];
            const std::uint64_t keepOnly =
                plan.alignedWith < segment.records ? plan.alignedWith : 0;
            if (keepOnly > 0) {
                const std::uint64_t dropped = segment.records - keepOnly;
                if (!db.truncate(segment, keepOnly))
                    return fail();
                taken.replaced += dropped;
            }
            if (!noteReplaced(segment, segment.records + 1))
                return fail();
            const std::uint64_t held =
                std::min<std::uint64_t>(d.size(), plan.alignedWith - a.start);
            // What d said at disputed places, and at the places where it differs.
            std::set<std::uint64_t> places;
            for (const auto& [place, said] : target.versions)
                if (place >= a.start && place < a.start + held)
                    places.insert(place);
            for (const std::size_t i : a.differing)
                places.insert(a.start + i);
            // What d said there, read again from the download in one pass.
            std::map<std::uint64_t, std::string> saidAt;
            if (!places.empty()) {
                if (!download.seek(setIndex, *places.begin() - a.start))
                    return unread();
                std::string_view line;
                for (std::uint64_t i = *places.begin() - a.start; i <= *places.rbegin() - a.start;
                     ++i) {
                    if (!download.next(line))
                        return unread();
                    if (places.count(a.start + i))
                        saidAt[a.start + i] = std::string(line);
                }
            }
            std::vector<std::pair<std::uint64_t, std::string>> rewrites;
            for (const std::uint64_t place : places) {
                const std::string_view said = saidAt[place];
                const auto settledHere = target.shown.find(place);
                const std::string shown(settledHere != target.shown.end()
                                            ? std::string_view(settledHere->second)
                                            : target.reader->at(place));
                std::vector<Db::Said>& was = target.versions[place];
                const bool before = !was.empty() && Db::disputed(was);
                if (was.empty()) {
                    // The first statement: the record held, by the download that brought it
                    // (a confirmed one counts as safe: a safe download confirmed it).
                    const bool heldSafe = place < segment.confirmed;
                    if (!db.state(segment.id, place, target.reader->downloadOf(place), heldSafe,
                                  shown))
                        return fail();
                    was.push_back({shown, heldSafe});
                }
                if (!db.state(segment.id, place, downloadId, in.safe, said))
                    return fail();
                was.push_back({std::string(said), in.safe});
                std::vector<Statement> st;
                for (const Db::Said& w : was)
                    st.push_back({w.line, w.safe});
                const int settled = settledStatement(st);
                if (settled >= 0 && was[std::size_t(settled)].line != shown)
                    rewrites.emplace_back(place, was[std::size_t(settled)].line);
                if (settled < 0 && !before)
                    ++taken.disputed;
                if (settled >= 0 && before)
                    ++taken.settled;
            }
            if (target.reader->failed()) {
                db.error = target.reader->error();
                return fail();
            }
            target.reader.reset();
            // A record not yet shared is written again as settled; one shared stays as it
            // was shared (what this laptop said, a fact on the server), and the series shows
            // the settled one over it (forEachRecord).
            for (const auto& [place, line] : rewrites)
                if (place >= segment.shared && !db.rewrite(segment.id, place, line))
                    return fail();
            if (a.kind == Alignment::Kind::Append) {
                from = a.from;
                taken.held = from;
            } else {
                take = false;
                taken.held = d.size();
                taken.fewer = a.fewer;
                if (a.fewer &&
                    !db.note(seriesId, downloadId, segment.seq + 1, a.start + d.size() + 1,
                             "the unit holds fewer records than before (" +
                                 std::to_string(d.size()) + " of " +
                                 std::to_string(segment.records - a.start) + ")"))
                    return fail();
            }
            // A safe download confirms the provisional records it holds, and only those. Where
            // the memory wrapped past provisional records it does not hold, they stay as they
            // are, and what it holds goes on as a segment of its own.
            std::uint64_t start = a.start;
            if (in.safe && segment.confirmed < start) {
                Segment rest;
                if (!db.split(seriesId, segment, start, in.atMs, rest) ||
                    !db.note(seriesId, downloadId, rest.seq + 1, 1,
                             "segment starts: the memory wrapped past " +
                                 std::to_string(start - segment.confirmed) +
                                 " provisional records no safe download held"))
                    return fail();
                segment.lastDownloadAt = in.atMs;
                if (!db.saveSegment(segment))
                    return fail();
                segment = rest;
                start = 0;
                taken.newSegment = true;
                taken.reason = "the memory wrapped past provisional records";
                moved = true;
            }
            if (in.safe && segment.confirmed < start + held) {
                taken.confirmed = start + held - segment.confirmed;
                segment.confirmed = start + held;
            }
            taken.wrapped = a.wrapped;
            segment.lastDownloadAt = in.atMs;
            if (!db.saveSegment(segment))
                return fail();
        }
        // Every record's stamp (the series' usual interval), and the new ones stored with
        // their flags: one pass over the download's records.
        const bool wasAllConfirmed = segment.confirmed == segment.records;
        UsualInterval stamps;
        {
            Db::ChunkWriter chunks(db, segment, downloadId, rule, order);
            if (!download.seek(setIndex, 0))
                return unread();
            std::string_view line;
            for (std::size_t i = 0; i < d.size(); ++i) {
                if (!download.next(line))
                    return unread();
                double seconds = 0;
                const bool parsed = unitSeconds(line, order, seconds);
                if (parsed)
                    stamps.add(seconds);
                if (take && i >= from && !chunks.add(timeFlags(rule, parsed, seconds), line))
                    return fail();
            }
            if (!chunks.finish())
                return fail();
        }
        if (take) {
            taken.added = d.size() - from;
            taken.provisional = !in.safe;
            if (in.safe && wasAllConfirmed)
                segment.confirmed = segment.records;
            segment.lastDownloadAt = in.atMs;
            if (!db.saveSegment(segment))
                return fail();
        }
        // Segments the download showed to be the same memory join the one it went into.
        if (!moved && segment.id != 0 && !plan.joins.empty()) {
            for (const SegmentJoin& join : plan.joins) {
                if (!db.joinSegment(seriesId, segs[join.segment], segment, join.place,
                                    join.differing.size(), downloadId, taken.disputed,
                                    taken.settled))
                    return fail();
                ++taken.joined;
            }
            if (!db.saveSegment(segment))
                return fail();
        }
        const double interval = stamps.value();
        // Records this download confirmed (its own, when safe, and provisional ones before
        // them) go to the outbox in this transaction.
        if (segment.id != 0 && segment.confirmed > segment.shared) {
            if (!db.share(in.serial, set.name, taken.ordinal, segment, in.atMs, laptop) ||
                !db.saveSegment(segment))
                return fail();
        }
        if (interval > 0) {
            QSqlQuery q(db.db);
            q.prepare(QStringLiteral("UPDATE series SET usual_interval = ? WHERE id = ?"));
            q.bindValue(0, interval);
            q.bindValue(1, qint64(seriesId));
            if (!db.exec(q))
                return fail();
        }
        result.sets.push_back(std::move(taken));
    }
    fault("before commit");
    if (!db.run("COMMIT"))
        return fail();
    result.ok = true;
    return result;
}

std::vector<SeriesInfo> SeriesStore::list() {
    std::vector<SeriesInfo> out;
    if (!m_db)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT s.id, s.serial, s.name, s.ordinal, s.usual_interval,"
            " (SELECT COUNT(*) FROM segments g WHERE g.series_id = s.id AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(records), 0) FROM segments g WHERE g.series_id = s.id"
            "  AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(records - confirmed), 0) FROM segments g WHERE g.series_id = "
            "s.id AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(c.bytes), 0) FROM chunks c JOIN segments g ON c.segment_id = "
            "g.id"
            "  WHERE g.series_id = s.id AND g.seq >= 0)"
            " FROM series s ORDER BY s.serial, s.name, s.ordinal")))
        return out;
    while (q.next()) {
        SeriesInfo info;
        info.id = q.value(0).toLongLong();
        info.serial = bytesOf(q.value(1));
        info.name = bytesOf(q.value(2));
        info.ordinal = q.value(3).toInt();
        info.usualInterval = q.value(4).toDouble();
        info.segments = q.value(5).toInt();
        info.records = q.value(6).toULongLong();
        info.provisional = q.value(7).toULongLong();
        info.bytes = q.value(8).toULongLong();
        out.push_back(std::move(info));
    }
    q.finish();
    for (SeriesInfo& info : out) {
        std::set<std::pair<int, std::uint64_t>> disputed;
        if (m_db->disputedPlaces(info.id, disputed))
            info.disputed = disputed.size();
        // The titles the latest download with a title line brought (none in a store of an
        // older schema, read only: its series is rebuilt before it is written again).
        QSqlQuery t(m_db->db);
        t.prepare(QStringLiteral("SELECT t.line FROM titles t JOIN downloads d ON d.id = "
                                 "t.download_id WHERE t.series_id = ? ORDER BY d.at DESC, d.id "
                                 "DESC LIMIT 1"));
        t.bindValue(0, qint64(info.id));
        if (t.exec() && t.next())
            info.columnTitles = bytesOf(t.value(0));
    }
    return out;
}

std::map<int, std::string> SeriesStore::segmentTitles(std::int64_t seriesId) {
    std::map<int, std::string> out;
    if (!m_db)
        return out;
    // Per segment, the title line of the latest download that brought records to it.
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT g.seq, t.line FROM titles t JOIN downloads d ON d.id = t.download_id"
        " JOIN chunks c ON c.download_id = t.download_id JOIN segments g ON g.id = c.segment_id"
        " WHERE t.series_id = ? AND g.series_id = t.series_id"
        " GROUP BY g.seq, t.download_id ORDER BY g.seq, d.at, d.id"));
    q.bindValue(0, qint64(seriesId));
    if (!q.exec())
        return out;
    while (q.next())
        out[q.value(0).toInt() + 1] = bytesOf(q.value(1));
    return out;
}

std::optional<SeriesInfo> SeriesStore::find(const std::string& serial, const std::string& name,
                                            int ordinal) {
    for (SeriesInfo& info : list())
        if (info.serial == serial && info.name == name && info.ordinal == ordinal)
            return std::move(info);
    return std::nullopt;
}

std::vector<ClockFact> SeriesStore::clockSets(const std::string& serial) {
    std::vector<ClockFact> out;
    if (!m_db || m_db->version < 3)
        return out;
    QSqlQuery q(m_db->db);
    q.prepare(
        QStringLiteral("SELECT at, utc_offset, sent FROM clock_sets WHERE serial = ? ORDER BY at"));
    q.bindValue(0, blob(serial));
    if (!m_db->exec(q))
        return out;
    while (q.next())
        out.push_back(clockFactAt(q, 0));
    // The organisation's, where any were learnt.
    std::vector<ClockFact> learnt;
    if (q.exec(QString::fromLatin1(kHasLearntClockSets)) && q.next()) {
        q.prepare(QStringLiteral(
            "SELECT at, utc_offset, sent FROM learnt_clock_sets WHERE serial = ? ORDER BY at"));
        q.bindValue(0, blob(serial));
        if (m_db->exec(q))
            while (q.next())
                learnt.push_back(clockFactAt(q, 0));
    }
    return mergeClockSets(std::move(out), learnt);
}

bool SeriesStore::keepLearntClockSets(const std::string& serial, const std::vector<ClockFact>& sets,
                                      std::size_t& added, std::string& why) {
    added = 0;
    if (!m_db || m_db->version < 3) {
        why = "the series store is not open";
        return false;
    }
    Db& db = *m_db;
    auto fail = [&] {
        why = db.error;
        db.run("ROLLBACK");
        return false;
    };
    if (!db.run("BEGIN IMMEDIATE"))
        return fail();
    // Learnt facts, never changed: a set comes again from the server as it was.
    if (!db.run("CREATE TABLE IF NOT EXISTS learnt_clock_sets(serial BLOB NOT NULL, at INTEGER "
                "NOT NULL, utc_offset INTEGER, sent BLOB NOT NULL)") ||
        !db.run("CREATE UNIQUE INDEX IF NOT EXISTS learnt_clock_sets_once ON "
                "learnt_clock_sets(serial, at, sent, ifnull(utc_offset, 'none'))"))
        return fail();
    QSqlQuery q(db.db);
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO learnt_clock_sets(serial, at, utc_offset, "
                             "sent) VALUES(?, ?, ?, ?)"));
    for (const ClockFact& c : sets) {
        q.bindValue(0, blob(serial));
        q.bindValue(1, qint64(c.atMs));
        q.bindValue(2, c.offsetSeconds ? QVariant(*c.offsetSeconds) : QVariant());
        q.bindValue(3, blob(c.sent));
        if (!db.exec(q))
            return fail();
        added += std::size_t(q.numRowsAffected());
    }
    if (!db.run("COMMIT"))
        return fail();
    return true;
}

bool SeriesStore::learntClockSets(std::vector<std::pair<std::string, ClockFact>>& sets,
                                  std::string& why) {
    sets.clear();
    if (!m_db) {
        why = "the series store is not open";
        return false;
    }
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    auto failed = [&] {
        why = m_path + ": " + q.lastError().text().toStdString();
        sets.clear();
        return false;
    };
    if (!q.exec(QString::fromLatin1(kHasLearntClockSets)))
        return failed();
    if (!q.next())
        return q.lastError().isValid() ? failed() : true; // none was ever learnt
    q.finish();
    if (!q.exec(QStringLiteral(
            "SELECT serial, at, utc_offset, sent FROM learnt_clock_sets ORDER BY serial, at")))
        return failed();
    while (q.next())
        sets.push_back({bytesOf(q.value(0)), clockFactAt(q, 1)});
    // A read that ended on damage half way carries nothing rather than part.
    return q.lastError().isValid() ? failed() : true;
}

bool SeriesStore::notePruned(const PrunedDownload& pruned, std::string& why) {
    if (!m_db || m_db->version < 3) {
        why = "the series store is not open";
        return false;
    }
    QSqlQuery q(m_db->db);
    q.prepare(
        QStringLiteral("INSERT OR REPLACE INTO pruned(serial, path, held_by) VALUES(?, ?, ?)"));
    q.bindValue(0, blob(pruned.serial));
    q.bindValue(1, blob(pruned.path));
    q.bindValue(2, blob(pruned.heldBy));
    if (!m_db->exec(q)) {
        why = m_db->error;
        return false;
    }
    return true;
}

std::vector<PrunedDownload> SeriesStore::pruned() {
    std::vector<PrunedDownload> out;
    if (!m_db || m_db->version < 3)
        return out;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("SELECT serial, path, held_by FROM pruned ORDER BY rowid")))
        return out;
    while (q.next())
        out.push_back({bytesOf(q.value(0)), bytesOf(q.value(1)), bytesOf(q.value(2))});
    return out;
}

std::vector<Note> SeriesStore::notes(std::int64_t seriesId) {
    std::vector<Note> out;
    if (!m_db)
        return out;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT n.segment, n.record, n.text, d.path FROM notes n JOIN "
                             "downloads d ON d.id = n.download_id WHERE n.series_id = ? ORDER "
                             "BY n.id"));
    q.bindValue(0, qint64(seriesId));
    if (!m_db->exec(q))
        return out;
    while (q.next())
        out.push_back(Note{q.value(0).toInt(), q.value(1).toULongLong(),
                           q.value(2).toString().toStdString(), bytesOf(q.value(3))});
    return out;
}

bool SeriesStore::forEachRecord(std::int64_t seriesId,
                                const std::function<bool(const RecordRef&)>& each) {
    if (!m_db)
        return false;
    std::map<std::int64_t, std::string> paths;
    std::map<std::int64_t, std::int64_t> taken;
    {
        QSqlQuery q(m_db->db);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT id, path, at FROM downloads")))
            return false;
        while (q.next()) {
            paths[q.value(0).toLongLong()] = bytesOf(q.value(1));
            taken[q.value(0).toLongLong()] = q.value(2).toLongLong();
        }
    }
    std::set<std::pair<int, std::uint64_t>> disputed;
    std::map<std::pair<int, std::uint64_t>, std::string> shown;
    if (!m_db->disputedPlaces(seriesId, disputed, &shown))
        return false;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT g.seq, g.confirmed, c.first, c.download_id, c.utc_offset, c.date_order, c.data "
        "FROM segments g JOIN chunks c ON c.segment_id = g.id WHERE g.series_id = ? "
        "AND g.seq >= 0 ORDER BY g.seq, c.first"));
    q.bindValue(0, qint64(seriesId));
    if (!m_db->exec(q))
        return false;
    RecordRef ref;
    bool going = true;
    while (going && q.next()) {
        ref.segment = q.value(0).toInt() + 1;
        const std::uint64_t confirmed = q.value(1).toULongLong();
        ref.index = q.value(2).toULongLong();
        ref.download = &paths[q.value(3).toLongLong()];
        ref.downloadAtMs = taken[q.value(3).toLongLong()];
        const int seq = q.value(0).toInt();
        ref.offsetSeconds =
            q.value(4).isNull() ? std::nullopt : std::optional<int>(q.value(4).toInt());
        ref.dateOrder = static_cast<viewer::DateOrder>(q.value(5).toInt());
        const QByteArray data = q.value(6).toByteArray();
        const bool ok = decodeChunk(data, [&](std::uint8_t flags, std::string_view line) {
            ref.line = line;
            ref.timeFlags = flags;
            ref.provisional = ref.index >= confirmed;
            ref.disputed = !disputed.empty() && disputed.count({seq, ref.index});
            if (!shown.empty()) {
                const auto settled = shown.find({seq, ref.index});
                if (settled != shown.end())
                    ref.line = settled->second;
            }
            going = each(ref);
            ++ref.index;
            return going;
        });
        if (!ok)
            return false;
    }
    return going;
}

} // namespace series
