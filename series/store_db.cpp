// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/store_db.h"

#include "series/held_reader.h"
#include "series/overlap.h"
#include "series/series_merge.h"
#include "series/series_share.h"

#include "fleet/outbox.h"

#include <QSqlError>

#include <algorithm>
#include <limits>

namespace series::detail {

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

ClockFact clockFactAt(const QSqlQuery& q, int first) {
    const QVariant offset = q.value(first + 1);
    return {q.value(first).toLongLong(),
            offset.isNull() ? std::nullopt : std::optional<int>(offset.toInt()),
            bytesOf(q.value(first + 2))};
}

} // namespace series::detail

namespace series {

using namespace detail;

bool SeriesStore::Db::exec(QSqlQuery& q) {
    if (q.exec())
        return true;
    error = q.lastError().text().toStdString();
    errorKind = storage::kindOf(q.lastError());
    return false;
}

bool SeriesStore::Db::run(const char* sql) {
    QSqlQuery q(db);
    if (q.exec(QString::fromLatin1(sql)))
        return true;
    error = q.lastError().text().toStdString() + " (" + sql + ")";
    errorKind = storage::kindOf(q.lastError());
    return false;
}

bool SeriesStore::Db::segmentBelow(std::int64_t series, int below, std::optional<Segment>& out) {
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
        out = Segment{q.value(0).toLongLong(),  q.value(1).toInt(),      q.value(2).toULongLong(),
                      q.value(3).toULongLong(), q.value(4).toLongLong(), q.value(5).toULongLong(),
                      q.value(6).toByteArray()};
    return true;
}

bool SeriesStore::Db::lastSegment(std::int64_t series, std::optional<Segment>& out) {
    return segmentBelow(series, std::numeric_limits<int>::max(), out);
}

bool SeriesStore::Db::saveSegment(const Segment& s) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE segments SET records = ?, confirmed = ?, "
                             "last_download_at = ?, shared = ?, shared_chain = ? WHERE id = ?"));
    q.bindValue(0, qint64(s.records));
    q.bindValue(1, qint64(s.confirmed));
    q.bindValue(2, qint64(s.lastDownloadAt));
    q.bindValue(3, qint64(s.shared));
    q.bindValue(4, s.sharedChain);
    q.bindValue(5, qint64(s.id));
    return exec(q);
}

bool SeriesStore::Db::newSegment(std::int64_t series, int seq, std::int64_t at, Segment& s) {
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

bool SeriesStore::Db::chunkAcross(const Segment& s, std::uint64_t at, QSqlQuery& q) {
    q.prepare(QStringLiteral("SELECT id, first, count, download_id, utc_offset, date_order,"
                             " data FROM chunks WHERE segment_id = ? AND first < ? AND "
                             "first + count > ?"));
    q.bindValue(0, qint64(s.id));
    q.bindValue(1, qint64(at));
    q.bindValue(2, qint64(at));
    return exec(q);
}

bool SeriesStore::Db::rewriteChunk(std::int64_t id, std::uint64_t count, std::uint64_t bytes,
                                   const QByteArray& data) {
    QSqlQuery u(db);
    u.prepare(QStringLiteral("UPDATE chunks SET count = ?, bytes = ?, data = ? WHERE id = ?"));
    u.bindValue(0, qint64(count));
    u.bindValue(1, qint64(bytes));
    u.bindValue(2, data);
    u.bindValue(3, qint64(id));
    return exec(u);
}

bool SeriesStore::Db::truncate(Segment& s, std::uint64_t keep) {
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

bool SeriesStore::Db::split(std::int64_t series, Segment& s, std::uint64_t at, std::int64_t when,
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

bool SeriesStore::Db::segmentBefore(std::int64_t series, const Segment& s,
                                    std::optional<Segment>& out) {
    return segmentBelow(series, s.seq, out);
}

bool SeriesStore::Db::dropSegment(std::int64_t series, const Segment& s) {
    for (const char* sql :
         {"DELETE FROM chunks WHERE segment_id = ?", "DELETE FROM versions WHERE segment_id = ?",
          "DELETE FROM segments WHERE id = ?"}) {
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

bool SeriesStore::Db::versions(std::int64_t segment, Versions& out) {
    out.clear();
    if (version < 3)
        return true;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT place, line, safe FROM versions WHERE segment_id = ? ORDER BY id"));
    q.bindValue(0, qint64(segment));
    if (!exec(q))
        return false;
    while (q.next())
        out[q.value(0).toULongLong()].push_back({bytesOf(q.value(1)), q.value(2).toBool()});
    return true;
}

int SeriesStore::Db::settledOf(const std::vector<Said>& said) {
    std::vector<Statement> st;
    st.reserve(said.size());
    for (const Said& s : said)
        st.push_back({s.line, s.safe});
    return settledStatement(st);
}

bool SeriesStore::Db::disputedPlaces(std::int64_t series, std::set<Place>& out,
                                     std::map<Place, std::string>* shown) {
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

bool SeriesStore::Db::state(std::int64_t segment, std::uint64_t place, std::int64_t download,
                            bool safe, std::string_view line) {
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

bool SeriesStore::Db::rewrite(std::int64_t segment, std::uint64_t place, std::string_view line) {
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

bool SeriesStore::Db::note(std::int64_t series, std::int64_t download, int segment,
                           std::uint64_t record, const std::string& text) {
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

bool SeriesStore::Db::addDownload(const DownloadInput& in, std::int64_t& id) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO downloads(serial, at, path, safe) VALUES(?, ?, ?, ?)"));
    q.bindValue(0, blob(in.serial));
    q.bindValue(1, qint64(in.atMs));
    q.bindValue(2, blob(in.keptPath));
    q.bindValue(3, int(in.safe));
    if (!exec(q))
        return false;
    id = q.lastInsertId().toLongLong();
    return true;
}

bool SeriesStore::Db::keepClockSets(const std::string& serial, const std::vector<ClockFact>& sets) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("DELETE FROM clock_sets WHERE serial = ?"));
    q.bindValue(0, blob(serial));
    if (!exec(q))
        return false;
    q.prepare(
        QStringLiteral("INSERT INTO clock_sets(serial, at, utc_offset, sent) VALUES(?, ?, ?, ?)"));
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

bool SeriesStore::Db::seriesOf(const std::string& serial, const std::string& name, int ordinal,
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

bool SeriesStore::Db::segmentsOf(std::int64_t series, std::vector<Segment>& out) {
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
        out.push_back(Segment{q.value(0).toLongLong(), q.value(1).toInt(), q.value(2).toULongLong(),
                              q.value(3).toULongLong(), q.value(4).toLongLong(),
                              q.value(5).toULongLong(), q.value(6).toByteArray()});
    return true;
}

// The versions moved, the places settled, the segments renumbered and the notes
// carried are one change to four tables, each step using the counts the one before made.
// Whole: those steps share their counts, so they stay in one function.
bool SeriesStore::Db::joinSegment(std::int64_t series, const Segment& y, Segment& t,
                                  std::uint64_t at, std::size_t differing, std::int64_t download,
                                  std::size_t& disputedNow, std::size_t& settledNow) {
    HeldReader yr(db, y.id), tr(db, t.id);
    Versions yv, tv;
    for (HeldReader* reader : {&yr, &tr})
        if (auto opened = reader->open(); !opened)
            return fail(opened.error());
    if (!versions(y.id, yv) || !versions(t.id, tv))
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
        if (yr.failed() || tr.failed())
            return fail(yr.failed() ? yr.error() : tr.error());
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

bool SeriesStore::Db::share(const std::string& serial, const std::string& name, int ordinal,
                            Segment& s, std::int64_t occurredAt, const QString& laptop) {
    if (s.confirmed <= s.shared)
        return true;
    // Each row's first identity is made with the record before it: those two records
    // are read, a chunk at a time, never the span whole.
    HeldReader reader(db, s.id);
    if (auto opened = reader.open(); !opened)
        return fail(opened.error());
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
        if (reader.failed())
            return fail(reader.error());
        span.firstPosition = static_cast<std::int64_t>(at);
        span.count = static_cast<std::size_t>(std::min(perRow, s.confirmed - at));
        span.firstHash = recordIdentity(before, line);
        if (auto queued = fleet::Outbox::enqueueSpan(db, span); !queued)
            return fail(queued.error());
    }
    s.shared = s.confirmed;
    s.sharedChain.clear(); // the chain of older versions: no longer kept
    return true;
}

bool SeriesStore::Db::shareEarlier() {
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

bool SeriesStore::Db::ChunkWriter::write() {
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

} // namespace series
