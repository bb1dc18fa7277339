// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/observation_deriver.h"

#include "fleet/server_values.h"
#include "office/office_reads.h"
#include "office/plot_buckets.h"
#include "platform/checked_number.h"
#include "series/server_series.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xxhash.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
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

// The Observations of records [from, end) of `d` for each Datastream (by field), inserted in
// statements of kRowsPerInsert.
bool insertRows(PgConnection& pg, const Derived& d, std::size_t from,
                const std::vector<std::pair<int, std::int64_t>>& streams,
                std::chrono::milliseconds timeout, long long& written, std::string& why) {
    struct Columns {
        std::string stream, ordinal, segment, place, utc, offset, result, flags, record;
        std::size_t rows = 0;
        void open() {
            for (std::string* s :
                 {&stream, &ordinal, &segment, &place, &utc, &offset, &result, &flags, &record})
                *s = "{";
            rows = 0;
        }
        void comma() {
            if (rows == 0)
                return;
            for (std::string* s :
                 {&stream, &ordinal, &segment, &place, &utc, &offset, &result, &flags, &record})
                *s += ',';
        }
    } c;
    const auto flush = [&]() {
        if (c.rows == 0)
            return true;
        std::vector<PgParam> params;
        for (std::string* s : {&c.stream, &c.ordinal, &c.segment, &c.place, &c.utc, &c.offset,
                               &c.result, &c.flags, &c.record})
            params.push_back(PgParam::text(*s + "}"));
        const PgResult r = pg.exec(
            "INSERT INTO xrq.derived_observations (datastream, ordinal, segment, place, utc, "
            "utc_offset, result, flags, record) SELECT * FROM ROWS FROM ("
            "pg_catalog.unnest($1::bigint[]), pg_catalog.unnest($2::bigint[]), "
            "pg_catalog.unnest($3::integer[]), pg_catalog.unnest($4::bigint[]), "
            "pg_catalog.unnest($5::double precision[]), pg_catalog.unnest($6::integer[]), "
            "pg_catalog.unnest($7::double precision[]), pg_catalog.unnest($8::text[]), "
            "pg_catalog.unnest($9::text[]))",
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
    for (std::size_t i = from; i < d.rows.size(); ++i) {
        const Row& row = d.rows[i];
        if (!row.known)
            continue;
        recordValues(row.line, values);
        const std::string flags = utf8Of(row.flags), line = utf8Of(row.line);
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
                        "xrq.derived_titles, xrq.derived_series",
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
                if (d.whole + d.appended + d.failed > 0)
                    m_log(QStringLiteral("derived copy up to date: %1 series whole, %2 "
                                         "appended, %3 Observations written in %4 ms%5")
                              .arg(d.whole)
                              .arg(d.appended)
                              .arg(d.rows)
                              .arg(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count())
                              .arg(d.failed ? QStringLiteral("; not derived: ") +
                                                  d.problems.join(QStringLiteral("; "))
                                            : QString()));
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
