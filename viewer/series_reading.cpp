// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/series_reading.h"

#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"

#include <QFile>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace viewer {

namespace {

// What each record costs beside its text while it is read: its line end; its place in the
// text, the download that brought it, provisional and disputed marks, segment start and date
// order (Records); its stamp's seconds and its clock's fit (record_time.h's RecordClock);
// its row, its flags' kind and its time (after the reader); its row's record and its place
// before the sort (the marks).
constexpr std::uint64_t kPerRecord =
    1 + sizeof(std::int64_t) + sizeof(std::uint32_t) + 3 + sizeof(double) + 6 +
    sizeof(std::size_t) + sizeof(std::uint16_t) + sizeof(double) + 2 * sizeof(std::size_t);
constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

// The flags a plot marks as a point: the record's own (series::pointFlags).
QString pointFlags(const std::string& flags) {
    return QString::fromStdString(series::pointFlags(flags));
}

QString gigabytes(std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) / 1e9;
    return QString::number(gb, 'f', gb < 0.1 ? 3 : 1);
}

// What the store says of each record, in its order, kept from the pass over the store until
// the reader has read the text.
struct Records {
    QByteArray text;                     // the records, one a line
    std::vector<std::uint32_t> download; // the download that brought it (in `brought`)
    std::vector<std::int64_t> brought;   // when each download was taken, ms
    std::vector<std::uint8_t> marks;     // 1: provisional, 2: disputed
    std::vector<std::uint8_t> segmentStart;
    std::vector<viewer::DateOrder> order; // the order its stamp is read in
    std::size_t segments = 0;
    DateOrders orders = 0; // every order the store read stamps in
    std::size_t count() const { return download.size(); }
    std::uint64_t bytes() const {
        return static_cast<std::uint64_t>(text.size()) + count() * kPerRecord;
    }
};

// Where each line of the text starts (the records' places, when the rows are not the
// records one for one).
std::vector<std::int64_t> lineStarts(const QByteArray& text, std::size_t lines) {
    std::vector<std::int64_t> starts;
    starts.reserve(lines);
    const char* const begin = text.constData();
    const char* const end = begin + text.size();
    for (const char* at = begin; at < end;) {
        starts.push_back(at - begin);
        const void* lf = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        at = lf ? static_cast<const char*>(lf) + 1 : end;
    }
    return starts;
}

// The flags of the records in order (as the export writes them), each kept once.
struct FlagKinds {
    std::vector<std::uint16_t> kind;    // per record: index into kinds (0: none)
    std::vector<std::string> kinds{""}; // the flags as the export writes them
    std::vector<std::size_t> count{0};  // records per kind
    std::unordered_map<std::string, std::uint16_t> index{{"", 0}};
    std::string last;
    std::uint16_t lastKind = 0;

    void add(std::string flags) {
        if (flags != last) { // records mostly share their flags with the one before
            auto [it, fresh] = index.try_emplace(flags, 0);
            if (fresh) {
                it->second =
                    static_cast<std::uint16_t>(std::min<std::size_t>(kinds.size(), 0xFFFF));
                if (kinds.size() < 0xFFFF) {
                    kinds.push_back(it->first);
                    count.push_back(0);
                }
            }
            lastKind = it->second;
            last = std::move(flags);
        }
        kind.push_back(lastKind);
        ++count[lastKind];
    }
};

// How the pass over the store ended.
enum class RecordsRead { Whole, Cancelled, OverBudget, Failed };

// The series' records from the store into `r`, each counted against `budget` (the store may
// have grown since it was measured); progress up to 40 %.
RecordsRead readRecords(series::SeriesStore& store, const series::SeriesInfo& info,
                        std::uint64_t budget, const std::atomic<bool>* cancel,
                        const ProgressFn& progress, Records& r) {
    r.text.reserve(static_cast<qsizetype>(info.bytes + info.records));
    r.download.reserve(info.records);
    std::map<std::int64_t, std::uint32_t> downloadIndex;
    r.marks.reserve(info.records);
    r.segmentStart.reserve(info.records);
    r.order.reserve(info.records);
    int segment = 0;
    bool overBudget = false, cancelled = false;
    const auto total = std::max<std::uint64_t>(info.records, 1);
    const bool read = store.forEachRecord(info.id, [&](const series::RecordRef& rec) {
        const std::size_t n = r.count();
        if ((n & 0xFFF) == 0) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return !(cancelled = true);
            if (progress)
                progress(static_cast<int>(std::min<std::uint64_t>(n, total) * 40 / total));
        }
        // The store may have grown since it was measured: every record is counted.
        if (r.bytes() + rec.line.size() + kPerRecord > budget)
            return !(overBudget = true);
        r.text.append(rec.line.data(), static_cast<qsizetype>(rec.line.size()));
        r.text.append('\n');
        if (r.brought.empty() || r.brought[r.download.back()] != rec.downloadAtMs) {
            const auto [at, added] =
                downloadIndex.try_emplace(rec.downloadAtMs, std::uint32_t(r.brought.size()));
            if (added)
                r.brought.push_back(rec.downloadAtMs);
            r.download.push_back(at->second);
        } else {
            r.download.push_back(r.download.back());
        }
        r.marks.push_back(
            static_cast<std::uint8_t>((rec.provisional ? 1 : 0) | (rec.disputed ? 2 : 0)));
        r.segmentStart.push_back(rec.segment != segment);
        r.order.push_back(rec.dateOrder);
        r.orders |= static_cast<DateOrders>(rec.dateOrder);
        if (rec.segment != segment) {
            segment = rec.segment;
            ++r.segments;
        }
        return true;
    });
    if (cancelled)
        return RecordsRead::Cancelled;
    if (overBudget)
        return RecordsRead::OverBudget;
    return read ? RecordsRead::Whole : RecordsRead::Failed;
}

// The row of each record, when the rows are not the records one for one (the reader sorted
// them, or could not read a record, which has none: kNoRow); `starts` are the records' places
// in the text.
std::vector<std::size_t> rowsOfRecords(const DataSet& set, const std::vector<std::int64_t>& starts,
                                       std::size_t records) {
    std::vector<std::size_t> rowOf(records, kNoRow);
    std::size_t k = 0;
    for (std::size_t row = 0; row < set.rowCount(); ++row) {
        const std::int64_t start = set.rowStart[row];
        if (k >= records || starts[k] > start)
            k = 0;
        if (k + 1 < records && starts[k + 1] <= start) {
            if (k + 2 >= records || starts[k + 2] > start)
                ++k;
            else
                k = static_cast<std::size_t>(
                        std::upper_bound(starts.begin() + static_cast<std::ptrdiff_t>(k),
                                         starts.end(), start) -
                        starts.begin()) -
                    1;
        }
        rowOf[k] = row;
    }
    return rowOf;
}

// How the records map onto the set's rows.
struct RecordRows {
    bool rowIsRecord = true;          // the rows are the records, one for one, in order
    bool readersTime = true;          // the reader read every stamp in the store's one order
    std::vector<std::int64_t> starts; // each record's place in the text, when looked up
    std::vector<std::size_t> rowOf;   // each record's row, unless rowIsRecord
    std::size_t row(std::size_t k) const { return rowIsRecord ? k : rowOf[k]; }
};

// In the records' order: the unit's time (the reader's, where it read the stamp in the
// store's one order), the flags as the export has them into `flags`, and each row's instant
// put in place of the reader's time, each row once. Returns how many records have a UTC.
std::size_t timeRecords(DataSet& set, const Records& r, const RecordRows& rows,
                        const std::vector<series::ClockFact>& clockSets, double usualInterval,
                        FlagKinds& flags) {
    const std::size_t records = r.count();
    std::vector<double>& x = set.x;
    flags.kind.reserve(records);
    // Each record's own clock: every stamp read first, then the neighbours decide.
    series::RecordClock clock(clockSets);
    std::vector<double> unit(records, std::numeric_limits<double>::quiet_NaN());
    {
        int segment = 0;
        for (std::size_t k = 0; k < records; ++k) {
            const std::size_t row = rows.row(k);
            double seconds = 0;
            bool parsed;
            if (rows.readersTime && row != kNoRow) {
                seconds = set.x[row];
                parsed = true;
            } else {
                const auto end = k + 1 < records ? rows.starts[k + 1] - 1 : r.text.size() - 1;
                const std::string_view line(r.text.constData() + rows.starts[k],
                                            static_cast<std::size_t>(end - rows.starts[k]));
                parsed = series::unitSeconds(line, r.order[k], seconds);
            }
            segment += r.segmentStart[k];
            if (parsed)
                unit[k] = seconds;
            clock.add(segment, parsed, seconds, r.brought[r.download[k]]);
        }
        clock.resolve();
    }
    series::RecordFlags flagger(usualInterval);
    series::RecordRef ref;
    std::size_t utc = 0;
    for (std::size_t k = 0; k < records; ++k) {
        const std::size_t row = rows.row(k);
        const bool parsed = !std::isnan(unit[k]);
        const double seconds = parsed ? unit[k] : 0;
        const std::int64_t brought = r.brought[r.download[k]];
        ref.segment += r.segmentStart[k];
        ref.provisional = r.marks[k] & 1;
        ref.disputed = r.marks[k] & 2;
        const series::RecordClock::Utc time = clock.utc(k, parsed, seconds, brought);
        flags.add(flagger.next(ref, parsed, seconds, time));
        utc += time.known;
        if (row != kNoRow && set.axis == Axis::Time && parsed)
            x[row] = time.known ? time.seconds : seconds;
    }
    return utc;
}

// The marks on the rows, now in time order (`before`: each row's place before the sort, empty
// when none moved): the segments' starts, and the flagged rows by their kinds.
void markRows(DataSet& set, const Records& r, const RecordRows& rows, const FlagKinds& flags,
              const std::vector<std::size_t>& before) {
    std::vector<std::size_t> recordOf;
    if (!rows.rowIsRecord) {
        recordOf.resize(set.rowCount());
        for (std::size_t k = 0; k < r.count(); ++k)
            if (rows.rowOf[k] != kNoRow)
                recordOf[rows.rowOf[k]] = k;
    }
    std::vector<QString> pointKinds;
    for (const std::string& k : flags.kinds)
        pointKinds.push_back(pointFlags(k));
    std::map<QString, std::uint16_t> markKind;
    for (std::size_t row = 0; row < set.rowCount(); ++row) {
        const std::size_t was = before.empty() ? row : before[row];
        const std::size_t k = rows.rowIsRecord ? was : recordOf[was];
        if (r.segmentStart[k])
            set.marks.segmentStarts.push_back(set.x[row]);
        const QString& point = pointKinds[flags.kind[k]];
        if (point.isEmpty())
            continue;
        auto [it, fresh] = markKind.try_emplace(point, 0);
        if (fresh) {
            it->second = static_cast<std::uint16_t>(set.marks.kinds.size());
            set.marks.kinds << point;
        }
        set.marks.flaggedRows.push_back(row);
        set.marks.flaggedKind.push_back(it->second);
    }
    std::sort(set.marks.segmentStarts.begin(), set.marks.segmentStarts.end());
}

// What the status line adds: segments, the time the axis shows, the flags counted.
void addNotes(DataSet& set, std::size_t segments, std::size_t utc, std::size_t records,
              const FlagKinds& flags) {
    set.notes << (segments == 1 ? QStringLiteral("1 segment")
                                : QStringLiteral("%1 segments").arg(segments));
    set.clock = utc == records ? DataSet::Clock::Utc
                : utc == 0     ? DataSet::Clock::Unit
                               : DataSet::Clock::Mixed;
    if (utc == records)
        set.notes << QStringLiteral("times in UTC");
    else if (utc == 0)
        set.notes << QStringLiteral("times as the unit kept them (no UTC offset known)");
    else
        set.notes << QStringLiteral("times in UTC, the unit's own for %1 records whose offset is "
                                    "not known")
                         .arg(records - utc);
    std::map<std::string, std::size_t> counted;
    for (std::size_t k = 1; k < flags.kinds.size(); ++k) {
        series::forEachFlag(flags.kinds[k], [&](std::string_view flag) {
            counted[std::string(flag)] += flags.count[k];
        });
    }
    counted.erase("segment start");
    for (const auto& [flag, n] : counted)
        set.notes << QStringLiteral("%1 flagged %2").arg(n).arg(QString::fromStdString(flag));
}

} // namespace

QString SeriesRequest::title() const {
    QString t = QString::fromLatin1(name);
    if (ordinal > 0)
        t += QStringLiteral(" (set %1)").arg(ordinal + 1);
    return t + QStringLiteral(" (unit %1)").arg(QString::fromLatin1(serial));
}

// Whole: its steps in order, each a call or a short paragraph: store, records, rows, marks.
DataSet readSeries(const SeriesRequest& request, const std::atomic<bool>* cancel,
                   const ProgressFn& progress, const ReadLimits& limits) {
    DataSet failed;
    failed.path = request.title();
    failed.name = failed.path;
    auto fail = [&](const QString& why) {
        failed.error = why;
        return std::move(failed);
    };
    const std::string folder = QFile::encodeName(request.filesFolder).toStdString();
    const std::string path = series::storePath(folder);
    if (::access(path.c_str(), F_OK) != 0)
        return fail(QStringLiteral("No series are kept in %1 (%2 is not there).")
                        .arg(request.filesFolder, QLatin1String(series::kFileName)));
    series::SeriesStore store;
    if (auto opened = store.openToRead(path); !opened)
        return fail(QStringLiteral("The series cannot be read: %1")
                        .arg(QString::fromLocal8Bit(opened.text())));
    const auto info =
        store.find(request.serial.toStdString(), request.name.toStdString(), request.ordinal);
    if (!info)
        return fail(QStringLiteral("The unit %1 has no series for the data set %2%3.")
                        .arg(QString::fromLatin1(request.serial), QString::fromLatin1(request.name),
                             request.ordinal > 0
                                 ? QStringLiteral(" (set %1)").arg(request.ordinal + 1)
                                 : QString()));
    const std::uint64_t budget = limits.memoryBudget ? limits.memoryBudget : defaultMemoryBudget();
    auto tooLarge = [&](std::uint64_t records, std::uint64_t bytes) {
        return fail(QStringLiteral("The series is too large to view: %1 records would need %2 GB")
                        .arg(records)
                        .arg(gigabytes(bytes)));
    };
    if (info->bytes + info->records * kPerRecord > budget)
        return tooLarge(info->records, info->bytes + info->records * kPerRecord);

    Records r;
    switch (readRecords(store, *info, budget, cancel, progress, r)) {
    case RecordsRead::Cancelled:
        return fail(QStringLiteral("Reading was cancelled."));
    case RecordsRead::OverBudget:
        return tooLarge(r.count() + 1, r.bytes());
    case RecordsRead::Failed:
        return fail(QStringLiteral("The series cannot be read: the store failed or is damaged."));
    case RecordsRead::Whole:
        break;
    }
    if (r.count() == 0)
        return fail(QStringLiteral("The series holds no records."));

    // The records as the rows of a data file, within what the budget has left, their stamps
    // read in the store's order.
    ReadLimits rest = limits;
    rest.memoryBudget = std::max<std::uint64_t>(budget - r.bytes(), 1);
    rest.dateOrders = r.orders;
    const std::size_t records = r.count();
    rest.expectedRows = records;
    auto later = [&progress](int percent) {
        if (progress)
            progress(40 + percent / 2);
    };
    DataSet set = parseDataFile(r.text, failed.path, cancel, later, rest);
    set.path = failed.path;
    set.name = failed.path;
    if (!set.error.isEmpty())
        return set;
    // The columns' titles: the set's title lines, which the series keeps beside its records.
    if (set.titles.isEmpty()) {
        const series::RecordSource titled{*info, {}, {}, {}, store.segmentTitles(info->id)};
        const std::size_t width = static_cast<std::size_t>(set.timeCells) + set.columns.size();
        const std::vector<std::string> titles = series::fieldTitles(titled, width);
        for (const std::string& t : titles)
            set.titles.append(QString::fromLatin1(t.data(), static_cast<qsizetype>(t.size())));
        for (std::size_t c = 0; c < set.columns.size(); ++c)
            set.columns[c].title = set.titles[static_cast<qsizetype>(c) + set.timeCells];
    }

    // The row of each record (the rows come in the text's order unless the reader sorted
    // them; a record the reader could not read has none). Mostly every record is its row.
    RecordRows rows;
    rows.rowIsRecord = set.rowCount() == records && set.sorted;
    rows.readersTime = set.axis == Axis::Time && std::popcount(r.orders) == 1 &&
                       static_cast<DateOrders>(set.dateOrder) == r.orders;
    if (!rows.rowIsRecord || !rows.readersTime) // only when a record's line is looked up
        rows.starts = lineStarts(r.text, records);
    if (!rows.rowIsRecord)
        rows.rowOf = rowsOfRecords(set, rows.starts, records);
    FlagKinds flags;
    const std::size_t utc =
        timeRecords(set, r, rows, store.clockSets(info->serial), info->usualInterval, flags);
    if (progress)
        progress(95);

    // The rows in time order, and the marks on them.
    const std::vector<std::size_t> before = placeRowsAt(set, std::move(set.x));
    markRows(set, r, rows, flags, before);
    addNotes(set, r.segments, utc, records, flags);
    return set;
}

} // namespace viewer
