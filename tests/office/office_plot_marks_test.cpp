// SPDX-License-Identifier: GPL-3.0-or-later
// The marks on a series' plot over a series made here: the export's flags, segment starts as
// lines, at most one point per bucket, every flag counted over the range only.
#include "office/plot_marks.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

struct Record {
    int segment;
    int minute; // after 2026-12-01 00:00
    bool disputed = false;
};

// A source over `records`, one a minute but where a record says otherwise.
series::RecordSource sourceOf(const std::vector<Record>& records) {
    series::RecordSource s;
    s.info.usualInterval = 60;
    s.forEachRecord = [records](const std::function<bool(const series::RecordRef&)>& each) {
        std::uint64_t index = 0;
        int segment = 0;
        for (const Record& r : records) {
            char line[64];
            std::snprintf(line, sizeof line, "2026/12/01 %02d:%02d:00, %d, x", r.minute / 60,
                          r.minute % 60, r.minute);
            index = r.segment == segment ? index + 1 : 0;
            segment = r.segment;
            series::RecordRef ref;
            ref.segment = r.segment;
            ref.index = index;
            ref.line = line;
            ref.disputed = r.disputed;
            ref.offsetSeconds = 0;
            if (!each(ref))
                return false;
        }
        return true;
    };
    return s;
}

double at(int minute) {
    return 1796083200.0 + minute * 60; // 2026-12-01 00:00 UTC
}

long long countOf(const office::PlotMarks& m, const char* flag) {
    for (const auto& [name, n] : m.counts)
        if (name == QLatin1String(flag))
            return n;
    return 0;
}

TEST(PlotMarks, FlagsAsTheExportOnePointPerBucketSegmentStartsAsLines) {
    // Segment 1: minutes 0..9, 4 and 5 disputed, then a gap to 30 (over ten intervals);
    // segment 2: minutes 40..44, 42 going back to 41.
    std::vector<Record> records;
    for (int m = 0; m < 10; ++m)
        records.push_back({1, m, m == 4 || m == 5});
    records.push_back({1, 30});
    for (int m : {40, 41, 39, 43, 44})
        records.push_back({2, m});
    const series::RecordSource source = sourceOf(records);

    // One bucket a minute: every flagged record its own point.
    office::PlotMarks m = office::plotMarks(source, at(0), at(45), 45);
    EXPECT_EQ(m.segmentStarts, (std::vector<double>{at(0), at(40)}));
    EXPECT_EQ(countOf(m, "disputed"), 2);
    EXPECT_EQ(countOf(m, "gap"), 1);
    EXPECT_EQ(countOf(m, "backwards"), 1);
    EXPECT_EQ(countOf(m, "segment start"), 0); // drawn as lines, not counted
    std::vector<double> times;
    for (const office::PlotMark& p : m.points) {
        times.push_back(p.t);
        ASSERT_LT(p.kind, m.kinds.size());
        ASSERT_GE(p.values.size(), 2u);
    }
    EXPECT_EQ(times, (std::vector<double>{at(4), at(5), at(30), at(39)}));
    EXPECT_EQ(m.kinds.at(m.points[0].kind), "disputed");
    EXPECT_EQ(m.kinds.at(m.points[2].kind), "gap");
    EXPECT_EQ(m.points[2].values[1], 30); // the record's own value, where it is drawn

    // Three buckets of 15 minutes: the first flagged record of each that has one.
    m = office::plotMarks(source, at(0), at(45), 3);
    times.clear();
    for (const office::PlotMark& p : m.points)
        times.push_back(p.t);
    EXPECT_EQ(times, (std::vector<double>{at(4), at(30)}));
    EXPECT_EQ(countOf(m, "disputed"), 2); // counted all the same

    // A range: only what lies in it, the flags still judged on the records before it.
    m = office::plotMarks(source, at(20), at(45), 25);
    EXPECT_EQ(countOf(m, "disputed"), 0);
    EXPECT_EQ(countOf(m, "gap"), 1);
    EXPECT_EQ(m.segmentStarts, (std::vector<double>{at(40)}));
}

} // namespace
