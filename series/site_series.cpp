// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/site_series.h"

#include "series/download_text.h"
#include "series/record_time.h"
#include "series/server_series.h"

#include "platform/checked_number.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace series {

std::string SiteProperty::header() const {
    const std::string code = uom.code.toStdString();
    return code.empty() || code == "1" ? name : name + " [" + code + "]";
}

// Whole: the swaps, then each unit's records within its deployment, in one pass over the sources.
SiteSeries buildSiteSeries(const fleet::SiteFacts& facts, const std::string& site,
                           const std::vector<UnitSource>& sources, std::optional<double> fromUtc,
                           std::optional<double> toUtc) {
    SiteSeries out;
    out.site = site;
    out.deployments = facts.deploymentsAt(QString::fromStdString(site));
    // Swaps: each deployment's start and end, the unit before and after named where one
    // deployment ends where another starts.
    for (const fleet::Deployment& d : out.deployments) {
        SiteSwap s{d.fromMs, {}, d.unit.toStdString()};
        for (const fleet::Deployment& e : out.deployments)
            if (e.toMs && *e.toMs == d.fromMs && e.unit != d.unit)
                s.fromUnit = e.unit.toStdString();
        out.swaps.push_back(s);
        if (d.toMs && std::none_of(out.deployments.begin(), out.deployments.end(),
                                   [&](const fleet::Deployment& e) {
                                       return e.fromMs == *d.toMs && e.unit != d.unit;
                                   }))
            out.swaps.push_back({*d.toMs, d.unit.toStdString(), {}});
    }
    std::sort(out.swaps.begin(), out.swaps.end(),
              [](const SiteSwap& a, const SiteSwap& b) { return a.atMs < b.atMs; });

    // A property by its key: a meaning's property and unit, else the data set and the name.
    std::map<std::string, std::size_t> index;
    const auto propertyOf = [&](SiteProperty p, const std::string& key) {
        const auto [it, added] = index.emplace(key, out.properties.size());
        if (added) {
            out.properties.push_back(std::move(p));
            for (SiteRow& r : out.rows) {
                r.values.emplace_back();
                r.raw.emplace_back();
            }
        }
        return it->second;
    };
    for (const UnitSource& u : sources) {
        const QString unit = QString::fromStdString(u.unit);
        std::vector<const fleet::Deployment*> spans;
        for (const fleet::Deployment& d : out.deployments)
            if (d.unit == unit)
                spans.push_back(&d);
        if (spans.empty())
            continue;
        const QString dataSet = QString::fromStdString(u.source.info.name);
        RecordFlags flags(u.source.info.usualInterval);
        const std::vector<std::string> titles = fieldTitles(u.source, 64);
        const bool read =
            forEachRecordUtc(u.source, [&](const RecordRef& r, bool parsed, double unitSeconds,
                                           const RecordClock::Utc& utc) {
                const std::string flagText = flags.next(r, parsed, unitSeconds, utc);
                if (!utc.known) {
                    ++out.withoutUtc;
                    return true;
                }
                const double ms = utc.seconds * 1000;
                const bool inside = std::any_of(spans.begin(), spans.end(), [&](const auto* d) {
                    return ms >= double(d->fromMs) && (!d->toMs || ms < double(*d->toMs));
                });
                if (!inside) {
                    ++out.outsideDeployments;
                    return true;
                }
                if ((fromUtc && utc.seconds < *fromUtc) || (toUtc && utc.seconds > *toUtc))
                    return true;
                SiteRow row;
                row.utc = utc.seconds;
                row.unit = u.unit;
                row.dataSet = u.source.info.name;
                row.flags = flagText;
                row.segment = r.segment;
                row.index = r.index;
                row.unitTime = std::string(stampText(r.line));
                row.offsetSeconds = utc.offsetSeconds;
                row.values.resize(out.properties.size());
                row.raw.resize(out.properties.size());
                const std::vector<std::string_view> fields = fieldsOf(r.line);
                for (std::size_t i = 0; i < fields.size(); ++i) {
                    const int column = int(i) + 1;
                    const auto raw = platform::parseFinite(fields[i], -1e300, 1e300);
                    const fleet::ColumnMeaning* m =
                        fleet::meaningOf(facts.meanings, unit, dataSet, column, std::int64_t(ms));
                    if (!m && !raw)
                        continue; // the time stamp's cells, text: not a property
                    SiteProperty p;
                    std::string key;
                    if (m) {
                        p.name = m->property.toStdString();
                        p.definition = m->definition.toStdString();
                        p.uom = m->uom;
                        key = "m\x1f" + p.name + "\x1f" + m->uom.code.toStdString();
                    } else {
                        std::string title;
                        if (i < titles.size() && !titles[i].empty())
                            appendUtf8(title, titles[i]);
                        p.name = title.empty() ? "field_" + std::to_string(column) : title;
                        p.dataSet = u.source.info.name;
                        key = "f\x1f" + p.dataSet + "\x1f" + p.name;
                    }
                    const std::size_t at = propertyOf(std::move(p), key);
                    row.values.resize(out.properties.size());
                    row.raw.resize(out.properties.size());
                    row.raw[at] = std::string(fields[i]);
                    if (raw) {
                        const fleet::Calibration* c = fleet::calibrationOf(
                            facts.calibrations, unit, dataSet, column, std::int64_t(ms));
                        row.values[at] = c ? c->a * *raw + c->b : *raw;
                    }
                }
                out.rows.push_back(std::move(row));
                return true;
            });
        if (!read)
            out.told.push_back("the records of unit " + u.unit + ", data set " +
                               u.source.info.name + " were not all read");
    }
    for (SiteRow& r : out.rows) {
        r.values.resize(out.properties.size());
        r.raw.resize(out.properties.size());
    }
    // By UTC, then unit. Each unit's rows mostly come in order already: sorted only when
    // they are not, and then by their places, each row moved once (not swapped around).
    const auto before = [](const SiteRow& a, const SiteRow& b) {
        return a.utc != b.utc ? a.utc < b.utc : a.unit < b.unit;
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
            if (const platform::Result<void> read = s->read(c, unit, r.value(i, 0), 0); !read) {
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

long long exportSiteCsv(const SiteSeries& series, const std::function<bool(std::string_view)>& sink,
                        std::optional<double> fromUtc, std::optional<double> toUtc) {
    constexpr std::size_t kPiece = 1 << 16;
    std::string out;
    out.reserve(kPiece + 4096);
    out += "utc,unit,data_set";
    for (const SiteProperty& p : series.properties) {
        const std::string header = p.header();
        out += ',';
        appendCell(out, header, false);
        out += ',';
        appendCell(out, header + " raw", false);
    }
    out += ",flags\r\n";
    long long rows = 0;
    // Numbers as "%.10g" writes them, by std::to_chars: no format parsed or locale asked per
    // cell (perf showed snprintf the writer's largest part).
    char number[64];
    const auto [first, end] = series.rowsWithin(fromUtc, toUtc);
    for (std::size_t at = first; at < end; ++at) {
        const SiteRow& r = series.rows[at];
        appendIsoUtc(out, r.utc);
        out += ',';
        appendCell(out, r.unit, false);
        out += ',';
        appendCell(out, r.dataSet);
        for (std::size_t i = 0; i < series.properties.size(); ++i) {
            out += ',';
            if (i < r.values.size() && r.values[i]) {
                const auto written = std::to_chars(number, number + sizeof number, *r.values[i],
                                                   std::chars_format::general, 10);
                out.append(number, written.ptr);
            }
            out += ',';
            if (i < r.raw.size())
                appendCell(out, r.raw[i]);
        }
        out += ',';
        if (!r.flags.empty())
            appendCell(out, r.flags, false);
        out += "\r\n";
        ++rows;
        if (out.size() > kPiece) {
            if (!sink(out))
                return -1;
            out.clear();
        }
    }
    if (!out.empty() && !sink(out))
        return -1;
    return rows;
}

} // namespace series
