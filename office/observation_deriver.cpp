// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/observation_deriver.h"

#include "fleet/server_values.h"
#include "office/office_reads.h"
#include "office/plot_buckets.h"
#include "office/site_things.h"
#include "platform/checked_number.h"
#include "series/server_series.h"
#include "series/site_series.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <vector>

namespace office {

namespace {

using fleet::PgConnection;
using fleet::PgParam;
using fleet::PgResult;

constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
// One derivation at a time on a server, each series' write in its own transaction.
constexpr const char* kLockSql = "SELECT pg_catalog.pg_advisory_xact_lock(7233012)";
// Observations per INSERT: some megabytes of parameters, each statement well within its time.
constexpr std::size_t kRowsPerInsert = 20000;

struct Signature {
    std::int64_t facts = 0, newest = 0, trust = 0, clocks = 0;
    bool operator==(const Signature&) const = default;
    std::string text() const {
        return std::to_string(facts) + "/" + std::to_string(newest) + "/" + std::to_string(trust) +
               "/" + std::to_string(clocks);
    }
};

struct State {
    std::int64_t id = 0;
    Signature signature;
    std::int64_t records = 0;
    std::vector<int> fields;
    std::string digest;
};

struct Behind {
    QString unit, dataSet;
    Signature signature;
    std::optional<State> state;
};

// "{2,3}" as PostgreSQL writes an integer array; none when it is not one.
std::optional<std::vector<int>> fieldsOf(std::string_view text) {
    if (text.size() < 2 || text.front() != '{' || text.back() != '}')
        return std::nullopt;
    std::vector<int> out;
    text = text.substr(1, text.size() - 2);
    while (!text.empty()) {
        const auto comma = text.find(',');
        const auto n = platform::parseInteger(text.substr(0, comma), 1, 100000);
        if (!n)
            return std::nullopt;
        out.push_back(int(*n));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return out;
}

// Every series whose state differs from the signature of its facts (or has none).
bool behindSeries(PgConnection& pg, std::chrono::milliseconds timeout, std::vector<Behind>& out,
                  std::string& why) {
    const PgResult r = pg.exec(std::string("SELECT a.unit, a.data_set, a.facts, a.newest, "
                                           "a.trust, a.clocks, s.id, s.facts, s.newest, s.trust, "
                                           "s.clocks, s.records, s.fields::text, s.digest FROM ") +
                                   kSignaturesSql + kBehindSql + " ORDER BY 1, 2",
                               {}, timeout);
    if (!r.ok()) {
        why = "the series' states not read: " + r.error();
        return false;
    }
    for (int i = 0; i < r.rows(); ++i) {
        Behind b;
        b.unit = QString::fromStdString(r.value(i, 0));
        b.dataSet = QString::fromStdString(r.value(i, 1));
        const auto facts = fleet::integerAt(r, i, 2, 0, kMost);
        const auto newest =
            fleet::integerAt(r, i, 3, std::numeric_limits<std::int64_t>::min(), kMost);
        const auto trust = fleet::integerAt(r, i, 4, 0, kMost);
        const auto clocks = fleet::integerAt(r, i, 5, 0, kMost);
        if (!facts || !newest || !trust || !clocks)
            continue; // sums the server's own trigger wrote: out of range only on a broken server
        b.signature = {*facts, *newest, *trust, *clocks};
        if (!r.isNull(i, 6)) {
            State s;
            const auto id = fleet::integerAt(r, i, 6, 1, kMost);
            const auto sf = fleet::integerAt(r, i, 7, 0, kMost);
            const auto sn =
                fleet::integerAt(r, i, 8, std::numeric_limits<std::int64_t>::min(), kMost);
            const auto st = fleet::integerAt(r, i, 9, 0, kMost);
            const auto sc = fleet::integerAt(r, i, 10, 0, kMost);
            const auto records = fleet::integerAt(r, i, 11, 0, kMost);
            const auto fields = fieldsOf(r.value(i, 12));
            if (id && sf && sn && st && sc && records && fields) {
                s = {*id, {*sf, *sn, *st, *sc}, *records, *fields, r.value(i, 13)};
                b.state = s;
            } else {
                // A state row not as this program writes it: derived whole again.
                s.id = id.value_or(0);
                s.digest = "unreadable";
                if (s.id > 0)
                    b.state = s;
            }
        }
        out.push_back(std::move(b));
    }
    return true;
}

// One record of the series as the derived copy keeps it.
struct Row {
    int segment = 0;
    std::uint64_t place = 0;
    bool known = false;
    double utc = 0;
    int offset = 0;
    std::string flags, line; // Latin-1, as the series gives them
};

// A series derived from its facts, with its fields and the digests it is compared by.
struct Derived {
    std::vector<Row> rows;
    std::vector<int> fields;
    std::string digest;       // of every record
    std::string digestBefore; // of the first `before` records (the state's count)
};

std::string hex(XXH64_hash_t h) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

void addToDigest(XXH3_state_t* state, const Row& r) {
    const auto add = [&](const void* p, std::size_t n) { XXH3_64bits_update(state, p, n); };
    add(&r.segment, sizeof r.segment);
    add(&r.place, sizeof r.place);
    const char known = r.known ? 1 : 0;
    add(&known, 1);
    add(&r.utc, sizeof r.utc);
    add(&r.offset, sizeof r.offset);
    const std::uint64_t flagsSize = r.flags.size(), lineSize = r.line.size();
    add(&flagsSize, sizeof flagsSize);
    add(r.flags.data(), r.flags.size());
    add(&lineSize, sizeof lineSize);
    add(r.line.data(), r.line.size());
}

Derived deriveRows(const series::ServerSeries& held, std::int64_t before) {
    Derived d;
    const series::RecordSource source = held.source();
    series::RecordFlags flags(source.info.usualInterval);
    std::vector<bool> numeric;
    std::vector<double> values;
    d.rows.reserve(std::size_t(source.info.records));
    series::forEachRecordUtc(source, [&](const series::RecordRef& rec, bool parsed, double s,
                                         const series::RecordClock::Utc& utc) {
        Row r;
        r.segment = rec.segment;
        r.place = rec.index;
        r.known = utc.known && std::isfinite(utc.seconds);
        r.utc = r.known ? utc.seconds : 0;
        r.offset = r.known ? utc.offsetSeconds : 0;
        r.flags = flags.next(rec, parsed, s, utc);
        r.line.assign(rec.line);
        recordValues(rec.line, values);
        if (numeric.size() < values.size())
            numeric.resize(values.size());
        for (std::size_t c = 0; c < values.size(); ++c)
            if (!std::isnan(values[c]))
                numeric[c] = true;
        d.rows.push_back(std::move(r));
        return true;
    });
    for (std::size_t c = 0; c < numeric.size(); ++c)
        if (numeric[c])
            d.fields.push_back(int(c) + 1);
    XXH3_state_t* state = XXH3_createState();
    XXH3_64bits_reset(state);
    for (std::size_t i = 0; i < d.rows.size(); ++i) {
        if (std::int64_t(i) == before)
            d.digestBefore = hex(XXH3_64bits_digest(state));
        addToDigest(state, d.rows[i]);
    }
    if (std::int64_t(d.rows.size()) == before)
        d.digestBefore = hex(XXH3_64bits_digest(state));
    d.digest = hex(XXH3_64bits_digest(state));
    XXH3_freeState(state);
    return d;
}

// A value as an element of a PostgreSQL array's text: quoted, its quotes and backslashes
// escaped (the text travels as one bound parameter, never in the statement).
void appendQuoted(std::string& out, std::string_view utf8) {
    out += '"';
    for (const char c : utf8) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

void appendDouble(std::string& out, double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, ec == std::errc{} ? end : buf);
}

std::string utf8Of(const std::string& latin1) {
    return QString::fromLatin1(latin1.data(), qsizetype(latin1.size())).toUtf8().toStdString();
}

// What a record holds in each column (series::siteCellOf) as a PostgreSQL array's text.
std::string cellsOf(const std::vector<std::string_view>& fields) {
    std::string cells = "{";
    for (std::size_t f = 1; f <= fields.size(); ++f)
        cells += (f > 1 ? "," : "") + std::to_string(int(series::siteCellOf(fields, int(f))));
    return cells + "}";
}

// The Observations of records [from, end) of `d` for each Datastream (by field), inserted in
// statements of kRowsPerInsert.
bool insertRows(PgConnection& pg, const Derived& d, std::size_t from,
                const std::vector<std::pair<int, std::int64_t>>& streams,
                std::chrono::milliseconds timeout, long long& written, std::string& why) {
    struct Columns {
        std::string stream, ordinal, segment, place, utc, offset, result, flags, record, cells;
        std::size_t rows = 0;
        void open() {
            for (std::string* s : {&stream, &ordinal, &segment, &place, &utc, &offset, &result,
                                   &flags, &record, &cells})
                *s = "{";
            rows = 0;
        }
        void comma() {
            if (rows == 0)
                return;
            for (std::string* s : {&stream, &ordinal, &segment, &place, &utc, &offset, &result,
                                   &flags, &record, &cells})
                *s += ',';
        }
    } c;
    const auto flush = [&]() {
        if (c.rows == 0)
            return true;
        std::vector<PgParam> params;
        for (std::string* s : {&c.stream, &c.ordinal, &c.segment, &c.place, &c.utc, &c.offset,
                               &c.result, &c.flags, &c.record, &c.cells})
            params.push_back(PgParam::text(*s + "}"));
        const PgResult r = pg.exec(
            "INSERT INTO xrq.derived_observations (datastream, ordinal, segment, place, utc, "
            "utc_offset, result, flags, record, cells) SELECT s, o, g, p, u, f, r, l, d, "
            "c::smallint[] FROM ROWS FROM ("
            "pg_catalog.unnest($1::bigint[]), pg_catalog.unnest($2::bigint[]), "
            "pg_catalog.unnest($3::integer[]), pg_catalog.unnest($4::bigint[]), "
            "pg_catalog.unnest($5::double precision[]), pg_catalog.unnest($6::integer[]), "
            "pg_catalog.unnest($7::double precision[]), pg_catalog.unnest($8::text[]), "
            "pg_catalog.unnest($9::text[]), pg_catalog.unnest($10::text[])) "
            "AS t (s, o, g, p, u, f, r, l, d, c)",
            params, timeout);
        if (!r.ok()) {
            why = "observations not written: " + r.error();
            return false;
        }
        written += (long long)c.rows;
        c.open();
        return true;
    };
    c.open();
    std::vector<double> values;
    std::vector<std::string_view> fields;
    for (std::size_t i = from; i < d.rows.size(); ++i) {
        const Row& row = d.rows[i];
        if (!row.known)
            continue;
        recordValues(row.line, values);
        series::fieldsOf(row.line, fields);
        const std::string flags = utf8Of(row.flags), line = utf8Of(row.line);
        const std::string cells = cellsOf(fields);
        for (const auto& [field, stream] : streams) {
            c.comma();
            c.stream += std::to_string(stream);
            c.ordinal += std::to_string(i);
            c.segment += std::to_string(row.segment);
            c.place += std::to_string(row.place);
            appendDouble(c.utc, row.utc);
            c.offset += std::to_string(row.offset);
            const std::size_t at = std::size_t(field - 1);
            if (at < values.size() && std::isfinite(values[at]))
                appendDouble(c.result, values[at]);
            else
                c.result += "NULL";
            appendQuoted(c.flags, flags);
            appendQuoted(c.record, line);
            appendQuoted(c.cells, cells);
            ++c.rows;
            if (c.rows >= kRowsPerInsert && !flush())
                return false;
        }
    }
    return flush();
}

std::string intArray(const std::vector<int>& v) {
    std::string s = "{";
    for (std::size_t i = 0; i < v.size(); ++i)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s + "}";
}

// The series' title lines as fieldTitles takes them (each segment's, else the series' own as
// segment 0), replacing those held: a new segment may bring a title line of its own.
bool writeTitles(PgConnection& pg, std::int64_t series, const series::RecordSource& source,
                 std::chrono::milliseconds timeout, std::string& why) {
    std::string segments = "{", lines = "{";
    const auto add = [&](int segment, const std::string& line) {
        segments += (segments.size() > 1 ? "," : "") + std::to_string(segment);
        if (lines.size() > 1)
            lines += ',';
        appendQuoted(lines, utf8Of(line));
    };
    for (const auto& [segment, line] : source.segmentTitles)
        add(segment, line);
    if (source.segmentTitles.empty() && !source.info.columnTitles.empty())
        add(0, source.info.columnTitles);
    const std::vector<PgParam> key = {PgParam::text(std::to_string(series))};
    PgResult r = pg.exec("DELETE FROM xrq.derived_titles WHERE series = $1", key, timeout);
    if (r.ok() && segments.size() > 1)
        r = pg.exec("INSERT INTO xrq.derived_titles (series, segment, line) SELECT $1, s, l "
                    "FROM ROWS FROM (pg_catalog.unnest($2::integer[]), "
                    "pg_catalog.unnest($3::text[])) AS t (s, l)",
                    {key[0], PgParam::text(segments + "}"), PgParam::text(lines + "}")}, timeout);
    if (!r.ok())
        why = "titles not written: " + r.error();
    return r.ok();
}

enum class Outcome { Whole, Appended, Skipped, Failed };

// One series brought up to date in a transaction of its own.
// Whole: one series from its read to its commit, in the order the transaction needs.
Outcome deriveOne(PgConnection& pg, const Behind& b, bool whole, std::chrono::milliseconds timeout,
                  long long& written, std::string& why) {
    const DataSetName set = dataSetName(b.dataSet);
    series::ServerSeries held(series::DeriveBounds{series::DeriveBounds{}.mostChains, timeout});
    if (const platform::Result<void> read =
            held.read(pg, b.unit.toLatin1().toStdString(), set.name, set.ordinal);
        !read) {
        why = read.text();
        return Outcome::Failed;
    }
    const std::int64_t before = b.state ? b.state->records : -1;
    const Derived d = deriveRows(held, before);
    const bool append = !whole && b.state && b.state->fields == d.fields &&
                        std::int64_t(d.rows.size()) >= before && !d.digestBefore.empty() &&
                        d.digestBefore == b.state->digest;
    const std::vector<PgParam> key = {PgParam::text(b.unit.toStdString()),
                                      PgParam::text(b.dataSet.toStdString())};
    auto fail = [&](const PgResult& r, const char* what) {
        why = std::string(what) + ": " + r.error();
        pg.exec("ROLLBACK", {}, timeout);
        return Outcome::Failed;
    };
    PgResult r = pg.exec("BEGIN", {}, timeout);
    if (r.ok())
        r = pg.exec(kLockSql, {}, timeout);
    if (!r.ok())
        return fail(r, "not begun");
    // The state read again under the lock: another deriver may have written it meanwhile.
    r = pg.exec("SELECT id, facts, newest, trust, clocks, records, digest FROM xrq.derived_series "
                "WHERE unit = $1 AND data_set = $2",
                key, timeout);
    if (!r.ok())
        return fail(r, "state not read");
    const bool had = r.rows() == 1;
    if (had != b.state.has_value() ||
        (had &&
         (r.value(0, 0) != std::to_string(b.state->id) ||
          r.value(0, 1) != std::to_string(b.state->signature.facts) ||
          r.value(0, 2) != std::to_string(b.state->signature.newest) ||
          r.value(0, 3) != std::to_string(b.state->signature.trust) ||
          r.value(0, 4) != std::to_string(b.state->signature.clocks) ||
          r.value(0, 5) != std::to_string(b.state->records) || r.value(0, 6) != b.state->digest))) {
        pg.exec("ROLLBACK", {}, timeout);
        return Outcome::Skipped;
    }
    const std::vector<PgParam> state = {PgParam::text(std::to_string(b.signature.facts)),
                                        PgParam::text(std::to_string(b.signature.newest)),
                                        PgParam::text(std::to_string(b.signature.trust)),
                                        PgParam::text(std::to_string(b.signature.clocks)),
                                        PgParam::text(std::to_string(d.rows.size())),
                                        PgParam::text(intArray(d.fields)),
                                        PgParam::text(d.digest)};
    std::int64_t id = had ? b.state->id : 0;
    if (!had) {
        std::vector<PgParam> p = key;
        p.insert(p.end(), state.begin(), state.end());
        r = pg.exec("INSERT INTO xrq.derived_series (unit, data_set, facts, newest, trust, "
                    "clocks, records, fields, digest) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
                    "RETURNING id",
                    p, timeout);
        if (!r.ok() || r.rows() != 1)
            return fail(r, "state not written");
        id = fleet::integerAt(r, 0, 0, 1, kMost).value_or(0);
    } else {
        std::vector<PgParam> p = {PgParam::text(std::to_string(id))};
        p.insert(p.end(), state.begin(), state.end());
        r = pg.exec("UPDATE xrq.derived_series SET facts = $2, newest = $3, trust = $4, "
                    "clocks = $5, records = $6, fields = $7, digest = $8, "
                    "derived_at = pg_catalog.now() WHERE id = $1",
                    p, timeout);
        if (!r.ok())
            return fail(r, "state not written");
        if (!append) {
            const std::vector<PgParam> series = {PgParam::text(std::to_string(id))};
            r = pg.exec("DELETE FROM xrq.derived_observations WHERE datastream IN "
                        "(SELECT id FROM xrq.derived_datastreams WHERE series = $1)",
                        series, timeout);
            if (r.ok())
                r = pg.exec("DELETE FROM xrq.derived_datastreams WHERE series = $1", series,
                            timeout);
            if (!r.ok())
                return fail(r, "old rows not replaced");
        }
    }
    if (!append) {
        std::vector<PgParam> p = {PgParam::text(std::to_string(id))};
        p.insert(p.end(), key.begin(), key.end());
        p.push_back(PgParam::text(intArray(d.fields)));
        r = pg.exec("INSERT INTO xrq.derived_datastreams (series, unit, data_set, field) "
                    "SELECT $1, $2, $3, f FROM pg_catalog.unnest($4::integer[]) f",
                    p, timeout);
        if (!r.ok())
            return fail(r, "datastreams not written");
    }
    if (!writeTitles(pg, id, held.source(), timeout, why)) {
        pg.exec("ROLLBACK", {}, timeout);
        return Outcome::Failed;
    }
    r = pg.exec("SELECT field, id FROM xrq.derived_datastreams WHERE series = $1 ORDER BY field",
                {PgParam::text(std::to_string(id))}, timeout);
    if (!r.ok())
        return fail(r, "datastreams not read");
    std::vector<std::pair<int, std::int64_t>> streams;
    for (int i = 0; i < r.rows(); ++i) {
        const auto field = fleet::integerAt(r, i, 0, 1, 100000);
        const auto stream = fleet::integerAt(r, i, 1, 1, kMost);
        if (field && stream)
            streams.emplace_back(int(*field), *stream);
    }
    if (!insertRows(pg, d, append ? std::size_t(before) : 0, streams, timeout, written, why)) {
        pg.exec("ROLLBACK", {}, timeout);
        return Outcome::Failed;
    }
    r = pg.exec("COMMIT", {}, timeout);
    if (!r.ok())
        return fail(r, "not committed");
    return append ? Outcome::Appended : Outcome::Whole;
}

// ---- The pieces of the sites' Datastreams ----

std::string quotedArray(const std::vector<std::string>& values) {
    std::string out = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        appendQuoted(out, values[i]);
    }
    return out + "}";
}

template <typename T> std::string plainArray(const std::vector<T>& values) {
    std::string out = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        if constexpr (std::is_same_v<T, std::optional<double>>) {
            if (values[i])
                appendDouble(out, *values[i]);
            else
                out += "NULL";
        } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
            out += values[i] ? std::to_string(*values[i]) : std::string("NULL");
        } else {
            out += std::to_string(values[i]);
        }
    }
    return out + "}";
}

// The fields of each source's Datastreams and their ids, as the copy holds them.
bool sourceFields(PgConnection& pg, const series::SiteCopyPlan& plan,
                  std::chrono::milliseconds timeout, std::vector<std::vector<int>>& fields,
                  std::vector<std::map<int, std::int64_t>>& ids, std::string& why) {
    for (const series::SiteCopyPlan::Source& s : plan.sources) {
        const PgResult r = pg.exec("SELECT field, id FROM xrq.derived_datastreams WHERE unit = $1 "
                                   "AND data_set = $2 ORDER BY field",
                                   {PgParam::text(s.unit), PgParam::text(s.dataSet)}, timeout);
        if (!r.ok()) {
            why = "datastreams not read: " + r.error();
            return false;
        }
        fields.emplace_back();
        ids.emplace_back();
        for (int i = 0; i < r.rows(); ++i) {
            const auto field = fleet::integerAt(r, i, 0, 1, 100000);
            const auto id = fleet::integerAt(r, i, 1, 1, kMost);
            if (field && id) {
                fields.back().push_back(int(*field));
                ids.back().emplace(int(*field), *id);
            }
        }
    }
    return true;
}

// Two columns of one source under one property at once would give a record two cells there:
// the series is then read whole.
std::string overlapOf(const std::vector<series::SiteCopyPiece>& pieces,
                      const std::vector<QString>& streams) {
    for (std::size_t i = 0; i < pieces.size(); ++i)
        for (std::size_t j = i + 1; j < pieces.size(); ++j) {
            const series::SiteCopyPiece& a = pieces[i];
            const series::SiteCopyPiece& b = pieces[j];
            const auto endOf = [](const series::SiteCopyPiece& p) {
                return p.toMs.value_or(std::numeric_limits<std::int64_t>::max());
            };
            if (a.source == b.source && a.field != b.field && streams[i] == streams[j] &&
                a.fromMs < endOf(b) && b.fromMs < endOf(a))
                return "columns " + std::to_string(a.field) + " and " + std::to_string(b.field) +
                       " are one property at once";
        }
    return {};
}

// What each of the site's pieces counts: its records, their first and last time, the first
// record it places its property at, and then each property's place among the site's.
bool countPieces(PgConnection& pg, const PgParam& site, std::chrono::milliseconds timeout,
                 std::string& why) {
    PgResult r =
        pg.exec(std::string("UPDATE xrq.derived_site_pieces p SET (records, first_utc, "
                            "last_utc, first_placed) = (SELECT pg_catalog.count(*) FILTER "
                            "(WHERE o.cells[p.field] >= p.least_cell), pg_catalog.min(o.utc) "
                            "FILTER (WHERE o.cells[p.field] >= p.least_cell), "
                            "pg_catalog.max(o.utc) FILTER (WHERE o.cells[p.field] >= "
                            "p.least_cell), pg_catalog.min(o.ordinal) FILTER (WHERE "
                            "o.cells[p.field] >= CASE WHEN p.least_cell = 2 THEN 1 ELSE 3 "
                            "END) FROM xrq.derived_observations o WHERE ") +
                    kPieceRowsSql + ") WHERE p.site = $1",
                {site}, timeout);
    // A property's place: where it first appears, source after source, each in its order.
    if (r.ok())
        r = pg.exec("UPDATE xrq.derived_site_pieces p SET place = r.place FROM (SELECT stream, "
                    "(pg_catalog.rank() OVER (ORDER BY pg_catalog.min(ARRAY[source::bigint, "
                    "first_placed, field::bigint])))::integer AS place FROM "
                    "xrq.derived_site_pieces WHERE site = $1 AND first_placed IS NOT NULL GROUP "
                    "BY stream) r WHERE p.site = $1 AND p.stream = r.stream",
                    {site}, timeout);
    if (!r.ok())
        why = "site pieces not written: " + r.error();
    return r.ok();
}

// The site's pieces written, then what each counts.
bool writePieces(PgConnection& pg, const QString& code, const series::SiteCopyPlan& plan,
                 const std::vector<series::SiteCopyPiece>& pieces,
                 const std::vector<QString>& streams,
                 const std::vector<std::map<int, std::int64_t>>& ids,
                 std::chrono::milliseconds timeout, std::string& why) {
    std::vector<std::string> stream, unit, dataSet, property, definition, code_, symbol, name,
        columnSet;
    std::vector<int> source, field, least;
    std::vector<std::int64_t> datastream, from, deployed;
    std::vector<std::optional<std::int64_t>> to;
    std::vector<std::optional<double>> a, b;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const series::SiteCopyPiece& p = pieces[i];
        const series::SiteCopyPlan::Source& s = plan.sources[p.source];
        stream.push_back(streams[i].toStdString());
        unit.push_back(s.unit);
        dataSet.push_back(s.dataSet);
        property.push_back(p.property.name);
        definition.push_back(p.property.definition);
        code_.push_back(p.property.uom.code.toStdString());
        symbol.push_back(p.property.uom.symbol.toStdString());
        name.push_back(p.property.uom.name.toStdString());
        columnSet.push_back(p.property.dataSet);
        source.push_back(int(p.source));
        field.push_back(p.field);
        least.push_back(p.meant ? int(series::SiteCell::Text) : int(series::SiteCell::Number));
        // A column of text alone has no Datastream: its records are read through another.
        const auto own = ids[p.source].find(p.field);
        datastream.push_back(own != ids[p.source].end() ? own->second
                                                        : ids[p.source].begin()->second);
        from.push_back(p.fromMs);
        deployed.push_back(p.deployedMs);
        to.push_back(p.toMs);
        a.push_back(p.calibration ? std::optional(p.calibration->first) : std::nullopt);
        b.push_back(p.calibration ? std::optional(p.calibration->second) : std::nullopt);
    }
    // The server's text is UTF-8, as a property's names are; a column's data set is the
    // series' Latin-1 bytes.
    for (std::string& s : columnSet)
        s = utf8Of(s);
    const PgParam site = PgParam::text(code.toStdString());
    PgResult r = pg.exec(
        "INSERT INTO xrq.derived_site_pieces (site, stream, source, datastream, unit, data_set, "
        "field, from_ms, to_ms, least_cell, a, b, deployed_ms, property, definition, uom_code, "
        "uom_symbol, uom_name, column_set) SELECT $1, * FROM ROWS FROM ("
        "pg_catalog.unnest($2::text[]), pg_catalog.unnest($3::integer[]), "
        "pg_catalog.unnest($4::bigint[]), pg_catalog.unnest($5::text[]), "
        "pg_catalog.unnest($6::text[]), pg_catalog.unnest($7::integer[]), "
        "pg_catalog.unnest($8::bigint[]), pg_catalog.unnest($9::bigint[]), "
        "pg_catalog.unnest($10::smallint[]), pg_catalog.unnest($11::double precision[]), "
        "pg_catalog.unnest($12::double precision[]), pg_catalog.unnest($13::bigint[]), "
        "pg_catalog.unnest($14::text[]), pg_catalog.unnest($15::text[]), "
        "pg_catalog.unnest($16::text[]), pg_catalog.unnest($17::text[]), "
        "pg_catalog.unnest($18::text[]), pg_catalog.unnest($19::text[]))",
        {site, PgParam::text(quotedArray(stream)), PgParam::text(plainArray(source)),
         PgParam::text(plainArray(datastream)), PgParam::text(quotedArray(unit)),
         PgParam::text(quotedArray(dataSet)), PgParam::text(plainArray(field)),
         PgParam::text(plainArray(from)), PgParam::text(plainArray(to)),
         PgParam::text(plainArray(least)), PgParam::text(plainArray(a)),
         PgParam::text(plainArray(b)), PgParam::text(plainArray(deployed)),
         PgParam::text(quotedArray(property)), PgParam::text(quotedArray(definition)),
         PgParam::text(quotedArray(code_)), PgParam::text(quotedArray(symbol)),
         PgParam::text(quotedArray(name)), PgParam::text(quotedArray(columnSet))},
        timeout);
    if (!r.ok()) {
        why = "site pieces not written: " + r.error();
        return false;
    }
    return countPieces(pg, site, timeout, why);
}

enum class SiteOutcome { Built, Failed };

// One site's pieces built again in a transaction of its own, under the derivation's lock.
// Whole: the site's plan, its pieces, what they were built from, in the transaction's order.
SiteOutcome deriveSite(PgConnection& pg, const QString& code, std::chrono::milliseconds timeout,
                       std::string& why) {
    const PgParam site = PgParam::text(code.toStdString());
    auto fail = [&](std::string what) {
        why = std::move(what);
        pg.exec("ROLLBACK", {}, timeout);
        return SiteOutcome::Failed;
    };
    PgResult r = pg.exec("BEGIN", {}, timeout);
    if (r.ok())
        r = pg.exec(kLockSql, {}, timeout);
    for (const char* table :
         {"xrq.derived_site_pieces", "xrq.derived_site_units", "xrq.derived_sites"})
        if (r.ok())
            r = pg.exec(std::string("DELETE FROM ") + table + " WHERE site = $1", {site}, timeout);
    if (!r.ok())
        return fail("site pieces not emptied: " + r.error());
    const platform::Result<series::SiteCopyPlan> plan =
        series::planSiteFromCopy(pg, code.toStdString(), timeout);
    if (!plan && plan.error().kind != platform::ErrorKind::NotFound)
        return fail(plan.error().text);
    std::string unservable = plan ? plan.value().behind : std::string("no such site");
    if (plan) {
        QStringList units;
        for (const fleet::Deployment& d : plan.value().facts.deploymentsAt(code))
            if (!units.contains(d.unit))
                units << d.unit;
        std::vector<std::string> names;
        for (const QString& u : units)
            names.push_back(u.toStdString());
        r = pg.exec("INSERT INTO xrq.derived_site_units (site, unit) SELECT $1, "
                    "pg_catalog.unnest($2::text[])",
                    {site, PgParam::text(quotedArray(names))}, timeout);
        if (!r.ok())
            return fail("site units not written: " + r.error());
    }
    if (unservable.empty()) {
        std::vector<std::vector<int>> fields;
        std::vector<std::map<int, std::int64_t>> ids;
        if (!sourceFields(pg, plan.value(), timeout, fields, ids, why))
            return fail(why);
        const std::vector<series::SiteCopyPiece> pieces =
            series::siteCopyPieces(plan.value(), fields);
        std::vector<QString> streams;
        for (const series::SiteCopyPiece& p : pieces)
            streams.push_back(siteStreamId(code, p.property));
        if (unservable.empty())
            unservable = overlapOf(pieces, streams);
        for (const series::SiteCopyPiece& p : pieces)
            if (unservable.empty() && ids[p.source].empty())
                unservable = "unit " + plan.value().sources[p.source].unit + " has no Datastream";
        if (unservable.empty() &&
            !writePieces(pg, code, plan.value(), pieces, streams, ids, timeout, why))
            return fail(why);
    }
    if (plan) {
        r = pg.exec(std::string("INSERT INTO xrq.derived_sites (site, signature, site_facts, "
                                "series, served, why) SELECT g.site, $2, ") +
                        kSiteFactsSignatureSql + ", " + kSiteSeriesSignatureSql +
                        ", $3, $4 FROM (SELECT $1::text AS site) g",
                    {site, PgParam::text(plan.value().signature),
                     PgParam::text(unservable.empty() ? "t" : "f"), PgParam::text(unservable)},
                    timeout);
        if (!r.ok())
            return fail("site state not written: " + r.error());
    }
    r = pg.exec("COMMIT", {}, timeout);
    if (!r.ok())
        return fail("not committed: " + r.error());
    return SiteOutcome::Built;
}

// Where the site facts that count stood when the rows were built: the count and the newest
// arrival of "count/arrival" (kSiteFactsSignatureSql's text).
std::optional<std::pair<long long, long long>> factsMark(const std::string& text) {
    const auto slash = text.find('/');
    if (slash == std::string::npos)
        return std::nullopt;
    const auto count = platform::parseInteger(std::string_view(text).substr(0, slash), 0, kMost);
    const auto newest = platform::parseInteger(std::string_view(text).substr(slash + 1), 0, kMost);
    if (!count || !newest)
        return std::nullopt;
    return std::pair(*count, *newest);
}

// The sites the site facts added since `mark` touch: a deployment's site and the sites its unit
// was deployed at (its deployment there ends), a removal's unit's, a unit's own meaning's or
// calibration's. None (every site then) when a fact is for every unit's data set or when the
// facts are not those before and the added (a role disowned since).
std::optional<std::vector<QString>> sitesTouched(PgConnection& pg,
                                                 std::pair<long long, long long> mark,
                                                 long long now, std::chrono::milliseconds timeout,
                                                 std::string& why) {
    const PgParam since = PgParam::text(std::to_string(mark.second));
    const std::string added = "(SELECT kind, payload FROM xrq.owned_site_facts WHERE kind IN "
                              "('deployment', 'removal', 'meaning', 'calibration') AND arrival > "
                              "$1) n";
    PgResult r = pg.exec("SELECT pg_catalog.count(*), pg_catalog.count(*) FILTER (WHERE "
                         "COALESCE(n.payload ->> 'unit', '') = '') FROM " +
                             added,
                         {since}, timeout);
    if (!r.ok() || r.rows() != 1) {
        why = "the site facts added not read: " + r.error();
        return std::nullopt;
    }
    const auto count = fleet::integerAt(r, 0, 0, 0, kMost);
    if (!count || mark.first + *count != now || r.value(0, 1) != "0")
        return std::nullopt;
    r = pg.exec("SELECT DISTINCT s FROM (SELECT n.payload ->> 'site' AS s FROM " + added +
                    " WHERE n.kind = 'deployment' UNION SELECT u.site FROM " + added +
                    " JOIN xrq.derived_site_units u ON u.unit = n.payload ->> 'unit') x WHERE s "
                    "IS NOT NULL ORDER BY 1",
                {since}, timeout);
    if (!r.ok()) {
        why = "the site facts added not read: " + r.error();
        return std::nullopt;
    }
    std::vector<QString> out;
    for (int i = 0; i < r.rows(); ++i)
        out.push_back(QString::fromStdString(r.value(i, 0)));
    return out;
}

// The sites whose pieces differ from what they are built from: those the site facts added
// touch (every site of the facts when that cannot be told, and those no longer there, to be
// emptied) and those whose units' series changed. `settle`: the site facts' signature the
// others then stand at (set after the sites are built again), where only some were touched.
bool sitesBehind(PgConnection& pg, std::chrono::milliseconds timeout, std::vector<QString>& out,
                 std::optional<std::string>& settle, std::string& why) {
    PgResult r = pg.exec(std::string("SELECT g.site, g.site_facts = f.facts, g.series = "
                                     "COALESCE(c.series, ''), g.site_facts, f.facts FROM "
                                     "xrq.derived_sites g CROSS JOIN (SELECT ") +
                             kSiteFactsSignatureSql + " AS facts) f LEFT JOIN " +
                             kSitesSeriesSignaturesSql + "ON c.site = g.site ORDER BY 1",
                         {}, timeout);
    if (!r.ok()) {
        why = "the sites' pieces not read: " + r.error();
        return false;
    }
    bool facts = r.rows() == 0;
    // The rows' earliest mark: the facts added since then are those to look at.
    bool marked = r.rows() > 0;
    std::pair<long long, long long> oldest{0, std::numeric_limits<long long>::max()};
    for (int i = 0; i < r.rows(); ++i) {
        facts = facts || r.value(i, 1) != "t";
        if (r.value(i, 2) != "t")
            out.push_back(QString::fromStdString(r.value(i, 0)));
        const auto mark = factsMark(r.value(i, 3));
        marked = marked && mark;
        if (mark && mark->second < oldest.second)
            oldest = *mark;
    }
    if (!facts)
        return true;
    const auto now = r.rows() > 0 ? factsMark(r.value(0, 4)) : std::nullopt;
    if (marked && now) {
        std::optional<std::vector<QString>> touched =
            sitesTouched(pg, oldest, now->first, timeout, why);
        if (!why.empty())
            return false;
        if (touched) {
            for (const QString& site : *touched)
                if (std::find(out.begin(), out.end(), site) == out.end())
                    out.push_back(site);
            settle = r.value(0, 4);
            return true;
        }
    }
    out.clear();
    for (int i = 0; i < r.rows(); ++i)
        out.push_back(QString::fromStdString(r.value(i, 0)));
    const fleet::SiteFacts all = fleet::readSiteFacts(pg, timeout);
    if (!all.ok) {
        why = "site facts not read: " + all.error.toStdString();
        return false;
    }
    for (const fleet::Site& s : all.sites)
        if (std::find(out.begin(), out.end(), s.code) == out.end())
            out.push_back(s.code);
    return true;
}

// The pieces of every site behind its signatures built again, each site in turn; false when
// the server could not be read or written at all (`why`).
bool deriveSites(PgConnection& pg, std::chrono::milliseconds timeout, DeriveReport& report,
                 std::string& why) {
    std::vector<QString> sites;
    std::optional<std::string> settle;
    if (!sitesBehind(pg, timeout, sites, settle, why))
        return false;
    for (const QString& code : sites) {
        why.clear();
        if (deriveSite(pg, code, timeout, why) == SiteOutcome::Built) {
            ++report.sites;
            continue;
        }
        if (!pg.isOpen())
            return false;
        ++report.failed;
        report.problems << QStringLiteral("site %1: %2").arg(code, QString::fromStdString(why));
        // Held as not built, so that nothing is read from its pieces and it is tried again.
        const PgResult r = pg.exec(
            std::string("INSERT INTO xrq.derived_sites (site, signature, site_facts, series, "
                        "served, why) SELECT $1, '', ") +
                kSiteFactsSignatureSql +
                ", 'not built', false, $2 ON CONFLICT (site) DO UPDATE SET series = 'not built', "
                "served = false, why = EXCLUDED.why",
            {PgParam::text(code.toStdString()), PgParam::text(why)}, timeout);
        if (!r.ok()) {
            why = "site state not written: " + r.error();
            return false;
        }
    }
    if (settle) {
        // The sites the added facts do not touch stand as they were, at the facts as read.
        std::vector<std::string> built;
        for (const QString& site : sites)
            built.push_back(site.toStdString());
        const PgResult r =
            pg.exec("UPDATE xrq.derived_sites SET site_facts = $1 WHERE site_facts <> $1 AND "
                    "NOT (site = ANY ($2::text[]))",
                    {PgParam::text(*settle), PgParam::text(quotedArray(built))}, timeout);
        if (!r.ok()) {
            why = "the sites' state not written: " + r.error();
            return false;
        }
    }
    return true;
}

} // namespace

platform::Result<DeriveReport> deriveObservations(fleet::PgConnection& pg, bool rebuild,
                                                  std::chrono::milliseconds timeout,
                                                  DeriveMemory* memory) {
    DeriveReport report;
    if (rebuild) {
        PgResult r = pg.exec("BEGIN", {}, timeout);
        if (r.ok())
            r = pg.exec(kLockSql, {}, timeout);
        if (r.ok())
            r = pg.exec("TRUNCATE xrq.derived_observations, xrq.derived_datastreams, "
                        "xrq.derived_titles, xrq.derived_series, xrq.derived_site_pieces, "
                        "xrq.derived_site_units, xrq.derived_sites",
                        {}, timeout);
        if (r.ok())
            r = pg.exec("COMMIT", {}, timeout);
        if (!r.ok()) {
            pg.exec("ROLLBACK", {}, timeout);
            return platform::makeError(platform::ErrorKind::Server,
                                       "the derived copy not emptied: " + r.error());
        }
    }
    std::vector<Behind> behind;
    std::string why;
    if (!behindSeries(pg, timeout, behind, why))
        return platform::makeError(platform::ErrorKind::Server, why);
    for (const Behind& b : behind) {
        const auto key = std::pair(b.unit, b.dataSet);
        if (memory) {
            const auto it = memory->failedAt.find(key);
            if (it != memory->failedAt.end() && it->second == b.signature.text()) {
                ++report.skipped;
                continue;
            }
        }
        why.clear();
        long long written = 0;
        const Outcome o = deriveOne(pg, b, rebuild, timeout, written, why);
        if (!pg.isOpen())
            return platform::makeError(platform::ErrorKind::Server,
                                       "the server went while deriving: " + why);
        report.rows += written;
        switch (o) {
        case Outcome::Whole:
            ++report.whole;
            break;
        case Outcome::Appended:
            ++report.appended;
            break;
        case Outcome::Skipped:
            ++report.skipped;
            break;
        case Outcome::Failed:
            ++report.failed;
            report.problems << QStringLiteral("%1, data set %2: %3")
                                   .arg(b.unit, dataSetLabel(b.dataSet),
                                        QString::fromStdString(why));
            if (memory)
                memory->failedAt[key] = b.signature.text();
            break;
        }
    }
    // Then the sites' pieces, over the series as just derived.
    if (!deriveSites(pg, timeout, report, why))
        return platform::makeError(platform::ErrorKind::Server, why);
    return report;
}

ObservationDeriver::ObservationDeriver(std::string conninfo, std::chrono::milliseconds timeout,
                                       std::function<void(const QString&)> log,
                                       std::function<void()> passed)
    : m_conninfo(std::move(conninfo)), m_timeout(timeout), m_log(std::move(log)),
      m_passed(std::move(passed)) {}

ObservationDeriver::~ObservationDeriver() {
    stop();
}

void ObservationDeriver::start() {
    if (m_thread.joinable() || pipe2(m_stop, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_thread = std::thread([this] { run(); });
}

void ObservationDeriver::stop() {
    if (!m_thread.joinable())
        return;
    const char one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_stop[1], &one, 1);
    m_thread.join();
    ::close(m_stop[0]);
    ::close(m_stop[1]);
    m_stop[0] = m_stop[1] = -1;
}

// On the deriver's own thread.
void ObservationDeriver::run() {
    DeriveMemory memory;
    const auto retryAfter = std::chrono::seconds(30);
    for (;;) {
        PgConnection pg(m_stop[0]);
        if (!pg.connect(m_conninfo, m_timeout, m_timeout)) {
            m_log(QStringLiteral("the deriver did not connect: %1")
                      .arg(QString::fromStdString(pg.error())));
        } else if (!pg.exec("LISTEN xrq_series_arrivals", {}, m_timeout).ok()) {
            m_log(QStringLiteral("the deriver could not listen for arrivals"));
        } else {
            for (;;) {
                const auto started = std::chrono::steady_clock::now();
                const platform::Result<DeriveReport> done =
                    deriveObservations(pg, false, m_timeout, &memory);
                ++m_passes;
                if (m_passed)
                    m_passed();
                if (!done) {
                    m_log(QStringLiteral("derived copy not brought up to date: %1")
                              .arg(QString::fromStdString(done.error().text)));
                    break;
                }
                const DeriveReport& d = done.value();
                if (d.whole + d.appended + d.failed + d.sites > 0)
                    m_log(QStringLiteral("derived copy up to date: %1 series whole, %2 "
                                         "appended, %6 sites' pieces, %3 Observations written "
                                         "in %4 ms%5")
                              .arg(d.whole)
                              .arg(d.appended)
                              .arg(d.rows)
                              .arg(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count())
                              .arg(d.failed ? QStringLiteral("; not derived: ") +
                                                  d.problems.join(QStringLiteral("; "))
                                            : QString())
                              .arg(d.sites));
                const auto notice = pg.waitForNotice(std::chrono::hours(1));
                if (notice == PgConnection::Notice::Stopped)
                    return;
                if (notice == PgConnection::Notice::Failed)
                    break;
                // Notified, or an hour passed: a pass either way (the notifications sent
                // meanwhile were taken with the one that woke it).
            }
        }
        pollfd stop{m_stop[0], POLLIN, 0};
        if (::poll(&stop, 1, int(std::chrono::milliseconds(retryAfter).count())) > 0)
            return;
    }
}

} // namespace office
