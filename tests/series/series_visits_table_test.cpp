// SPDX-License-Identifier: GPL-3.0-or-later
// Three visits to a unit with a short memory, the second with one record damaged on the line,
// taken by the series store as the program takes them: what the series holds after the second
// and the third visit, printed as a table (XRQ_VISITS_TABLE=1 prints it on a pass too) and
// checked: each record once, in one segment, the damage settled by the third visit.
#include "record_lines.h"
#include "series/download_text.h"
#include "series/series_store.h"
#include "support/result_assert.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace series;
using testsupport::lines;

namespace {

struct Held {
    std::uint64_t records = 0;
    int segments = 0;
    std::uint64_t disputed = 0;
};

std::string text(const std::vector<std::string>& records) {
    std::string t = "F\r\nName: SITE1\r\n";
    for (const std::string& r : records)
        t += r + "\r\n";
    return t + ">";
}

std::string heldText(const Held& h) {
    return std::to_string(h.records) + " in " + std::to_string(h.segments) +
           (h.segments == 1 ? " segment" : " segments") +
           (h.disputed ? ", " + std::to_string(h.disputed) + " disputed" : "");
}

} // namespace

TEST(SeriesVisits, ShortMemoriesNeverDouble) {
    struct Row {
        int sizes[3];
        int changed; // 1-based
        bool nul;    // a NUL in its time (the download not called safe), else a digit changed
    };
    const Row rows[] = {
        {{200, 300, 400}, 3, false},  {{200, 300, 400}, 151, false}, {{100, 150, 200}, 3, false},
        {{100, 150, 200}, 51, false}, {{99, 140, 180}, 3, false},    {{80, 120, 160}, 3, false},
        {{80, 120, 160}, 8, false},   {{60, 90, 120}, 3, false},     {{40, 60, 80}, 3, false},
        {{20, 30, 40}, 3, false},     {{80, 120, 160}, 3, true},     {{5, 8, 10}, 1, false},
        {{1, 2, 3}, 1, false},
    };
    std::string table = "| records at each visit | changed | after visit 2 | after visit 3 |\n"
                        "|---|---|---|---|\n";
    for (const Row& row : rows) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        SeriesStore store;
        ASSERT_TRUE(done(store.open(dir.filePath(QStringLiteral("series.sqlite")).toStdString())));
        Held after[3];
        for (int visit = 0; visit < 3; ++visit) {
            std::vector<std::string> records = lines(0, row.sizes[visit]);
            const bool damaged = visit == 1;
            if (damaged && row.nul)
                records[std::size_t(row.changed - 1)][12] = '\0';
            else if (damaged)
                records[std::size_t(row.changed - 1)] += "9";
            const DownloadInput in{"XRQ1", "kept-" + std::to_string(visit), 1000 * (visit + 1),
                                   !(damaged && row.nul)};
            const ApplyResult r = store.apply(in, parseDownloadText(text(records)), {});
            ASSERT_TRUE(r.ok) << r.error;
            const auto info = store.find("XRQ1", "SITE1");
            ASSERT_TRUE(info);
            after[visit] = {info->records, info->segments, info->disputed};
        }
        const std::string line =
            "| " + std::to_string(row.sizes[0]) + ", " + std::to_string(row.sizes[1]) + ", " +
            std::to_string(row.sizes[2]) + " | " + (row.nul ? "NUL in record " : "record ") +
            std::to_string(row.changed) + " | " + heldText(after[1]) + " | " + heldText(after[2]) +
            " |\n";
        table += line;
        EXPECT_EQ(after[2].records, std::uint64_t(row.sizes[2])) << line;
        EXPECT_EQ(after[2].segments, 1) << line;
        EXPECT_EQ(after[2].disputed, 0u) << line;
    }
    if (::testing::Test::HasFailure() || std::getenv("XRQ_VISITS_TABLE"))
        std::fputs(table.c_str(), stdout);
}
