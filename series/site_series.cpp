// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/site_series.h"

#include "series/download_text.h"
#include "series/record_time.h"
#include "series/series_share.h"
#include "series/server_series.h"

#include "platform/checked_number.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

namespace series {

std::string SiteProperty::header() const {
    const std::string code = uom.code.toStdString();
    return code.empty() || code == "1" ? name : name + " [" + code + "]";
}

namespace {

// One unit's data set at the site: its deployments there and its columns' titles.
struct PlacedSource {
    QString unit, dataSet;
    std::string unitText, dataSetText;
    std::vector<const fleet::Deployment*> spans;
    std::vector<std::string> titles; // fieldTitles
    // The facts' meanings and calibrations that can apply to this unit's data set (its own and
    // every unit's), in the facts' order: meaningOf and calibrationOf give over them what they
    // give over all the facts, without comparing every fact's names at every cell.
    std::vector<fleet::ColumnMeaning> meanings;
    std::vector<fleet::Calibration> calibrations;
    // Per column, the property each meaning there (none: by its title) was placed under.
    mutable std::vector<std::vector<std::pair<const fleet::ColumnMeaning*, std::size_t>>> placed;
};

PlacedSource placedSource(const fleet::SiteFacts& facts,
                          const std::vector<fleet::Deployment>& deployments,
                          const std::string& unit, const RecordSource& source) {
    PlacedSource p;
    p.unit = QString::fromStdString(unit);
    // Latin-1 bytes, as the facts name a data set in text (a column's meaning, a calibration).
    p.dataSet = QString::fromLatin1(source.info.name.data(), qsizetype(source.info.name.size()));
    p.unitText = unit;
    p.dataSetText = source.info.name;
    for (const fleet::Deployment& d : deployments)
        if (d.unit == p.unit)
            p.spans.push_back(&d);
    if (p.spans.empty())
        return p;
    p.titles = fieldTitles(source, 64);
    for (const fleet::ColumnMeaning& m : facts.meanings)
        if (m.dataSet == p.dataSet && (m.unit.isEmpty() || m.unit == p.unit))
            p.meanings.push_back(m);
    for (const fleet::Calibration& c : facts.calibrations)
        if (c.dataSet == p.dataSet && (c.unit.isEmpty() || c.unit == p.unit))
            p.calibrations.push_back(c);
    return p;
}

bool insideSpans(const PlacedSource& u, double utcSeconds) {
    const double ms = utcSeconds * 1000;
    return std::any_of(u.spans.begin(), u.spans.end(), [&](const fleet::Deployment* d) {
        return ms >= double(d->fromMs) && (!d->toMs || ms < double(*d->toMs));
    });
}

// The property of column i + 1 of `u` under meaning `m` (none: by its title, else its number).
SiteProperty columnProperty(const PlacedSource& u, const fleet::ColumnMeaning* m, std::size_t i) {
    SiteProperty p;
    if (m) {
        p.name = m->property.toStdString();
        p.definition = m->definition.toStdString();
        p.uom = m->uom;
    } else {
        std::string title;
        if (i < u.titles.size() && !u.titles[i].empty())
            appendUtf8(title, u.titles[i]);
        p.name = title.empty() ? "field_" + std::to_string(i + 1) : title;
        p.dataSet = u.dataSetText;
    }
    return p;
}

// The site's properties as they first appear, each record's cells placed under them: the one
// place a record of a unit becomes a row of the site's series (built whole, or streamed from
// the server's derived copy).
class PropertyPlacer {
public:
    PropertyPlacer(std::vector<SiteProperty>& properties) : m_properties(properties) {
        for (std::size_t i = 0; i < properties.size(); ++i)
            m_index.emplace(keyOf(properties[i]), i);
    }
    // The record's cells into `row` (values and raw, as wide as the properties then known);
    // a property not known yet is added unless `fixed` (then its cells are passed over).
    void place(const PlacedSource& u, std::string_view line, double utcSeconds, SiteRow& row,
               bool fixed = false) {
        const std::int64_t ms = std::int64_t(utcSeconds * 1000);
        row.values.assign(m_properties.size(), std::nullopt);
        row.raw.resize(m_properties.size());
        for (std::string& r : row.raw)
            r.clear();
        fieldsOf(line, m_fields);
        for (std::size_t i = 0; i < m_fields.size(); ++i) {
            const int column = int(i) + 1;
            const auto raw = platform::parseFinite(m_fields[i], -1e300, 1e300);
            const fleet::ColumnMeaning* m =
                u.meanings.empty() ? nullptr
                                   : fleet::meaningOf(u.meanings, u.unit, u.dataSet, column, ms);
            if (!m && !raw)
                continue; // the time stamp's cells, text: not a property
            if (u.placed.size() <= i)
                u.placed.resize(i + 1);
            auto& known = u.placed[i];
            auto seen = std::find_if(known.begin(), known.end(),
                                     [&](const auto& k) { return k.first == m; });
            if (seen == known.end()) {
                known.emplace_back(m, propertyOf(u, m, i, fixed));
                seen = known.end() - 1;
                row.values.resize(m_properties.size());
                row.raw.resize(m_properties.size());
            }
            const std::size_t at = seen->second;
            if (at == kNone)
                continue;
            row.raw[at].assign(m_fields[i]);
            if (raw) {
                const fleet::Calibration* c =
                    u.calibrations.empty()
                        ? nullptr
                        : fleet::calibrationOf(u.calibrations, u.unit, u.dataSet, column, ms);
                row.values[at] = c ? c->a * *raw + c->b : *raw;
            }
        }
    }

private:
    static constexpr std::size_t kNone = std::size_t(-1);
    // The property of column i + 1 of `u` under meaning `m` (none: by its title), added when
    // not known yet unless `fixed` (then kNone).
    std::size_t propertyOf(const PlacedSource& u, const fleet::ColumnMeaning* m, std::size_t i,
                           bool fixed) {
        SiteProperty p = columnProperty(u, m, i);
        const std::string key = keyOf(p);
        const auto it = m_index.find(key);
        if (it != m_index.end())
            return it->second;
        if (fixed)
            return kNone;
        m_index.emplace(key, m_properties.size());
        m_properties.push_back(std::move(p));
        return m_properties.size() - 1;
    }
    // A meaning's property and unit, else the data set and the name.
    static std::string keyOf(const SiteProperty& p) {
        return p.dataSet.empty() ? "m\x1f" + p.name + "\x1f" + p.uom.code.toStdString()
                                 : "f\x1f" + p.dataSet + "\x1f" + p.name;
    }
    std::vector<SiteProperty>& m_properties;
    std::map<std::string, std::size_t> m_index;
    std::vector<std::string_view> m_fields;
};

// A row's own fields beside its cells: where it is, its time and its flags.
void describeRow(SiteRow& row, const PlacedSource& u, double utcSeconds, int offsetSeconds,
                 std::string flags, int segment, std::uint64_t index, std::string_view line) {
    row.utc = utcSeconds;
    row.unit = u.unitText;
    row.dataSet = u.dataSetText;
    row.flags = std::move(flags);
    row.segment = segment;
    row.index = index;
    row.unitTime = std::string(stampText(line));
    row.offsetSeconds = offsetSeconds;
}

// The order of a site's rows: by UTC, then unit (ties in the order the units' records came).
bool rowBefore(double aUtc, const std::string& aUnit, double bUtc, const std::string& bUnit) {
    return aUtc != bUtc ? aUtc < bUtc : aUnit < bUnit;
}

// Every row as wide as the properties, then by UTC, then unit (ties in the order the units'
// records came): the order of a site's series however it was read.
void orderRows(SiteSeries& out) {
    for (SiteRow& r : out.rows) {
        r.values.resize(out.properties.size());
        r.raw.resize(out.properties.size());
    }
    // By UTC, then unit. Each unit's rows mostly come in order already: sorted only when
    // they are not, and then by their places, each row moved once (not swapped around).
    const auto before = [](const SiteRow& a, const SiteRow& b) {
        return rowBefore(a.utc, a.unit, b.utc, b.unit);
    };
    if (!std::is_sorted(out.rows.begin(), out.rows.end(), before)) {
        std::vector<std::size_t> order(out.rows.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return before(out.rows[a], out.rows[b]);
        });
        std::vector<SiteRow> sorted;
        sorted.reserve(out.rows.size());
        for (const std::size_t i : order)
            sorted.push_back(std::move(out.rows[i]));
        out.rows = std::move(sorted);
    }
}

} // namespace

std::vector<SiteSwap> swapsOf(const std::vector<fleet::Deployment>& deployments) {
    std::vector<SiteSwap> swaps;
    for (const fleet::Deployment& d : deployments) {
        SiteSwap s{d.fromMs, {}, d.unit.toStdString()};
        for (const fleet::Deployment& e : deployments)
            if (e.toMs && *e.toMs == d.fromMs && e.unit != d.unit)
                s.fromUnit = e.unit.toStdString();
        swaps.push_back(s);
        if (d.toMs &&
            std::none_of(deployments.begin(), deployments.end(), [&](const fleet::Deployment& e) {
                return e.fromMs == *d.toMs && e.unit != d.unit;
            }))
            swaps.push_back({*d.toMs, d.unit.toStdString(), {}});
    }
    std::sort(swaps.begin(), swaps.end(),
              [](const SiteSwap& a, const SiteSwap& b) { return a.atMs < b.atMs; });
    return swaps;
}

SiteSeries buildSiteSeries(const fleet::SiteFacts& facts, const std::string& site,
                           const std::vector<UnitSource>& sources, std::optional<double> fromUtc,
                           std::optional<double> toUtc) {
    SiteSeries out;
    out.site = site;
    out.deployments = facts.deploymentsAt(QString::fromStdString(site));
    out.swaps = swapsOf(out.deployments);
    PropertyPlacer placer(out.properties);
    for (const UnitSource& u : sources) {
        const PlacedSource placed = placedSource(facts, out.deployments, u.unit, u.source);
        if (placed.spans.empty())
            continue;
        RecordFlags flags(u.source.info.usualInterval);
        const bool read =
            forEachRecordUtc(u.source, [&](const RecordRef& r, bool parsed, double unitSeconds,
                                           const RecordClock::Utc& utc) {
                std::string flagText = flags.next(r, parsed, unitSeconds, utc);
                if (!utc.known) {
                    ++out.withoutUtc;
                    return true;
                }
                if (!insideSpans(placed, utc.seconds)) {
                    ++out.outsideDeployments;
                    return true;
                }
                if ((fromUtc && utc.seconds < *fromUtc) || (toUtc && utc.seconds > *toUtc))
                    return true;
                SiteRow row;
                describeRow(row, placed, utc.seconds, utc.offsetSeconds, std::move(flagText),
                            r.segment, r.index, r.line);
                placer.place(placed, r.line, utc.seconds, row);
                out.rows.push_back(std::move(row));
                return true;
            });
        if (!read)
            out.told.push_back("the records of unit " + u.unit + ", data set " +
                               u.source.info.name + " were not all read");
    }
    orderRows(out);
    return out;
}

platform::Result<SiteSeries> readSiteSeries(fleet::PgConnection& c, const std::string& site,
                                            std::chrono::milliseconds timeout,
                                            std::optional<double> fromUtc,
                                            std::optional<double> toUtc) {
    using platform::ErrorKind;
    const fleet::SiteFacts facts = fleet::readSiteFacts(c, timeout, QString::fromStdString(site));
    if (!facts.ok)
        return platform::makeError(ErrorKind::Server,
                                   "site facts not read: " + facts.error.toStdString());
    if (!facts.site(QString::fromStdString(site)))
        return platform::makeError(ErrorKind::NotFound, "the server knows no site " + site);
    // Every data set of each unit deployed there, derived as the server's series are.
    std::vector<std::unique_ptr<ServerSeries>> held;
    std::vector<UnitSource> sources;
    std::vector<std::string> told;
    for (const fleet::Deployment& d : facts.deploymentsAt(QString::fromStdString(site))) {
        const std::string unit = d.unit.toStdString();
        if (std::any_of(sources.begin(), sources.end(),
                        [&](const UnitSource& s) { return s.unit == unit; }))
            continue;
        const fleet::PgResult r =
            c.exec("SELECT DISTINCT data_set FROM xrq.owned_series_places WHERE unit = $1 "
                   "ORDER BY 1",
                   {fleet::PgParam::text(unit)}, timeout);
        if (!r.ok())
            return platform::makeError(ErrorKind::Server,
                                       "series of unit " + unit + " not read: " + r.error());
        for (int i = 0; i < r.rows(); ++i) {
            auto s = std::make_unique<ServerSeries>();
            const auto [name, ordinal] = dataSetOfShared(QString::fromStdString(r.value(i, 0)));
            if (ordinal < 0) {
                told.push_back(unit + ": a data set's name on the server not read");
                continue;
            }
            if (const platform::Result<void> read = s->read(c, unit, name, ordinal); !read) {
                told.push_back(unit + ": " + read.text());
                continue;
            }
            if (!s->unread().empty())
                told.push_back(unit + ": " + s->unread().told().toStdString());
            sources.push_back({unit, s->source()});
            held.push_back(std::move(s));
        }
    }
    SiteSeries series = buildSiteSeries(facts, site, sources, fromUtc, toUtc);
    series.told.insert(series.told.end(), told.begin(), told.end());
    if (!facts.unread.empty())
        series.told.push_back(facts.unread.told().toStdString());
    return series;
}

std::pair<std::size_t, std::size_t> SiteSeries::rowsWithin(std::optional<double> fromUtc,
                                                           std::optional<double> toUtc) const {
    const auto first = fromUtc
                           ? std::lower_bound(rows.begin(), rows.end(), *fromUtc,
                                              [](const SiteRow& r, double t) { return r.utc < t; })
                           : rows.begin();
    const auto end = toUtc ? std::upper_bound(first, rows.end(), *toUtc,
                                              [](double t, const SiteRow& r) { return t < r.utc; })
                           : rows.end();
    return {std::size_t(first - rows.begin()), std::size_t(std::max(first, end) - rows.begin())};
}

std::size_t SiteSeries::bytes() const {
    // A string's own characters count only past what it holds in place (15 in libstdc++):
    // a record's cells are mostly shorter.
    const auto text = [](const std::string& t) {
        return sizeof t + (t.size() > 15 ? t.capacity() + 1 : 0);
    };
    std::size_t n = sizeof *this + deployments.size() * sizeof(fleet::Deployment) +
                    swaps.size() * sizeof(SiteSwap) + properties.size() * sizeof(SiteProperty);
    for (const SiteRow& r : rows) {
        n += sizeof r + text(r.unit) - sizeof r.unit + text(r.dataSet) - sizeof r.dataSet +
             text(r.flags) - sizeof r.flags + r.values.capacity() * sizeof(std::optional<double>);
        for (const std::string& raw : r.raw)
            n += text(raw);
        n += 32; // the two vectors' blocks as the allocator keeps them
    }
    return n;
}

namespace {

// The site's CSV as rows come: the header of its properties, then each row, handed to the
// sink in pieces of about 64 KiB. One writer for a series held whole and one streamed from
// the server's derived copy, so that both give the same bytes.
class SiteCsvWriter {
public:
    SiteCsvWriter(const std::vector<SiteProperty>& properties,
                  const std::function<bool(std::string_view)>& sink)
        : m_properties(properties.size()), m_sink(sink) {
        m_out.reserve(kPiece + 4096);
        m_out += "utc,unit,data_set";
        for (const SiteProperty& p : properties) {
            const std::string header = p.header();
            m_out += ',';
            appendCell(m_out, header, false);
            m_out += ',';
            appendCell(m_out, header + " raw", false);
        }
        m_out += ",flags\r\n";
    }
    bool row(const SiteRow& r) {
        appendIsoUtc(m_out, r.utc);
        m_out += ',';
        appendCell(m_out, r.unit, false);
        m_out += ',';
        appendCell(m_out, r.dataSet);
        for (std::size_t i = 0; i < m_properties; ++i) {
            m_out += ',';
            if (i < r.values.size() && r.values[i]) {
                // Numbers as "%.10g" writes them, by std::to_chars: no format parsed or locale
                // asked per cell (perf showed snprintf the writer's largest part).
                const auto written = std::to_chars(m_number, m_number + sizeof m_number,
                                                   *r.values[i], std::chars_format::general, 10);
                m_out.append(m_number, written.ptr);
            }
            m_out += ',';
            if (i < r.raw.size())
                appendCell(m_out, r.raw[i]);
        }
        m_out += ',';
        if (!r.flags.empty())
            appendCell(m_out, r.flags, false);
        m_out += "\r\n";
        ++m_rows;
        if (m_out.size() <= kPiece)
            return true;
        const bool taken = m_sink(m_out);
        m_out.clear();
        return taken;
    }
    // The rows written, or -1 when the sink stopped.
    long long finish() { return !m_out.empty() && !m_sink(m_out) ? -1 : m_rows; }

private:
    static constexpr std::size_t kPiece = 1 << 16;
    std::size_t m_properties;
    const std::function<bool(std::string_view)>& m_sink;
    std::string m_out;
    long long m_rows = 0;
    char m_number[64];
};

} // namespace

long long exportSiteCsv(const SiteSeries& series, const std::function<bool(std::string_view)>& sink,
                        std::optional<double> fromUtc, std::optional<double> toUtc) {
    SiteCsvWriter writer(series.properties, sink);
    const auto [first, end] = series.rowsWithin(fromUtc, toUtc);
    for (std::size_t at = first; at < end; ++at)
        if (!writer.row(series.rows[at]))
            return -1;
    return writer.finish();
}

// ---- A site's series read from the server's derived copy ----

namespace {

using fleet::PgParam;
using fleet::PgResult;

// Rows fetched a statement: some megabytes of text, each statement well within its time.
constexpr int kCopyRowsPerFetch = 20000;
constexpr std::int64_t kMostId = std::numeric_limits<std::int64_t>::max();

// The server's UTF-8 text as the Latin-1 bytes the series holds, into `out`.
void latin1Of(std::string_view utf8, std::string& out) {
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (unsigned char)c < 0x80; })) {
        out.assign(utf8);
        return;
    }
    const QByteArray b = QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).toLatin1();
    out.assign(b.constData(), std::size_t(b.size()));
}

std::string latin1Of(std::string_view utf8) {
    std::string out;
    latin1Of(utf8, out);
    return out;
}

std::string numberText(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc{} ? end : buf);
}

// The UTC bounds a source's rows are read within: its deployments' hull, cut by a range
// (a second's slack each side: the deployments are exact in milliseconds, checked again
// for each row).
std::pair<double, double> boundsOf(const PlacedSource& u, std::optional<double> fromUtc,
                                   std::optional<double> toUtc) {
    double lo = 1e300, hi = -1e300;
    for (const fleet::Deployment* d : u.spans) {
        lo = std::min(lo, double(d->fromMs) / 1000 - 1);
        hi = std::max(hi, d->toMs ? double(*d->toMs) / 1000 + 1 : 1e15);
    }
    if (fromUtc)
        lo = std::max(lo, *fromUtc);
    if (toUtc)
        hi = std::min(hi, *toUtc);
    return {lo, hi};
}

// One source's rows from the copy within [lo, hi], in pieces: by the series' order
// (`inTime` false) or by UTC then the series' order. Columns: ordinal, utc, flags, record,
// and where asked segment, place, utc_offset.
class CopyRows {
public:
    // `lock`: held around each statement on `c`, which the sources of one reader share.
    // `withPlace`: each row's place in its series read as well (next's `place`); else only
    // what a CSV writes, so that the server formats nothing more.
    CopyRows(fleet::PgConnection& c, std::mutex& lock, std::int64_t stream,
             std::pair<double, double> bounds, bool inTime, std::chrono::milliseconds timeout,
             bool withPlace = false)
        : m_c(c), m_lock(lock), m_stream(std::to_string(stream)), m_bounds(bounds),
          m_inTime(inTime), m_withPlace(withPlace), m_timeout(timeout) {}
    ~CopyRows() {
        if (m_next.valid())
            m_next.wait(); // a statement under way ends within its time-out
    }
    CopyRows(const CopyRows&) = delete;
    CopyRows& operator=(const CopyRows&) = delete;
    // Where a record is in its unit's series and the offset its UTC was worked out with: what
    // an Observation tells beside what a CSV writes.
    struct Place {
        int segment = 0;
        std::uint64_t index = 0;
        int offset = 0;
    };
    // The next row into the fields given (`place` when asked); false at the end or on a
    // failure (failed()).
    bool next(std::int64_t& ordinal, double& utc, std::string& flags, std::string& record,
              Place* place = nullptr) {
        for (;;) {
            if (m_at < m_result.rows()) {
                const int i = m_at++;
                const auto o = platform::parseInteger(m_result.view(i, 0), 0, kMostOrdinal);
                const auto u = platform::parseFinite(m_result.view(i, 1), -1e13, 1e13);
                if (!o || !u)
                    continue; // rows the deriver writes are always in range
                if (place && m_withPlace) {
                    const auto segment = platform::parseInteger(m_result.view(i, 4), 1,
                                                                std::numeric_limits<int>::max());
                    const auto index = platform::parseInteger(m_result.view(i, 5), 0, kMostOrdinal);
                    const auto offset = platform::parseInteger(m_result.view(i, 6), -86400, 86400);
                    if (!segment || !index || !offset)
                        continue;
                    *place = {int(*segment), std::uint64_t(*index), int(*offset)};
                }
                ordinal = *o;
                utc = *u;
                latin1Of(m_result.view(i, 2), flags);
                latin1Of(m_result.view(i, 3), record);
                return true;
            }
            if (m_done || !take())
                return false;
        }
    }
    bool failed() const { return !m_why.empty(); }
    const std::string& why() const { return m_why; }

private:
    static constexpr std::int64_t kMostOrdinal = std::numeric_limits<std::int64_t>::max();
    // Where a piece starts: after the last row of the one before (none: the first).
    struct After {
        std::string utc, ordinal;
    };
    // One piece's statement: on the reader's thread or on the one reading ahead.
    PgResult query(const std::optional<After>& after) {
        std::string sql = m_withPlace ? "SELECT ordinal, utc, flags, record, segment, place, "
                                        "utc_offset FROM xrq.derived_observations "
                                      : "SELECT ordinal, utc, flags, record FROM "
                                        "xrq.derived_observations ";
        sql += "WHERE datastream = $1 AND utc >= $2 AND utc <= $3";
        if (after)
            sql += m_inTime ? " AND (utc, ordinal) > ($5::double precision, $6::bigint)"
                            : " AND ordinal > $5::bigint";
        sql += m_inTime ? " ORDER BY utc, ordinal LIMIT $4" : " ORDER BY ordinal LIMIT $4";
        std::vector<PgParam> p = {PgParam::text(m_stream),
                                  PgParam::text(numberText(m_bounds.first)),
                                  PgParam::text(numberText(m_bounds.second)),
                                  PgParam::text(std::to_string(kCopyRowsPerFetch))};
        if (after && m_inTime)
            p.push_back(PgParam::text(after->utc));
        if (after)
            p.push_back(PgParam::text(after->ordinal));
        // The index gives the order asked: no sort. The server's estimate of a Datastream's
        // rows past a time comes from the whole table's spread of times, which is not the
        // Datastream's, and where it guesses too few it reads every row left by a bitmap and
        // sorts them (spilling to disk) for each piece: measured, the CSV's largest cost.
        // Sorting is therefore put out of the plan's reach, for this statement alone.
        const std::lock_guard<std::mutex> hold(m_lock);
        const PgResult begun =
            m_c.exec("BEGIN READ ONLY; SET LOCAL enable_sort = off", {}, m_timeout);
        if (!begun.ok())
            return begun;
        PgResult rows = m_c.exec(sql, p, m_timeout);
        // Ends the transaction whatever the statement's outcome (a rollback after a refusal).
        const PgResult ended = m_c.exec("COMMIT", {}, m_timeout);
        return rows.ok() && !ended.ok() ? ended : rows;
    }
    // The next piece: the one read ahead, else read now; the one after it then read ahead on
    // a thread of its own while this one is written (the server's work beside ours).
    bool take() {
        m_result = m_next.valid() ? m_next.get() : query(std::nullopt);
        m_at = 0;
        if (!m_result.ok()) {
            m_why = "the derived copy not read: " + m_result.error();
            return false;
        }
        const int rows = m_result.rows();
        m_done = rows < kCopyRowsPerFetch;
        if (!m_done) {
            After after{m_result.value(rows - 1, 1), m_result.value(rows - 1, 0)};
            m_next = std::async(std::launch::async,
                                [this, after = std::move(after)] { return query(after); });
        }
        return rows > 0;
    }
    fleet::PgConnection& m_c;
    std::mutex& m_lock;
    std::string m_stream;
    std::pair<double, double> m_bounds;
    bool m_inTime;
    bool m_withPlace;
    std::chrono::milliseconds m_timeout;
    PgResult m_result;
    std::future<PgResult> m_next;
    int m_at = 0;
    bool m_done = false;
    std::string m_why;
};

// The title lines the copy keeps of a series, as a source fieldTitles reads.
bool readTitles(fleet::PgConnection& c, std::int64_t series, RecordSource& titles,
                std::chrono::milliseconds timeout, std::string& why) {
    const PgResult r = c.exec("SELECT segment, line FROM xrq.derived_titles WHERE series = $1 "
                              "ORDER BY segment",
                              {PgParam::text(std::to_string(series))}, timeout);
    if (!r.ok()) {
        why = "the derived titles not read: " + r.error();
        return false;
    }
    for (int i = 0; i < r.rows(); ++i) {
        const auto segment = platform::parseInteger(r.value(i, 0), 0, 1 << 30);
        if (!segment)
            continue;
        if (*segment == 0)
            titles.info.columnTitles = latin1Of(r.value(i, 1));
        else
            titles.segmentTitles[int(*segment)] = latin1Of(r.value(i, 1));
    }
    return true;
}

} // namespace

bool siteCopyOpen() {
    const char* door = std::getenv("XRQ_SITE_FROM_COPY");
    return !door || std::string_view(door) != "0";
}

// Whole: the facts, then each unit's data sets checked against the copy's state in turn.
platform::Result<SiteCopyPlan> planSiteFromCopy(fleet::PgConnection& c, const std::string& site,
                                                std::chrono::milliseconds timeout) {
    SiteCopyPlan plan;
    plan.site = site;
    plan.facts = fleet::readSiteFacts(c, timeout, QString::fromStdString(site));
    if (!plan.facts.ok)
        return platform::makeError(platform::ErrorKind::Server,
                                   "site facts not read: " + plan.facts.error.toStdString());
    if (!plan.facts.site(QString::fromStdString(site)))
        return platform::makeError(platform::ErrorKind::NotFound,
                                   "the server knows no site " + site);
    const std::vector<fleet::Deployment> deployments =
        plan.facts.deploymentsAt(QString::fromStdString(site));
    plan.signature =
        std::to_string(plan.facts.factsRead) + "/" + std::to_string(plan.facts.newestArrival);
    for (const fleet::Deployment& d : deployments) {
        const std::string unit = d.unit.toStdString();
        if (std::any_of(plan.sources.begin(), plan.sources.end(),
                        [&](const SiteCopyPlan::Source& s) { return s.unit == unit; }))
            continue;
        // Each data set as readSiteSeries takes them, its state beside its facts' signature.
        const PgResult r = c.exec(
            std::string("SELECT p.data_set, s.id, (s.facts, s.newest, s.trust, s.clocks) = "
                        "(a.facts, a.newest, a.trust, a.clocks), s.records, (SELECT "
                        "pg_catalog.min(d.id) FROM xrq.derived_datastreams d WHERE d.series = "
                        "s.id), concat_ws('/', s.id, s.facts, s.newest, s.trust, s.clocks, "
                        "s.records) FROM (SELECT DISTINCT data_set FROM xrq.owned_series_places "
                        "WHERE unit = $1) p LEFT JOIN xrq.derived_series s ON s.unit = $1 AND "
                        "s.data_set = p.data_set CROSS JOIN LATERAL ") +
                std::string(fleet::kDerivedSignatureOfOneSql)
                    .replace(std::string(fleet::kDerivedSignatureOfOneSql).rfind("$2"), 2,
                             "p.data_set") +
                "ORDER BY 1",
            {PgParam::text(unit)}, timeout);
        if (!r.ok()) {
            if (r.sqlState() == "42P01") { // a server before schema 13
                plan.behind = "the server keeps no derived copy of its series' titles";
                return plan;
            }
            return platform::makeError(platform::ErrorKind::Server,
                                       "series of unit " + unit + " not read: " + r.error());
        }
        for (int i = 0; i < r.rows(); ++i) {
            SiteCopyPlan::Source s;
            s.unit = unit;
            s.dataSet = r.value(i, 0);
            const auto series = platform::parseInteger(r.value(i, 1), 1, kMostId);
            const auto records = platform::parseInteger(r.value(i, 3), 0, kMostId);
            const auto stream = platform::parseInteger(r.value(i, 4), 1, kMostId);
            if (!series || r.value(i, 2) != "t") {
                plan.behind = "unit " + unit + ", data set " + s.dataSet + " not derived yet";
                return plan;
            }
            if (!stream && records.value_or(1) > 0) {
                // Records with no number in any column: none in the copy to read.
                plan.behind = "unit " + unit + ", data set " + s.dataSet + " has no Datastream";
                return plan;
            }
            s.datastream = stream.value_or(0);
            s.records = records.value_or(0);
            plan.signature += "|" + unit + "\x1f" + s.dataSet + "\x1f" + r.value(i, 5);
            std::string why;
            const auto [name, ordinal] = dataSetOfShared(QString::fromStdString(s.dataSet));
            s.titles.info.name = name;
            s.titles.info.ordinal = ordinal;
            if (!readTitles(c, *series, s.titles, timeout, why))
                return platform::makeError(platform::ErrorKind::Server, why);
            plan.sources.push_back(std::move(s));
        }
    }
    return plan;
}

namespace {

// One unit's rows from the copy within a range, each placed as the site's series places it.
struct PlacedRows {
    PlacedSource placed;
    std::unique_ptr<CopyRows> rows;
    SiteRow row;
    std::int64_t ordinal = 0;
    std::string record; // the last row's, its room kept for the next
    bool has = false;
};

bool nextPlaced(PlacedRows& s, PropertyPlacer& placer, bool fixed) {
    for (;;) {
        double utc = 0;
        std::string flags;
        std::string& record = s.record;
        s.has = s.rows->next(s.ordinal, utc, flags, record);
        if (!s.has)
            return false;
        if (!insideSpans(s.placed, utc))
            continue;
        // What the CSV writes: its time, unit, data set, flags and cells (not the unit's own
        // time, its offset or its place in the series).
        describeRow(s.row, s.placed, utc, 0, std::move(flags), 0, 0, {});
        placer.place(s.placed, record, utc, s.row, fixed);
        return true;
    }
}

std::vector<PlacedRows> openSources(fleet::PgConnection& c, std::mutex& lock,
                                    const SiteCopyPlan& plan,
                                    const std::vector<fleet::Deployment>& deployments,
                                    std::optional<double> fromUtc, std::optional<double> toUtc,
                                    bool inTime, std::chrono::milliseconds timeout) {
    std::vector<PlacedRows> out;
    for (const SiteCopyPlan::Source& s : plan.sources) {
        if (s.datastream == 0)
            continue;
        PlacedRows p;
        p.placed = placedSource(plan.facts, deployments, s.unit, s.titles);
        if (p.placed.spans.empty())
            continue;
        p.rows = std::make_unique<CopyRows>(c, lock, s.datastream,
                                            boundsOf(p.placed, fromUtc, toUtc), inTime, timeout);
        out.push_back(std::move(p));
    }
    return out;
}

} // namespace

platform::Result<std::vector<SiteProperty>>
siteCopyProperties(fleet::PgConnection& c, const SiteCopyPlan& plan, std::optional<double> fromUtc,
                   std::optional<double> toUtc, std::chrono::milliseconds timeout) {
    const std::vector<fleet::Deployment> deployments =
        plan.facts.deploymentsAt(QString::fromStdString(plan.site));
    // As they first appear: source after source, each in its series' order.
    std::vector<SiteProperty> properties;
    PropertyPlacer finder(properties);
    std::mutex lock; // the connection's, between the reader and its reading ahead
    for (PlacedRows& s : openSources(c, lock, plan, deployments, fromUtc, toUtc, false, timeout)) {
        while (nextPlaced(s, finder, false)) {
        }
        if (s.rows->failed())
            return platform::makeError(platform::ErrorKind::Server, s.rows->why());
    }
    return properties;
}

// Whole: the rows' merge in time, each handed over as it comes.
platform::Result<long long>
forEachSiteRowFromCopy(fleet::PgConnection& c, const SiteCopyPlan& plan,
                       const std::vector<SiteProperty>& properties, std::optional<double> fromUtc,
                       std::optional<double> toUtc, std::chrono::milliseconds timeout,
                       const std::function<bool(const SiteRow&)>& take, bool* stopped) {
    const std::vector<fleet::Deployment> deployments =
        plan.facts.deploymentsAt(QString::fromStdString(plan.site));
    std::vector<SiteProperty> held = properties; // the placer's, never added to (fixed)
    // The rows by UTC, then unit, then as the sources and their series give them: the order
    // buildSiteSeries sorts them into.
    std::mutex lock; // the connection's, between the reader and its reading ahead
    PropertyPlacer placer(held);
    std::vector<PlacedRows> sources =
        openSources(c, lock, plan, deployments, fromUtc, toUtc, true, timeout);
    for (PlacedRows& s : sources)
        nextPlaced(s, placer, true);
    long long handed = 0;
    for (;;) {
        PlacedRows* first = nullptr;
        for (PlacedRows& s : sources)
            if (s.has &&
                (!first || rowBefore(s.row.utc, s.row.unit, first->row.utc, first->row.unit)))
                first = &s;
        if (!first)
            break;
        if (!take(first->row)) {
            if (stopped)
                *stopped = true;
            return handed;
        }
        ++handed;
        nextPlaced(*first, placer, true);
    }
    for (const PlacedRows& s : sources)
        if (s.rows->failed())
            return platform::makeError(platform::ErrorKind::Server, s.rows->why());
    return handed;
}

platform::Result<long long> exportSiteCsvFromCopy(fleet::PgConnection& c, const SiteCopyPlan& plan,
                                                  const std::vector<SiteProperty>& properties,
                                                  const std::function<bool(std::string_view)>& sink,
                                                  std::optional<double> fromUtc,
                                                  std::optional<double> toUtc,
                                                  std::chrono::milliseconds timeout) {
    SiteCsvWriter writer(properties, sink);
    int err = 0;
    bool stopped = false;
    const platform::Result<long long> read = forEachSiteRowFromCopy(
        c, plan, properties, fromUtc, toUtc, timeout,
        [&](const SiteRow& row) {
            if (writer.row(row))
                return true;
            err = errno;
            return false;
        },
        &stopped);
    if (!read)
        return read;
    const long long rows = stopped ? -1 : writer.finish();
    if (rows < 0) {
        if (!stopped)
            err = errno;
        return platform::errnoError(err,
                                    std::string("cannot write the export: ") + std::strerror(err));
    }
    return rows;
}

// Whole: per source its records less its rows, then per deployment its rows' least and
// greatest UTC within it.
platform::Result<SiteCopyExtent> siteCopyExtent(fleet::PgConnection& c, const SiteCopyPlan& plan,
                                                std::chrono::milliseconds timeout) {
    SiteCopyExtent out;
    const std::vector<fleet::Deployment> deployments =
        plan.facts.deploymentsAt(QString::fromStdString(plan.site));
    const auto failed = [](const PgResult& r) {
        return platform::makeError(platform::ErrorKind::Server,
                                   "the derived copy not read: " + r.error());
    };
    for (const SiteCopyPlan::Source& s : plan.sources) {
        const PlacedSource placed = placedSource(plan.facts, deployments, s.unit, s.titles);
        if (placed.spans.empty() || s.datastream == 0)
            continue;
        const std::string stream = std::to_string(s.datastream);
        const PgResult held = c.exec("SELECT pg_catalog.count(*) FROM xrq.derived_observations "
                                     "WHERE datastream = $1",
                                     {PgParam::text(stream)}, timeout);
        const auto rows = held.ok() && held.rows() == 1
                              ? platform::parseInteger(held.view(0, 0), 0, kMostId)
                              : std::nullopt;
        if (!rows)
            return failed(held);
        out.withoutUtc += std::max<std::int64_t>(0, s.records - *rows);
        for (const fleet::Deployment* d : placed.spans) {
            // insideSpans' test in the server's doubles (the same products and comparisons),
            // within a second's slack each side for the index of the Datastream's time.
            const PgResult r = c.exec(
                "SELECT pg_catalog.min(utc), pg_catalog.max(utc) FROM xrq.derived_observations "
                "WHERE datastream = $1 AND utc >= $2 AND utc <= $3 AND utc * 1000 >= "
                "$4::double precision AND utc * 1000 < $5::double precision",
                {PgParam::text(stream), PgParam::text(numberText(double(d->fromMs) / 1000 - 1)),
                 PgParam::text(numberText(d->toMs ? double(*d->toMs) / 1000 + 1 : 1e15)),
                 PgParam::text(numberText(double(d->fromMs))),
                 PgParam::text(numberText(d->toMs ? double(*d->toMs) : 1e300))},
                timeout);
            if (!r.ok() || r.rows() != 1)
                return failed(r);
            const auto least = platform::parseFinite(r.view(0, 0), -1e13, 1e13);
            const auto most = platform::parseFinite(r.view(0, 1), -1e13, 1e13);
            if (!least || !most)
                continue; // none within this deployment
            out.first = out.first ? std::min(*out.first, *least) : *least;
            out.last = out.last ? std::max(*out.last, *most) : *most;
        }
    }
    return out;
}

// Whole: each source's rows in its series' order, placed as buildSiteSeries places them.
platform::Result<SiteSeries> readSiteSeriesFromCopy(fleet::PgConnection& c,
                                                    const SiteCopyPlan& plan,
                                                    std::chrono::milliseconds timeout) {
    SiteSeries out;
    out.site = plan.site;
    out.deployments = plan.facts.deploymentsAt(QString::fromStdString(plan.site));
    out.swaps = swapsOf(out.deployments);
    PropertyPlacer placer(out.properties);
    std::mutex lock; // the connection's, between the reader and its reading ahead
    for (const SiteCopyPlan::Source& s : plan.sources) {
        const PlacedSource placed = placedSource(plan.facts, out.deployments, s.unit, s.titles);
        if (placed.spans.empty() || s.datastream == 0)
            continue;
        // Every row of the series, not only those within the deployments: the ones outside
        // are counted as buildSiteSeries counts them, and the records the copy does not hold
        // are those without a UTC.
        CopyRows rows(c, lock, s.datastream, {-1e300, 1e300}, false, timeout, true);
        std::int64_t ordinal = 0, held = 0;
        double utc = 0;
        std::string flags, record;
        CopyRows::Place place;
        while (rows.next(ordinal, utc, flags, record, &place)) {
            ++held;
            if (!insideSpans(placed, utc)) {
                ++out.outsideDeployments;
                continue;
            }
            SiteRow row;
            describeRow(row, placed, utc, place.offset, flags, place.segment, place.index, record);
            placer.place(placed, record, utc, row);
            out.rows.push_back(std::move(row));
        }
        if (rows.failed())
            return platform::makeError(platform::ErrorKind::Server, rows.why());
        out.withoutUtc += std::max<std::int64_t>(0, s.records - held);
    }
    orderRows(out);
    return out;
}

SiteCell siteCellOf(const std::vector<std::string_view>& fields, int column) {
    if (column < 1 || std::size_t(column) > fields.size())
        return SiteCell::None;
    const std::string_view cell = fields[std::size_t(column - 1)];
    if (cell.empty())
        return SiteCell::Empty;
    // The placer's own test of a number (PropertyPlacer::place).
    return platform::parseFinite(cell, -1e300, 1e300) ? SiteCell::Number : SiteCell::Text;
}

// Whole: each source's deployments cut at every change of each column's meaning or calibration.
std::vector<SiteCopyPiece> siteCopyPieces(const SiteCopyPlan& plan,
                                          const std::vector<std::vector<int>>& fields) {
    std::vector<SiteCopyPiece> out;
    const std::vector<fleet::Deployment> deployments =
        plan.facts.deploymentsAt(QString::fromStdString(plan.site));
    for (std::size_t k = 0; k < plan.sources.size() && k < fields.size(); ++k) {
        const SiteCopyPlan::Source& s = plan.sources[k];
        const PlacedSource u = placedSource(plan.facts, deployments, s.unit, s.titles);
        if (u.spans.empty() || s.datastream == 0)
            continue;
        // The columns with a number in some record, and those with a meaning (text alone).
        std::vector<int> columns = fields[k];
        for (const fleet::ColumnMeaning& m : u.meanings)
            columns.push_back(m.column);
        std::sort(columns.begin(), columns.end());
        columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
        for (const fleet::Deployment* d : u.spans)
            for (const int field : columns) {
                // Where the column's meaning or calibration may change within the deployment.
                std::vector<std::int64_t> cuts = {d->fromMs};
                const auto cut = [&](std::int64_t at) {
                    if (at > d->fromMs && (!d->toMs || at < *d->toMs))
                        cuts.push_back(at);
                };
                for (const fleet::ColumnMeaning& m : u.meanings)
                    if (m.column == field)
                        cut(m.fromMs);
                for (const fleet::Calibration& c : u.calibrations)
                    if (c.column == field) {
                        cut(c.fromMs);
                        if (c.toMs)
                            cut(*c.toMs);
                    }
                std::sort(cuts.begin(), cuts.end());
                cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
                for (std::size_t i = 0; i < cuts.size(); ++i) {
                    SiteCopyPiece p;
                    p.source = k;
                    p.field = field;
                    p.fromMs = cuts[i];
                    p.toMs = i + 1 < cuts.size() ? std::optional(cuts[i + 1]) : d->toMs;
                    const fleet::ColumnMeaning* m =
                        u.meanings.empty()
                            ? nullptr
                            : fleet::meaningOf(u.meanings, u.unit, u.dataSet, field, p.fromMs);
                    const fleet::Calibration* c =
                        u.calibrations.empty() ? nullptr
                                               : fleet::calibrationOf(u.calibrations, u.unit,
                                                                      u.dataSet, field, p.fromMs);
                    p.property = columnProperty(u, m, std::size_t(field - 1));
                    p.meant = m != nullptr;
                    if (c)
                        p.calibration = std::pair(c->a, c->b);
                    p.deployedMs = d->fromMs;
                    out.push_back(std::move(p));
                }
            }
    }
    return out;
}

} // namespace series
