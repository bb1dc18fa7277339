// SPDX-License-Identifier: GPL-3.0-or-later
// The server's series of a unit derived from three laptops' facts (series::deriveSeries), as
// `xrq-series export --service` and the Units window derive it once the rows are read:
//   - laptop A holds the unit's records 0 .. N-1 in its segment 0;
//   - laptop B saw the memory only after it wrapped: records 3N/10 .. N-1, in a segment it
//     numbered 2, with one record changed on the line (a place where laptops disagree);
//   - laptop C holds records 0 .. 6N/10-1 in its segment 0, as A numbered it (the server
//     kept those rows once).
// The facts are made in memory as the server holds them (each key once, in the order they
// arrived), then derived: every record once, one disputed.
//
// Usage: bench-server-series [records]   (default 1000000)
#include "series/series_share.h"
#include "series/server_series.h"

#include <QJsonDocument>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <tuple>
#include <unordered_set>

namespace {

using Clock = std::chrono::steady_clock;

std::string record(std::size_t i, bool changed = false) {
    const std::time_t t = 1464739200 + static_cast<std::time_t>(i) * 60;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    const std::size_t n = std::strftime(buf, sizeof buf, "%y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ", %.2f, %.1f",
                  12.0 + double(i % 97) / 100.0 + (changed ? 0.01 : 0.0), 20.0 + double(i % 13));
    return buf;
}

// One laptop's segment as it pushes it; a key the server holds already is kept once.
void segment(std::vector<fleet::ServerSeriesRecord>& out, std::unordered_set<std::string>& keys,
             const char* laptop, int seq, std::size_t from, std::size_t to, std::int64_t at,
             std::size_t changedAt = 0) {
    std::string before;
    series::OccurrenceCount counts;
    QString after;
    std::int64_t afterOccurrence = 0;
    for (std::size_t i = from; i < to; ++i) {
        const std::string line = record(i, i == changedAt && changedAt != 0);
        fleet::ServerSeriesRecord r;
        r.segment = seq;
        r.position = std::int64_t(i - from);
        r.chainHash = series::recordIdentity(before, line);
        r.occurrence = counts.next(r.chainHash);
        r.after = after;
        r.afterOccurrence = afterOccurrence;
        after = r.chainHash;
        afterOccurrence = r.occurrence;
        before = line;
        if (!keys.insert((r.chainHash + QString::number(r.occurrence) + r.after +
                          QString::number(r.afterOccurrence))
                             .toStdString())
                 .second)
            continue;
        r.laptop = QString::fromLatin1(laptop);
        r.occurredAt = at;
        series::SharedRecord s;
        s.line = line;
        QByteArray payload;
        series::appendRecordPayload(payload, s, i == from);
        r.payload = QJsonDocument::fromJson(payload).object();
        out.push_back(std::move(r));
    }
}

long peakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::vector<fleet::ServerSeriesRecord> facts;
    facts.reserve(n * 2);
    auto start = Clock::now();
    std::unordered_set<std::string> keys;
    segment(facts, keys, "laptop-a", 0, 0, n, 1);
    segment(facts, keys, "laptop-b", 2, n * 3 / 10, n, 2, n / 2);
    // C's are A's first 6N/10, under the same keys: the server kept them once, as A's.
    segment(facts, keys, "laptop-c", 0, 0, n * 6 / 10, 3);
    const double made = std::chrono::duration<double>(Clock::now() - start).count();
    const long before = peakRssMb();
    start = Clock::now();
    const series::DerivedSeries s = series::deriveSeries(facts);
    const double derived = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%zu facts of 3 laptops (made in %.1f s, %ld MB): derived %zu records in %d "
                "segment(s), %zu disputed, in %.2f s; peak RSS %ld MB\n",
                facts.size(), made, before, s.records.size(), s.segments, s.disputed, derived,
                peakRssMb());
    return s.records.size() == n && s.segments == 1 && s.disputed == 1 ? 0 : 1;
}
