// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/series_counts.h"

#include "office/office_reads.h"
#include "office/read_connections.h"

#include <algorithm>

namespace office {

SeriesCounts countSeries(const series::RecordSource& source) {
    SeriesCounts c;
    c.segments = source.info.segments;
    series::RecordFlags flags(source.info.usualInterval);
    series::forEachRecordUtc(source, [&](const series::RecordRef& r, bool parsed, double s,
                                         const series::RecordClock::Utc& utc) {
        ++c.records;
        c.disputed += r.disputed;
        c.repeated += r.repeated;
        series::forEachFlag(flags.next(r, parsed, s, utc), [&](std::string_view flag) {
            if (flag == "gap")
                ++c.gaps;
        });
        return true;
    });
    return c;
}

std::optional<SeriesCounts> countHeld(fleet::PgConnection& connection, const HeldSeries& h) {
    const QByteArray serial = h.unit.toLatin1();
    const DataSetName set = dataSetName(h.dataSet);
    series::ServerSeries held;
    if (!held.read(connection, serial.toStdString(), set.name, set.ordinal))
        return std::nullopt;
    SeriesCounts counts = countSeries(held.source());
    counts.unread = held.recordsUnread();
    counts.clockSetsUnread = held.clockSetsUnread();
    SeriesCountCache::shared().keep(h.unit, h.dataSet, h.signature, counts);
    return counts;
}

QString SeriesCountCache::keyOf(const QString& unit, const QString& dataSet) {
    return unit + QChar(0) + dataSet;
}

std::optional<SeriesCounts> SeriesCountCache::find(const QString& unit, const QString& dataSet,
                                                   const SeriesSignature& signature) const {
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.constFind(keyOf(unit, dataSet));
    if (it == m_entries.constEnd() || !(it->signature == signature))
        return std::nullopt;
    return it->counts;
}

void SeriesCountCache::keep(const QString& unit, const QString& dataSet,
                            const SeriesSignature& signature, const SeriesCounts& counts) {
    const std::lock_guard lock(m_mutex);
    if (std::size_t(m_entries.size()) >= kMostEntries)
        m_entries.clear();
    m_entries.insert(keyOf(unit, dataSet), {signature, counts});
}

SeriesCountCache& SeriesCountCache::shared() {
    static SeriesCountCache cache;
    return cache;
}

namespace {
QString cacheKey(const QString& unit, const QString& dataSet) {
    return unit + QChar(0) + dataSet;
}
std::uint64_t recordsOf(const DerivedSeriesCache::Held& s) {
    return s ? s->source().info.records : 0;
}
} // namespace

DerivedSeriesCache::Held DerivedSeriesCache::find(const QString& unit, const QString& dataSet,
                                                  const SeriesSignature& signature) const {
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.constFind(cacheKey(unit, dataSet));
    return it == m_entries.constEnd() || !(it->signature == signature) ? nullptr : it->series;
}

void DerivedSeriesCache::sawSignature(const QString& unit, const QString& dataSet,
                                      const SeriesSignature& signature, const std::string& reader) {
    std::string key = readerKey(reader);
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(cacheKey(unit, dataSet));
    if (it == m_entries.end() || !(it->signature == signature))
        return;
    it->reader = std::move(key);
    it->readAt = std::chrono::steady_clock::now();
}

DerivedSeriesCache::Held DerivedSeriesCache::findRecent(const QString& unit, const QString& dataSet,
                                                        const std::string& reader,
                                                        std::chrono::milliseconds within) const {
    const auto now = std::chrono::steady_clock::now();
    const std::string key = readerKey(reader);
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.constFind(cacheKey(unit, dataSet));
    if (it == m_entries.constEnd() || it->reader.empty() || it->reader != key ||
        now - it->readAt > within)
        return nullptr;
    return it->series;
}

void DerivedSeriesCache::keep(const QString& unit, const QString& dataSet,
                              const SeriesSignature& signature, Held series,
                              const std::string& reader) {
    const std::uint64_t records = recordsOf(series);
    if (records > kMostRecords)
        return;
    const QString key = cacheKey(unit, dataSet);
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        m_records -= recordsOf(it->series);
        m_entries.erase(it);
        m_order.erase(std::find(m_order.begin(), m_order.end(), key));
    }
    while (!m_order.empty() && m_records + records > kMostRecords) {
        m_records -= recordsOf(m_entries.value(m_order.front()).series);
        m_entries.remove(m_order.front());
        m_order.pop_front();
    }
    m_entries.insert(key, {signature, std::move(series),
                           reader.empty() ? std::string() : readerKey(reader),
                           std::chrono::steady_clock::now()});
    m_order.push_back(key);
    m_records += records;
}

void DerivedSeriesCache::forgetReader(const std::string& reader) {
    const std::lock_guard lock(m_mutex);
    for (Entry& e : m_entries)
        if (keyOfReader(e.reader, reader))
            e.reader.clear();
}

DerivedSeriesCache& DerivedSeriesCache::shared() {
    static DerivedSeriesCache cache;
    return cache;
}

bool SiteSeriesSignature::operator==(const SiteSeriesSignature& other) const {
    return facts == other.facts && newestArrival == other.newestArrival &&
           std::equal(series.begin(), series.end(), other.series.begin(), other.series.end(),
                      [](const HeldSeries& a, const HeldSeries& b) {
                          return a.unit == b.unit && a.dataSet == b.dataSet &&
                                 a.signature == b.signature;
                      });
}

SiteSeriesCache::Held SiteSeriesCache::find(const QString& site,
                                            const SiteSeriesSignature& signature) const {
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.constFind(site);
    return it == m_entries.constEnd() || !(it->signature == signature) ? nullptr : it->series;
}

void SiteSeriesCache::keep(const QString& site, const SiteSeriesSignature& signature, Held series) {
    const std::size_t bytes = series ? series->bytes() : 0;
    const std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(site);
    if (it != m_entries.end()) {
        m_bytes -= it->bytes;
        m_entries.erase(it);
        m_order.erase(std::find(m_order.begin(), m_order.end(), site));
    }
    if (!series || bytes > m_mostBytes)
        return;
    while (!m_order.empty() && m_bytes + bytes > m_mostBytes) {
        m_bytes -= m_entries.value(m_order.front()).bytes;
        m_entries.remove(m_order.front());
        m_order.pop_front();
    }
    m_entries.insert(site, {signature, std::move(series), bytes});
    m_order.push_back(site);
    m_bytes += bytes;
}

std::size_t SiteSeriesCache::bytesKept() const {
    const std::lock_guard lock(m_mutex);
    return m_bytes;
}

void SiteSeriesCache::forget() {
    const std::lock_guard lock(m_mutex);
    m_entries.clear();
    m_order.clear();
    m_bytes = 0;
}

SiteSeriesCache& SiteSeriesCache::shared() {
    static SiteSeriesCache cache;
    return cache;
}

} // namespace office
