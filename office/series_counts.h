// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the server's series of one unit and data set holds, as the office shows it: counted on
// the series derived from every laptop's facts (series::deriveSeries, through
// series::ServerSeries), so that the Units page, a unit's page, `xrq-series export --service`
// and the Units window say the same of it.
//
// Deriving a series reads all its facts, so the counts are kept in memory (SeriesCountCache)
// under the series' signature: how many facts the server holds of it and the arrival of the
// newest. Facts are only ever added, so an unchanged signature is an unchanged series; the
// cache is derived data only, and any instance of the service answers the same without it.

#include "fleet/server_values.h"
#include "series/series_export.h"
#include "series/server_series.h"
#include "series/site_series.h"

#include <QString>

#include <QHash>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace office {

struct SeriesCounts {
    long long records = 0;  // each physical record once
    long long disputed = 0; // places where laptops said different records
    long long repeated = 0; // records whose bytes after the bytes before them stand elsewhere too
    long long gaps = 0;     // records after a gap of over ten times the usual interval
    int segments = 0;
    // The series' facts left out as unreadable, and its unit's clock sets (the same for each
    // series of the unit), as the read told.
    fleet::UnreadFacts unread, clockSetsUnread;
};

// Counted on a source, by the flags the CSV export writes (series::RecordFlags).
SeriesCounts countSeries(const series::RecordSource& source);

// A series' facts as the server holds them: the row count and the newest arrival.
struct SeriesSignature {
    long long facts = 0;
    long long newestArrival = 0;
    // The newest disowning or owning of a laptop role (xrq.role_trust): one changes which
    // facts every series is derived from.
    long long trust = 0;
    // The newest of the unit's clock sets, which put its records in UTC (0: none, or not read:
    // the Units page's counts, which do not depend on it).
    long long clocks = 0;
    bool operator==(const SeriesSignature&) const = default;
};

// A series the server holds facts of, with its signature.
struct HeldSeries {
    QString unit, dataSet;
    SeriesSignature signature;
};

// Thread-safe: the service's read threads share one.
class SeriesCountCache {
public:
    std::optional<SeriesCounts> find(const QString& unit, const QString& dataSet,
                                     const SeriesSignature& signature) const;
    void keep(const QString& unit, const QString& dataSet, const SeriesSignature& signature,
              const SeriesCounts& counts);
    // The one the service uses.
    static SeriesCountCache& shared();

private:
    static constexpr std::size_t kMostEntries = 200000;
    struct Entry {
        SeriesSignature signature;
        SeriesCounts counts;
    };
    static QString keyOf(const QString& unit, const QString& dataSet);
    mutable std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
};

// Reads `held` on `connection` (one of ReadConnections', read-only), derives and counts it, and
// keeps the counts under its signature in SeriesCountCache::shared(); none when it cannot be
// read.
std::optional<SeriesCounts> countHeld(fleet::PgConnection& connection, const HeldSeries& held);

// The last series derived for a plot, a CSV or the web service, kept whole under their
// signatures while they hold at most kMostRecords records together (the oldest kept goes
// first), so that the pages of one series do not each read and derive it anew.
// Thread-safe; a series handed out stays valid while its holder keeps it.
//
// Each entry also remembers who last read its signature (by readerKey of the connection
// string: the session and the role, never the string) and when: a reader that read it within a
// moment (the web service's pages, kRecentFor) may take the kept series without reading the
// signature again (findRecent); another role never takes it so.
class DerivedSeriesCache {
public:
    using Held = std::shared_ptr<const series::ServerSeries>;
    static constexpr std::chrono::milliseconds kRecentFor{1000};
    Held find(const QString& unit, const QString& dataSet, const SeriesSignature& signature) const;
    // `reader` (a connection string) read `signature` just now; the series derived at it.
    void keep(const QString& unit, const QString& dataSet, const SeriesSignature& signature,
              Held series, const std::string& reader = {});
    // `reader` read the signature just now and found it the one kept.
    void sawSignature(const QString& unit, const QString& dataSet, const SeriesSignature& signature,
                      const std::string& reader);
    // The kept series when `reader` read its signature no longer than `within` ago.
    Held findRecent(const QString& unit, const QString& dataSet, const std::string& reader,
                    std::chrono::milliseconds within = kRecentFor) const;
    // A session that ended: no read of its counts as recent any more.
    void forgetReader(const std::string& reader);
    static DerivedSeriesCache& shared();

private:
    static constexpr std::uint64_t kMostRecords = 250000;
    struct Entry {
        SeriesSignature signature;
        Held series;
        std::string reader; // readerKey; none: no reader's read counts as recent
        std::chrono::steady_clock::time_point readAt;
    };
    mutable std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
    std::deque<QString> m_order; // oldest kept first
    std::uint64_t m_records = 0;
};

// What a site's series (series/site_series.h) is built from: the site's facts as read (how
// many, the newest arrival: fleet::SiteFacts) and each of its units' series with its signature.
struct SiteSeriesSignature {
    long long facts = 0;
    std::int64_t newestArrival = 0;
    std::vector<HeldSeries> series; // by unit, then data set
    bool operator==(const SiteSeriesSignature& other) const;
};

// The sites' series last built, each kept whole under the signature of what it was built
// from, so that a plot's zoom and a CSV cut their range from it without building it again;
// a new fact of the site or a new record of one of its units changes the signature and the
// series is built anew. Bounded in memory: at most `mostBytes` (SiteSeries::bytes) together,
// the oldest kept going first; a series larger than that is never kept (its plot and CSV
// build it for each request, as before).
// Thread-safe; a series handed out stays valid while its holder keeps it.
class SiteSeriesCache {
public:
    using Held = std::shared_ptr<const series::SiteSeries>;
    static constexpr std::size_t kMostBytes = 64u << 20;
    explicit SiteSeriesCache(std::size_t mostBytes = kMostBytes) : m_mostBytes(mostBytes) {}
    Held find(const QString& site, const SiteSeriesSignature& signature) const;
    void keep(const QString& site, const SiteSeriesSignature& signature, Held series);
    std::size_t bytesKept() const;
    // Every series let go: the next reader builds or reads it again.
    void forget();
    static SiteSeriesCache& shared();

private:
    struct Entry {
        SiteSeriesSignature signature;
        Held series;
        std::size_t bytes = 0;
    };
    const std::size_t m_mostBytes;
    mutable std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
    std::deque<QString> m_order; // oldest kept first
    std::size_t m_bytes = 0;
};

} // namespace office
