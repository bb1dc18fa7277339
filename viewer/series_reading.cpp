// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/series_reading.h"

#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace viewer {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// What each record costs beside its text while it is read: its line end, its place in the
// text, its time, its flags and whether it starts a segment.
constexpr std::uint64_t kPerRecord =
    1 + sizeof(std::int64_t) + sizeof(double) + sizeof(std::uint16_t) + 1;

// The flags a plot marks as a point: the record's own. A segment start has its line across
// the plot, and an offset the register never knew belongs to whole downloads (the summary
// says how many records it covers).
QString pointFlags(const std::string& flags) {
    QStringList kept;
    std::size_t at = 0;
    while (at <= flags.size()) {
        const auto end = flags.find("; ", at);
        const std::string word = flags.substr(at, end == std::string::npos ? end : end - at);
        if (!word.empty() && word != "segment start" && word != "offset unknown")
            kept << QString::fromStdString(word);
        if (end == std::string::npos)
            break;
        at = end + 2;
    }
    return kept.join(QStringLiteral("; "));
}

QString gigabytes(std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) / 1e9;
    return QString::number(gb, 'f', gb < 0.1 ? 3 : 1);
}

// What the pass over the store keeps per record, in the store's order.
struct Records {
    QByteArray text; // the records, one a line
    std::vector<std::int64_t> starts;
    std::vector<double> x;           // UTC, else the unit's time; NaN: no time read
    std::vector<std::uint16_t> kind; // index into kinds (0: no point)
    std::vector<char> segmentStart;
    std::vector<std::string> kinds{""}; // flags as the export writes them
    std::vector<std::size_t> kindCount{0};
    std::size_t segments = 0;
    std::size_t utc = 0;
    std::uint64_t bytes() const {
        return static_cast<std::uint64_t>(text.size()) + starts.size() * kPerRecord;
    }
};

} // namespace

QString SeriesRequest::title() const {
    QString t = QString::fromLatin1(name);
    if (ordinal > 0)
        t += QStringLiteral(" (set %1)").arg(ordinal + 1);
    return t + QStringLiteral(" (unit %1)").arg(QString::fromLatin1(serial));
}

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
    std::string why;
    if (!store.openToRead(path, why))
        return fail(
            QStringLiteral("The series cannot be read: %1").arg(QString::fromLocal8Bit(why)));
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
    r.text.reserve(static_cast<qsizetype>(info->bytes + info->records));
    r.starts.reserve(info->records);
    r.x.reserve(info->records);
    r.kind.reserve(info->records);
    r.segmentStart.reserve(info->records);
    std::unordered_map<std::string, std::uint16_t> kindOf{{"", 0}};
    series::RecordFlags flags(info->usualInterval);
    int segment = 0;
    bool overBudget = false, cancelled = false;
    const auto total = std::max<std::uint64_t>(info->records, 1);
    const bool read = store.forEachRecord(info->id, [&](const series::RecordRef& rec) {
        const std::size_t n = r.starts.size();
        if ((n & 0xFFF) == 0) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return !(cancelled = true);
            if (progress)
                progress(static_cast<int>(std::min<std::uint64_t>(n, total) * 50 / total));
        }
        // The store may have grown since it was measured: every record is counted.
        if (r.bytes() + rec.line.size() + kPerRecord > budget)
            return !(overBudget = true);
        r.starts.push_back(r.text.size());
        r.text.append(rec.line.data(), static_cast<qsizetype>(rec.line.size()));
        r.text.append('\n');
        double seconds = 0;
        const bool parsed = series::unitSeconds(rec.line, rec.dateOrder, seconds);
        const bool utc = parsed && rec.offsetSeconds && !(rec.timeFlags & series::kOffsetUnknown);
        r.utc += utc;
        r.x.push_back(!parsed ? kNaN : utc ? seconds - *rec.offsetSeconds : seconds);
        r.segmentStart.push_back(rec.segment != segment);
        if (rec.segment != segment) {
            segment = rec.segment;
            ++r.segments;
        }
        std::string f = flags.next(rec, parsed, seconds);
        auto [it, fresh] = kindOf.try_emplace(std::move(f), 0);
        if (fresh) {
            it->second = static_cast<std::uint16_t>(std::min<std::size_t>(r.kinds.size(), 0xFFFF));
            if (r.kinds.size() < 0xFFFF) {
                r.kinds.push_back(it->first);
                r.kindCount.push_back(0);
            }
        }
        r.kind.push_back(it->second);
        ++r.kindCount[it->second];
        return true;
    });
    if (cancelled)
        return fail(QStringLiteral("Reading was cancelled."));
    if (overBudget)
        return tooLarge(r.starts.size() + 1, r.bytes());
    if (!read)
        return fail(QStringLiteral("The series cannot be read: the store failed or is damaged."));
    if (r.starts.empty())
        return fail(QStringLiteral("The series holds no records."));

    // The records as the rows of a data file, within what the budget has left.
    ReadLimits rest = limits;
    rest.memoryBudget = std::max<std::uint64_t>(budget - r.bytes(), 1);
    const auto records = r.starts.size();
    auto later = [&progress](int percent) {
        if (progress)
            progress(50 + percent / 2);
    };
    DataSet set = parseDataFile(std::move(r.text), failed.path, cancel, later, rest);
    set.path = failed.path;
    set.name = failed.path;
    if (!set.error.isEmpty())
        return set;

    // Each row at its record's time, then in time order, and the marks on the rows.
    std::vector<std::size_t> recordOf(set.rowCount());
    std::vector<double> x(set.rowCount());
    for (std::size_t row = 0; row < set.rowCount(); ++row) {
        const auto at = std::upper_bound(r.starts.begin(), r.starts.end(), set.rowStart[row]);
        const auto k = static_cast<std::size_t>(at - r.starts.begin()) - 1;
        recordOf[row] = k;
        x[row] = set.axis == Axis::Time && !std::isnan(r.x[k]) ? r.x[k] : set.x[row];
    }
    const std::vector<std::size_t> before = placeRowsAt(set, std::move(x));
    std::vector<QString> pointKinds;
    for (const std::string& k : r.kinds)
        pointKinds.push_back(pointFlags(k));
    std::map<QString, std::uint16_t> markKind;
    for (std::size_t row = 0; row < set.rowCount(); ++row) {
        const std::size_t k = recordOf[before[row]];
        if (r.segmentStart[k])
            set.marks.segmentStarts.push_back(set.x[row]);
        const QString& point = pointKinds[r.kind[k]];
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

    // What the status line adds: segments, the time the axis shows, the flags counted.
    set.notes << (r.segments == 1 ? QStringLiteral("1 segment")
                                  : QStringLiteral("%1 segments").arg(r.segments));
    if (r.utc == records)
        set.notes << QStringLiteral("times in UTC");
    else if (r.utc == 0)
        set.notes << QStringLiteral("times as the unit kept them (no UTC offset known)");
    else
        set.notes << QStringLiteral("times in UTC, the unit's own for %1 records whose offset is "
                                    "not known")
                         .arg(records - r.utc);
    std::map<std::string, std::size_t> counted;
    for (std::size_t k = 1; k < r.kinds.size(); ++k) {
        const std::string& all = r.kinds[k];
        std::size_t at = 0;
        while (at <= all.size()) {
            const auto end = all.find("; ", at);
            counted[all.substr(at, end == std::string::npos ? end : end - at)] += r.kindCount[k];
            if (end == std::string::npos)
                break;
            at = end + 2;
        }
    }
    counted.erase("segment start");
    for (const auto& [flag, n] : counted)
        set.notes << QStringLiteral("%1 flagged %2").arg(n).arg(QString::fromStdString(flag));
    return set;
}

} // namespace viewer
