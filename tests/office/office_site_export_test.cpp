// SPDX-License-Identifier: GPL-3.0-or-later
// `xrq-series export --site CODE --service NAME` end to end against the tests' real
// PostgreSQL: the two units the laptops pushed, RIVER-01 where SITE1 takes SITE3's place in the
// middle of SITE3's download, SITE3's columns' meanings and a calibration window of its
// temperature; the CSV read back row by row, cut by a range, and read by pandas with no options.
#include "office_sites_fixture.h"

#include "support/child_process.h"

#include "office/observation_deriver.h"
#include "office/series_counts.h"
#include "office/site_plot.h"
#include "series/site_series.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace officetest {
namespace {

// RIVER-05: SITE4 from before its records until SITE5 takes its place at kSwapMs, in the
// middle of SITE4's download; both units' data set LEVEL (each 200 records, one a minute from
// local midnight, clock set to UTC+01:00: from 2026-11-30T23:00Z) has its column 2 meaning a
// water level in metres, and SITE4's is calibrated 2x + 1 over its first half hour.
constexpr std::int64_t kHalfHour = 30 * 60000;

class SiteExportTest : public OfficeSitesTest {
protected:
    static void SetUpTestSuite() {
        OfficeSitesTest::SetUpTestSuite();
        if (s && s->failure.empty())
            s->failure = addRiver5();
        if (s && s->failure.empty())
            s->failure = addRiver6();
    }

    // 8-bit text: a data set named so, its first record a title line naming the columns in
    // Latin-1, then records whose third cell is Latin-1 text, one a minute.
    static std::vector<fleet::Fact> latinRecords(const std::string& serial, int count,
                                                 const QString& laptop) {
        std::vector<fleet::Fact> out;
        series::RecordChain chain;
        for (int i = 0; i <= count; ++i) {
            char line[96];
            if (i == 0)
                std::snprintf(line, sizeof line, "Zeit, Pegel, Qualit\xe4t");
            else
                std::snprintf(line, sizeof line, "2026/12/01 %02d:%02d:00, %d, g\xfct \"%d\"",
                              (i - 1) / 60, (i - 1) % 60, i % 7, i);
            series::SharedRecord r;
            r.line = line;
            r.download = "/data/kept.txt";
            QByteArray payload;
            series::appendRecordPayload(payload, r, i == 0);
            out.push_back(fleet::recordFact(
                QString::fromLatin1(serial.data(), qsizetype(serial.size())),
                {series::sharedDataSet(kLatinSet, 0), 0, i}, chain.next(line),
                QJsonDocument::fromJson(payload).object(), kSite3AtMs + 1000 + i, laptop));
        }
        return out;
    }

    // RIVER-06: SITE6 and SITE7 side by side, each from before its records on, their records at
    // the same instants (ties in time, taken by unit); SITE7's column 2 calibrated 10x over an
    // hour from its twentieth minute.
    static std::string addRiver6() {
        const std::string folder = s->dir.path().toStdString() + "/d";
        if (!QDir().mkpath(QString::fromStdString(folder)))
            return "no folder for the fourth outbox";
        fleettest::LocalStore c(folder + "/d-units.sqlite");
        const QString la = QStringLiteral("laptop_a");
        std::vector<fleet::Fact> sets;
        for (const char* unit : {"SITE6", "SITE7"})
            sets.push_back(
                clockSetFact({unit, kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la));
        if (!c.ok() || !c.record(sets) ||
            !c.recordSpan(records("SITE6", "LEVEL", 90, la, -1, 0, kSite3AtMs)) ||
            !c.recordSpan(records("SITE7", "LEVEL", 90, la, -1, 0, kSite3AtMs)) ||
            !c.recordSpan(latinRecords("SITE6", 40, la)) || !Shared::push("laptop_a", c.path()))
            return "SITE6's and SITE7's facts not pushed";
        fleet::PgConnection pg;
        if (!pg.connect(fleet::serviceConninfo("owner_db"), 10s))
            return "owner not connected";
        const fleet::Site river6{QStringLiteral("RIVER-06"),
                                 QStringLiteral("Twin"),
                                 {},
                                 8.5,
                                 47.2,
                                 std::nullopt,
                                 std::nullopt};
        const fleet::Calibration calibration{QStringLiteral("SITE7"),
                                             QStringLiteral("LEVEL"),
                                             2,
                                             kSite3ClockSetMs + 20 * 60000,
                                             kSite3ClockSetMs + 80 * 60000,
                                             10,
                                             0.5};
        const fleet::ColumnMeaning quality{
            {},
            QString::fromLatin1(kLatinSet.data(), qsizetype(kLatinSet.size())),
            3,
            0,
            QStringLiteral("Quality"),
            {},
            {QStringLiteral("1"), QString(), QStringLiteral("none")}};
        std::vector<fleet::SiteFactToAdd> facts = {
            {river6, false, {}}, {calibration, false, {}}, {quality, false, {}}};
        for (const char* unit : {"SITE6", "SITE7"})
            facts.push_back({fleet::Deployment{QString::fromLatin1(unit), river6.code,
                                               kSite3ClockSetMs - 3600000, std::nullopt, false},
                             false,
                             {}});
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(pg, facts);
        return added.ok ? std::string() : "site facts not added: " + added.error.toStdString();
    }

    static std::string addRiver5() {
        const std::string folder = s->dir.path().toStdString() + "/c";
        if (!QDir().mkpath(QString::fromStdString(folder)))
            return "no folder for the third outbox";
        fleettest::LocalStore c(folder + "/c-units.sqlite");
        const QString la = QStringLiteral("laptop_a");
        std::vector<fleet::Fact> sets;
        for (const char* unit : {"SITE4", "SITE5"})
            sets.push_back(
                clockSetFact({unit, kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la));
        if (!c.ok() || !c.record(sets) ||
            !c.recordSpan(records("SITE4", "LEVEL", 200, la, -1, 0, kSite3AtMs)) ||
            !c.recordSpan(records("SITE5", "LEVEL", 200, la, -1, 0, kSite3AtMs)) ||
            !Shared::push("laptop_a", c.path()))
            return "SITE4's and SITE5's facts not pushed";
        fleet::PgConnection pg;
        if (!pg.connect(fleet::serviceConninfo("owner_db"), 10s))
            return "owner not connected";
        const fleet::Site river5{QStringLiteral("RIVER-05"),
                                 QStringLiteral("Weir"),
                                 {},
                                 8.5,
                                 47.3,
                                 std::nullopt,
                                 std::nullopt};
        const fleet::ColumnMeaning level{
            {},
            QStringLiteral("LEVEL"),
            2,
            0,
            QStringLiteral("Water level"),
            {},
            {QStringLiteral("m"), QStringLiteral("m"), QStringLiteral("metre")}};
        const fleet::Calibration calibration{QStringLiteral("SITE4"),
                                             QStringLiteral("LEVEL"),
                                             2,
                                             kSite3ClockSetMs,
                                             kSite3ClockSetMs + kHalfHour,
                                             2,
                                             1};
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(
            pg,
            {{river5, false, {}},
             {fleet::Deployment{QStringLiteral("SITE4"), river5.code, kSite3ClockSetMs - 3600000,
                                std::nullopt, false},
              false,
              {}},
             {fleet::Removal{QStringLiteral("SITE4"), kSwapMs}, false, {}},
             {fleet::Deployment{QStringLiteral("SITE5"), river5.code, kSwapMs, std::nullopt, false},
              false,
              {}},
             {level, false, {}},
             {calibration, false, {}}});
        return added.ok ? std::string() : "site facts not added: " + added.error.toStdString();
    }

    struct Ran {
        int code = -1;
        std::string out, err;
    };
    Ran exportSite(std::vector<std::string> more) {
        const QString out = QString::fromStdString(s->dir.path().toStdString()) +
                            QStringLiteral("/site-export-%1.txt").arg(++m_runs);
        std::vector<std::string> args = {"export", "--site", "RIVER-05", "--service", "owner_db"};
        if (!more.empty() && more.front() == "--site") // another site's
            args = {"export", "--service", "owner_db"};
        args.insert(args.end(), more.begin(), more.end());
        testsupport::ChildProcess child(XRQ_BIN_DIR "/xrq-series", args, out.toStdString());
        Ran r;
        EXPECT_TRUE(child.waitForExit(60s)) << child.errorOutput();
        r.code = child.exitedNormally() ? child.exitCode() : -1;
        r.err = child.errorOutput();
        std::ifstream in(out.toStdString(), std::ios::binary);
        r.out.assign(std::istreambuf_iterator<char>(in), {});
        return r;
    }

private:
    int m_runs = 0;
};

std::vector<std::vector<std::string>> rowsOf(const std::string& csv) {
    std::vector<std::vector<std::string>> rows;
    std::size_t at = 0;
    while (at < csv.size()) {
        const std::size_t end = csv.find("\r\n", at);
        if (end == std::string::npos)
            break;
        std::vector<std::string> cells;
        std::stringstream line(csv.substr(at, end - at));
        for (std::string cell; std::getline(line, cell, ',');)
            cells.push_back(cell);
        if (!csv.compare(end - 1, 1, ","))
            cells.emplace_back();
        rows.push_back(cells);
        at = end + 2;
    }
    return rows;
}

TEST_F(SiteExportTest, TheSitesCsvHoldsEachUnitInItsTimeCalibratedAndNamedByMeaning) {
    const Ran whole = exportSite({});
    ASSERT_EQ(whole.code, 0) << whole.err;
    const auto rows = rowsOf(whole.out);
    ASSERT_FALSE(rows.empty());
    const std::vector<std::string> header = {
        "utc",     "unit",        "data_set", "Water level [m]", "Water level [m] raw",
        "field_3", "field_3 raw", "flags"};
    EXPECT_EQ(rows[0], header);
    // SITE4's records before the swap (00:00 to 01:59 local, 23:00Z on), then SITE5's from it
    // to its last (03:19 local): the swap falls in the middle of SITE4's download of 200.
    ASSERT_EQ(rows.size(), 1u + kSite3BeforeSwap + (200 - kSite3BeforeSwap)) << whole.out;
    struct Want {
        std::size_t row;
        const char* utc;
        const char* unit;
        const char* level; // calibrated
        const char* raw;
    } want[] = {
        {1, "2026-11-30T23:00:00Z", "SITE4", "1", "0"},   // 2 * 0 + 1
        {30, "2026-11-30T23:29:00Z", "SITE4", "19", "9"}, // the window's last minute
        {31, "2026-11-30T23:30:00Z", "SITE4", "0", "0"},  // the window has ended
        {38, "2026-11-30T23:37:00Z", "SITE4", "99", "99"},
        {120, "2026-12-01T00:59:00Z", "SITE4", "9", "9"},
        {121, "2026-12-01T01:00:00Z", "SITE5", "0", "0"}, // the swap: SITE5's record 120
        {200, "2026-12-01T02:19:00Z", "SITE5", "9", "9"}, // its last, 199
    };
    for (const Want& w : want) {
        SCOPED_TRACE(w.row);
        const auto& r = rows[w.row];
        ASSERT_EQ(r.size(), header.size());
        EXPECT_EQ(r[0], w.utc);
        EXPECT_EQ(r[1], w.unit);
        EXPECT_EQ(r[2], "LEVEL");
        EXPECT_EQ(r[3], w.level);
        EXPECT_EQ(r[4], w.raw);
        EXPECT_EQ(r[5], "1"); // column 3, no meaning: by its number, across the swap
    }

    // A range across the swap: ten minutes of each unit, the ends taken.
    const Ran part = exportSite({"--from", "2026-12-01T00:50:00Z", "--to", "2026-12-01T01:10:00Z"});
    ASSERT_EQ(part.code, 0) << part.err;
    const auto cut = rowsOf(part.out);
    ASSERT_EQ(cut.size(), 1u + 10 + 11);
    EXPECT_EQ(cut[1][0], "2026-12-01T00:50:00Z");
    EXPECT_EQ(cut[10][1], "SITE4");
    EXPECT_EQ(cut[11][1], "SITE5");

    // An unknown site: a clear error, nothing written.
    const Ran none = exportSite({"--site", "NOSUCH"});
    EXPECT_NE(none.code, 0);
    EXPECT_NE(none.err.find("NOSUCH"), std::string::npos) << none.err;

    // As its users read it: pandas with no options.
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty() || QProcess::execute(python, {"-c", "import pandas"}) != 0)
        GTEST_SKIP() << "python3 with pandas is not installed (scripts/common.sh installs it)";
    const QString file = s->dir.path() + QStringLiteral("/site.csv");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(whole.out.data(), qint64(whole.out.size()));
    }
    QProcess p;
    p.start(python, {"-c",
                     "import sys, pandas\n"
                     "d = pandas.read_csv(sys.argv[1])\n"
                     "print(len(d), d['Water level [m]'].sum(), d['unit'].nunique(), "
                     "str(d['Water level [m]'].dtype), str(d['utc'].dtype))",
                     file});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    // The levels: SITE4's 120 (0..9 calibrated to 1..19 in the window, 99 at 37, the rest
    // 0..9) and SITE5's 80 (records 120 to 199: 0..9 eight times).
    long long sum = 0;
    for (int i = 0; i < 200; ++i) {
        const int v = i == 37 ? 99 : i % 10;
        sum += i < 30 ? 2 * v + 1 : v;
    }
    EXPECT_EQ(p.readAllStandardOutput().trimmed().toStdString(),
              std::to_string(200) + " " + std::to_string(sum) + " 2 int64 object");
}

// A site's CSV from the server's derived copy, written as its rows are read, is the one built
// from the facts byte for byte, through xrq-series and the office alike: a swap in the middle
// of a download, meanings and a calibration window (RIVER-01, RIVER-05), two units side by
// side with records at the same instants (RIVER-06), 8-bit data sets and text (RIVER-02),
// ranges. Before the copy is derived, and after a push it does not hold yet, the office
// reads the facts and says so.
TEST_F(SiteExportTest, ASitesCsvFromTheDerivedCopyIsTheOneBuiltFromTheFacts) {
    startOffice();
    struct Case {
        const char* site;
        const char* from; // empty: the series' own
        const char* to;
    } const cases[] = {
        {"RIVER-01", "", ""},
        {"RIVER-01", "2026-12-01T00:30:00Z", "2026-12-01T01:30:00Z"},
        {"RIVER-02", "", ""},
        {"RIVER-05", "", ""},
        {"RIVER-05", "2026-12-01T00:59:00Z", "2026-12-01T01:00:00Z"},
        {"RIVER-06", "", ""},
        {"RIVER-06", "2026-11-30T23:19:00Z", "2026-11-30T23:21:00Z"},
    };
    const auto both = [&](const Case& c) {
        std::vector<std::string> args = {"--site", c.site};
        QString path = QStringLiteral("/csv/site?site=%1").arg(QLatin1String(c.site));
        if (*c.from) {
            args.insert(args.end(), {"--from", c.from, "--to", c.to});
            path +=
                QStringLiteral("&from=%1&to=%2").arg(QLatin1String(c.from), QLatin1String(c.to));
        }
        return std::pair(exportSite(args), get(path));
    };
    qputenv("XRQ_SITE_FROM_COPY", "0");
    std::vector<std::pair<Ran, Reply>> fromFacts;
    for (const Case& c : cases)
        fromFacts.push_back(both(c));
    qunsetenv("XRQ_SITE_FROM_COPY");
    // Not derived yet: read from the facts, and told.
    const Reply behind = get(QStringLiteral("/csv/site?site=RIVER-05"));
    EXPECT_EQ(behind.body, fromFacts[3].second.body);
    EXPECT_TRUE(behind.headers.contains("x-derived-behind"));

    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(std::string(cases[i].site) + " " + cases[i].from);
        const auto [ran, reply] = both(cases[i]);
        ASSERT_EQ(ran.code, 0) << ran.err;
        ASSERT_EQ(fromFacts[i].first.code, 0) << fromFacts[i].first.err;
        if (std::string_view(cases[i].site) != "RIVER-02") { // its records have no UTC
            EXPECT_GT(std::count(ran.out.begin(), ran.out.end(), '\n'), 1);
        }
        EXPECT_EQ(ran.out, fromFacts[i].first.out);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, fromFacts[i].second.body);
        EXPECT_FALSE(reply.headers.contains("x-derived-behind"))
            << reply.headers.value("x-derived-behind").toStdString();
    }
    // Side by side: each instant SITE6's records (its data sets in turn), then SITE7's.
    const auto rows = rowsOf(fromFacts[5].first.out);
    ASSERT_GT(rows.size(), 4u);
    EXPECT_EQ(rows[1][0], rows[3][0]);
    EXPECT_EQ(rows[1][1] + rows[1][2], "SITE6LEVEL");
    EXPECT_EQ(rows[2][1] + rows[2][2], "SITE6Temp\xc3\xa9rature");
    EXPECT_EQ(rows[3][1] + rows[3][2], "SITE7LEVEL");
    // The 8-bit data set by its name, its columns by their Latin-1 titles and a column of
    // 8-bit text by its meaning, each in UTF-8.
    const std::string& latin = fromFacts[5].first.out;
    EXPECT_NE(latin.find(",Temp\xc3\xa9rature,"), std::string::npos);
    EXPECT_NE(latin.find("Pegel raw"), std::string::npos);
    EXPECT_NE(latin.find("Quality raw"), std::string::npos);
    EXPECT_NE(latin.find("g\xc3\xbct"), std::string::npos);

    // A push the copy does not hold yet: read from the facts again, the new records in it, and
    // told.
    fleettest::LocalStore more(s->dir.path().toStdString() + "/d/d-more.sqlite");
    ASSERT_TRUE(more.ok() &&
                more.recordSpan(
                    records("SITE7", "EXTRA", 5, QStringLiteral("laptop_a"), -1, 0, kSite3AtMs)) &&
                Shared::push("laptop_a", more.path()));
    const Reply after = get(QStringLiteral("/csv/site?site=RIVER-06"));
    EXPECT_EQ(after.status, 200);
    EXPECT_NE(after.body.indexOf(",SITE7,EXTRA,"), -1);
    EXPECT_TRUE(after.headers.contains("x-derived-behind"));
    qputenv("XRQ_SITE_FROM_COPY", "0");
    EXPECT_EQ(get(QStringLiteral("/csv/site?site=RIVER-06")).body, after.body);
    qunsetenv("XRQ_SITE_FROM_COPY");
}

// A site's plot streamed from the derived copy (its range's rows into the buckets, its ends
// asked by SQL) is the one cut from its series held whole, read from the copy or built from the
// facts, byte for byte: a swap in the middle of a download and flagged records (RIVER-01),
// records without a UTC alone (RIVER-02), a calibration window across a swap (RIVER-05), units
// side by side with text cells and a calibration (RIVER-06); open, closed, half-open and empty
// ranges, one bucket and many. Through the office, with its door open and closed, the same.
TEST_F(SiteExportTest, ASitesPlotStreamedFromTheDerivedCopyIsTheOneOfItsWholeSeries) {
    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    const double start = double(kSite3ClockSetMs) / 1000, swap = double(kSwapMs) / 1000;
    struct Range {
        std::optional<double> from, to;
        int buckets;
    } const ranges[] = {
        {std::nullopt, std::nullopt, 800},
        {std::nullopt, std::nullopt, 7},
        {swap - 1800, swap + 1800, 13},                // across the swap
        {start + 1200, std::nullopt, 1},               // from a time on, one bucket
        {std::nullopt, start + 600.5, 800},            // up to a time
        {swap, swap, 5},                               // no width: the swap's instant
        {start - 86400 * 30, start - 86400 * 29, 800}, // before every record: none
    };
    const auto text = [](const office::SitePlot& p) {
        return QJsonDocument(office::sitePlotJson(p)).toJson(QJsonDocument::Compact).toStdString();
    };
    bool marked = false, swapped = false, flaggedOut = false;
    for (const char* site : {"RIVER-01", "RIVER-02", "RIVER-05", "RIVER-06"}) {
        SCOPED_TRACE(site);
        const auto plan = series::planSiteFromCopy(pg, site, 60s);
        ASSERT_TRUE(plan.ok()) << plan.error().text;
        ASSERT_EQ(plan.value().behind, "");
        const auto properties =
            series::siteCopyProperties(pg, plan.value(), std::nullopt, std::nullopt, 60s);
        const auto extent = series::siteCopyExtent(pg, plan.value(), 60s);
        const auto whole = series::readSiteSeriesFromCopy(pg, plan.value(), 60s);
        const auto built = series::readSiteSeries(pg, site, 60s);
        ASSERT_TRUE(properties.ok() && extent.ok() && whole.ok() && built.ok());
        EXPECT_EQ(extent.value().withoutUtc, whole.value().withoutUtc);
        flaggedOut = flaggedOut || extent.value().withoutUtc > 0;
        for (const Range& r : ranges) {
            SCOPED_TRACE(std::to_string(r.from.value_or(-1)) + " " +
                         std::to_string(r.to.value_or(-1)) + " " + std::to_string(r.buckets));
            const office::TimeRange range{r.from, r.to};
            const auto streamed = office::sitePlotFromCopy(pg, plan.value(), properties.value(),
                                                           extent.value(), range, r.buckets, 60s);
            ASSERT_TRUE(streamed.ok()) << streamed.error().text;
            const std::string held = text(office::sitePlotOf(whole.value(), range, r.buckets));
            EXPECT_EQ(text(streamed.value()), held);
            EXPECT_EQ(text(office::sitePlotOf(built.value(), range, r.buckets)), held);
            marked = marked || !streamed.value().plot.marks.points.empty();
            swapped = swapped || !streamed.value().swaps.empty();
        }
    }
    EXPECT_TRUE(marked);
    EXPECT_TRUE(swapped);
    EXPECT_TRUE(flaggedOut);

    startOffice();
    const QStringList asked = {
        QStringLiteral("/api/site-series?site=RIVER-01"),
        QStringLiteral("/api/site-series?site=RIVER-01&from=2026-12-01T00:30:00Z&"
                       "to=2026-12-01T01:30:00Z&buckets=9"),
        QStringLiteral("/api/site-series?site=RIVER-02"),
        QStringLiteral("/api/site-series?site=RIVER-05&buckets=4000"),
        QStringLiteral("/api/site-series?site=RIVER-06&from=2026-11-30T23:19:00Z&buckets=3"),
    };
    const auto answers = [&] {
        office::SiteSeriesCache::shared().forget();
        std::vector<QByteArray> out;
        for (const QString& path : asked) {
            const Reply r = get(path);
            EXPECT_EQ(r.status, 200) << path.toStdString() << ": " << r.body.toStdString();
            EXPECT_FALSE(r.headers.contains("x-derived-behind")) << path.toStdString();
            out.push_back(r.body);
        }
        return out;
    };
    const std::vector<QByteArray> fromCopy = answers();
    const std::vector<QByteArray> again = answers(); // its extent and properties kept
    qputenv("XRQ_SITE_FROM_COPY", "0");
    const std::vector<QByteArray> fromFacts = answers();
    qunsetenv("XRQ_SITE_FROM_COPY");
    for (std::size_t i = 0; i < std::size_t(asked.size()); ++i) {
        SCOPED_TRACE(asked[qsizetype(i)].toStdString());
        EXPECT_EQ(fromCopy[i].toStdString(), fromFacts[i].toStdString());
        EXPECT_EQ(again[i].toStdString(), fromFacts[i].toStdString());
    }
    EXPECT_EQ(get(QStringLiteral("/api/site-series?site=NOSUCH")).status, 404);
}

// A read of the copy refused midway (the table locked by another session beyond this one's
// lock_timeout) is told as the server's, the rows before it handed, and leaves its connection
// as it found it: no transaction open, the planner's settings its own again; the same read
// then succeeds on it whole.
TEST_F(SiteExportTest, ACopyReadRefusedIsToldAndLeavesItsConnectionAsItWas) {
    fleet::PgConnection pg, locker;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    ASSERT_TRUE(locker.connect(fleet::serviceConninfo("owner_db"), 10s)) << locker.error();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    const auto plan = series::planSiteFromCopy(pg, "RIVER-05", 60s);
    ASSERT_TRUE(plan.ok() && plan.value().behind.empty());
    const auto properties =
        series::siteCopyProperties(pg, plan.value(), std::nullopt, std::nullopt, 60s);
    ASSERT_TRUE(properties.ok());
    long long rows = 0;
    const auto count = [&](const series::SiteRow&) {
        ++rows;
        return true;
    };
    ASSERT_TRUE(locker.exec("BEGIN").ok());
    ASSERT_TRUE(locker.exec("LOCK TABLE xrq.derived_observations IN ACCESS EXCLUSIVE MODE").ok());
    ASSERT_TRUE(pg.exec("SET lock_timeout = '200ms'").ok());
    const auto refused = series::forEachSiteRowFromCopy(pg, plan.value(), properties.value(),
                                                        std::nullopt, std::nullopt, 60s, count);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.kind(), platform::ErrorKind::Server);
    EXPECT_NE(refused.text().find("derived copy not read"), std::string::npos) << refused.text();
    std::string csv;
    const auto written = series::exportSiteCsvFromCopy(
        pg, plan.value(), properties.value(),
        [&](std::string_view piece) {
            csv += piece;
            return true;
        },
        std::nullopt, std::nullopt, 60s);
    EXPECT_FALSE(written.ok());
    ASSERT_TRUE(locker.exec("COMMIT").ok());
    const fleet::PgResult state =
        pg.exec("SELECT pg_catalog.current_setting('enable_sort'), pg_catalog.now() = "
                "pg_catalog.statement_timestamp()");
    ASSERT_TRUE(state.ok()) << state.error(); // not "current transaction is aborted"
    EXPECT_EQ(state.value(0, 0), "on");
    EXPECT_EQ(state.value(0, 1), "t"); // its own transaction: none was left open
    rows = 0;
    const auto read = series::forEachSiteRowFromCopy(pg, plan.value(), properties.value(),
                                                     std::nullopt, std::nullopt, 60s, count);
    ASSERT_TRUE(read.ok()) << read.text();
    EXPECT_EQ(read.value(), rows);
    EXPECT_EQ(rows, 200);
}

// A site whose units' series in the copy span many pieces (SITE8 and SITE9 at RIVER-07, each
// 50 records pushed and derived, then continued in the copy by SQL to 45,050, a swap between
// them in the middle): the CSV and the plot read piece by piece in time are the ones of the
// series read whole in the series' order, every row once, across each piece's end. The rows
// added are taken away after, so that the copy is its facts' again.
TEST_F(SiteExportTest, ASitesCopyReadInManyPiecesLosesAndRepeatsNoRow) {
    constexpr int kPushed = 50, kHeld = 45050;
    const std::int64_t swapMs = kSite3ClockSetMs + std::int64_t(kHeld / 2) * 60000;
    {
        fleettest::LocalStore c(s->dir.path().toStdString() + "/d/d-pieces.sqlite");
        const QString la = QStringLiteral("laptop_a");
        std::vector<fleet::Fact> sets;
        for (const char* unit : {"SITE8", "SITE9"})
            sets.push_back(
                clockSetFact({unit, kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la));
        ASSERT_TRUE(c.ok() && c.record(sets) &&
                    c.recordSpan(records("SITE8", "LEVEL", kPushed, la, -1, 0, kSite3AtMs)) &&
                    c.recordSpan(records("SITE9", "LEVEL", kPushed, la, -1, 0, kSite3AtMs)) &&
                    Shared::push("laptop_a", c.path()));
    }
    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    const fleet::Site river7{QStringLiteral("RIVER-07"),
                             QStringLiteral("Long"),
                             {},
                             8.4,
                             47.1,
                             std::nullopt,
                             std::nullopt};
    const fleet::AddedSiteFacts added = fleet::addSiteFacts(
        pg, {{river7, false, {}},
             {fleet::Deployment{QStringLiteral("SITE8"), river7.code, kSite3ClockSetMs - 3600000,
                                std::nullopt, false},
              false,
              {}},
             {fleet::Removal{QStringLiteral("SITE8"), swapMs}, false, {}},
             {fleet::Deployment{QStringLiteral("SITE9"), river7.code, swapMs, std::nullopt, false},
              false,
              {}}});
    ASSERT_TRUE(added.ok) << added.error.toStdString();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    const std::string units = "('SITE8', 'SITE9')";
    std::string why;
    ASSERT_TRUE(s->server.sql(
        "INSERT INTO xrq.derived_observations (datastream, ordinal, segment, place, utc, "
        "utc_offset, result, flags, record) SELECT d.id, i, 1, i, " +
            std::to_string(kSite3ClockSetMs / 1000) +
            " + i * 60, 3600, i % 10, '', to_char(timestamp '2026-12-01 00:00:00' + i * "
            "interval '1 minute', 'YYYY/MM/DD HH24:MI:SS') || ', ' || (i % 10) || ', 1' FROM "
            "xrq.derived_datastreams d CROSS JOIN generate_series(" +
            std::to_string(kPushed) + ", " + std::to_string(kHeld - 1) + ") i WHERE d.unit IN " +
            units + "; UPDATE xrq.derived_series SET records = " + std::to_string(kHeld) +
            " WHERE unit IN " + units,
        testsupport::PgTestServer::kDatabase, &why))
        << why;
    const auto plan = series::planSiteFromCopy(pg, "RIVER-07", 60s);
    ASSERT_TRUE(plan.ok() && plan.value().behind.empty());
    const auto properties =
        series::siteCopyProperties(pg, plan.value(), std::nullopt, std::nullopt, 60s);
    const auto extent = series::siteCopyExtent(pg, plan.value(), 60s);
    const auto whole = series::readSiteSeriesFromCopy(pg, plan.value(), 60s);
    ASSERT_TRUE(properties.ok() && extent.ok() && whole.ok());
    EXPECT_EQ(whole.value().rows.size(), std::size_t(kHeld)); // half of each unit's, no more
    std::string streamed, held;
    const auto into = [](std::string& out) {
        return [&out](std::string_view piece) {
            out += piece;
            return true;
        };
    };
    const auto written = series::exportSiteCsvFromCopy(
        pg, plan.value(), properties.value(), into(streamed), std::nullopt, std::nullopt, 60s);
    ASSERT_TRUE(written.ok()) << written.text();
    EXPECT_EQ(written.value(), kHeld);
    EXPECT_EQ(series::exportSiteCsv(whole.value(), into(held)), kHeld);
    EXPECT_TRUE(streamed == held); // 2.4 MB each: not printed
    const auto json = [](const office::SitePlot& p) {
        return QJsonDocument(office::sitePlotJson(p)).toJson(QJsonDocument::Compact);
    };
    for (const office::TimeRange& range :
         {office::TimeRange{}, office::TimeRange{double(swapMs) / 1000 - 86400 * 3,
                                                 double(swapMs) / 1000 + 86400 * 2}}) {
        const auto plot = office::sitePlotFromCopy(pg, plan.value(), properties.value(),
                                                   extent.value(), range, 800, 60s);
        ASSERT_TRUE(plot.ok());
        EXPECT_EQ(json(plot.value()), json(office::sitePlotOf(whole.value(), range, 800)));
    }
    ASSERT_TRUE(s->server.sql("DELETE FROM xrq.derived_observations o USING "
                              "xrq.derived_datastreams d WHERE o.datastream = d.id AND d.unit IN " +
                                  units + " AND o.ordinal >= " + std::to_string(kPushed) +
                                  "; UPDATE xrq.derived_series SET records = " +
                                  std::to_string(kPushed) + " WHERE unit IN " + units,
                              testsupport::PgTestServer::kDatabase, &why))
        << why;
}

// Everything a site's series holds, one line per property, row and count, for comparing two
// reads of it whole.
std::string describe(const series::SiteSeries& s) {
    std::ostringstream out;
    out.precision(17);
    out << s.site << " deployments " << s.deployments.size() << " outside " << s.outsideDeployments
        << " without UTC " << s.withoutUtc << "\n";
    for (const series::SiteProperty& p : s.properties)
        out << "property " << p.name << "|" << p.definition << "|" << p.uom.code.toStdString()
            << "|" << p.dataSet << "\n";
    for (const series::SiteSwap& w : s.swaps)
        out << "swap " << w.atMs << " " << w.fromUnit << ">" << w.toUnit << "\n";
    for (const series::SiteRow& r : s.rows) {
        out << r.utc << " " << r.unit << " " << r.dataSet << " " << r.segment << "/" << r.index
            << " " << r.unitTime << " " << r.offsetSeconds << " [" << r.flags << "]";
        for (std::size_t i = 0; i < std::max(r.values.size(), r.raw.size()); ++i) {
            out << " ";
            if (i < r.values.size() && r.values[i])
                out << *r.values[i];
            out << "~" << (i < r.raw.size() ? r.raw[i] : std::string("-"));
        }
        out << "\n";
    }
    return out.str();
}

// A site's series read whole from the derived copy is the one built from the facts: rows,
// properties, their order, the records left out outside the deployments and without a UTC
// (RIVER-01's swap mid-download, RIVER-02's 8-bit records without a UTC, RIVER-05's
// calibration window, RIVER-06's units side by side). The web service's answers about the
// sites are then the same byte for byte read either way: the sites' Datastreams, their
// Observations in either order and cut by time, and every Observation ordered by time. After
// a push the copy does not hold yet, the series is built from the facts again.
TEST_F(SiteExportTest, ASitesSeriesFromTheDerivedCopyIsTheOneBuiltFromTheFacts) {
    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    for (const char* site : {"RIVER-01", "RIVER-02", "RIVER-05", "RIVER-06"}) {
        SCOPED_TRACE(site);
        const auto plan = series::planSiteFromCopy(pg, site, 60s);
        ASSERT_TRUE(plan.ok()) << plan.error().text;
        ASSERT_EQ(plan.value().behind, "");
        const auto copied = series::readSiteSeriesFromCopy(pg, plan.value(), 60s);
        const auto built = series::readSiteSeries(pg, site, 60s);
        ASSERT_TRUE(copied.ok() && built.ok());
        EXPECT_EQ(describe(copied.value()), describe(built.value()));
        if (std::string_view(site) != "RIVER-02") { // its records have no UTC
            EXPECT_GT(copied.value().rows.size(), 10u);
        } else {
            EXPECT_GT(copied.value().withoutUtc, 0);
        }
    }

    startOffice();
    const auto answers = [&] {
        office::SiteSeriesCache::shared().forget();
        std::vector<QByteArray> out;
        const auto ask = [&](const QString& path) {
            const Reply r = get(QStringLiteral("/api/v1.1") + path);
            EXPECT_EQ(r.status, 200) << path.toStdString() << ": " << r.body.toStdString();
            EXPECT_FALSE(r.headers.contains("x-derived-behind")) << path.toStdString();
            out.push_back(r.body);
            return r;
        };
        ask(QStringLiteral("/Observations?$orderby=phenomenonTime&$top=40&$skip=30&$count=true"));
        ask(QStringLiteral("/Observations?$orderby=phenomenonTime%20desc&$top=25&$filter="
                           "phenomenonTime%20lt%202026-12-01T01:00:30Z"));
        // Every Datastream's one after another (the sites' after the units'), cut deep in
        // the sites', counted; in time either way across the swaps, with $select.
        ask(QStringLiteral("/Observations?$top=50&$skip=1500&$count=true"));
        ask(QStringLiteral("/Observations?$orderby=phenomenonTime%20desc&$top=60&$skip=200&"
                           "$count=true&$filter=phenomenonTime%20ge%202026-11-30T23:55:00Z"
                           "%20and%20phenomenonTime%20le%202026-12-01T02:05:00Z"));
        ask(QStringLiteral("/Observations?$orderby=phenomenonTime&$top=30&$select=result,"
                           "parameters&$filter=phenomenonTime%20gt%202026-12-01T00:59:00Z"));
        for (const char* site : {"RIVER-01", "RIVER-05", "RIVER-06"}) {
            const Reply streams = ask(QStringLiteral("/Things('site:%1')/Datastreams").arg(site));
            for (const QJsonValue& d : streams.json().value(QLatin1String("value")).toArray()) {
                const QUrl link(d[QLatin1String("Observations@iot.navigationLink")].toString(),
                                QUrl::StrictMode);
                const QString path = link.path(QUrl::FullyEncoded).mid(9); // past /api/v1.1
                ask(path + QStringLiteral("?$top=15&$skip=3&$count=true"));
                ask(path + QStringLiteral("?$orderby=phenomenonTime%20desc&$top=20&$filter="
                                          "phenomenonTime%20ge%202026-11-30T23:19:00Z"));
                // Past the swap and the calibration window, counted within a range; none.
                ask(path + QStringLiteral("?$top=7&$skip=95&$count=true&$filter="
                                          "phenomenonTime%20lt%202026-12-01T02:00:00Z"));
                ask(path + QStringLiteral("?$top=0&$count=true&$orderby=phenomenonTime"));
                // One of its Observations by its identity, and ones that are not there.
                const Reply page = ask(path + QStringLiteral("?$top=1&$skip=2"));
                const QJsonArray one = page.json().value(QLatin1String("value")).toArray();
                if (one.size() != 1) {
                    ADD_FAILURE() << "no Observation at $skip=2 of " << path.toStdString();
                    continue;
                }
                const QString id = one[0][QLatin1String("@iot.id")].toString();
                const auto esc = [](const QString& t) {
                    return QString::fromLatin1(QUrl::toPercentEncoding(t));
                };
                ask(QStringLiteral("/Observations('%1')").arg(esc(id)));
                for (const QString& none :
                     {id.left(id.lastIndexOf(QLatin1Char('/')) + 1) + QStringLiteral("999999"),
                      id + QStringLiteral("/1"),
                      QString(id).replace(QLatin1String("/1/"), QLatin1String("/01/"))}) {
                    const Reply r =
                        get(QStringLiteral("/api/v1.1/Observations('%1')").arg(esc(none)));
                    EXPECT_EQ(r.status, 404) << none.toStdString();
                    out.push_back(r.body);
                }
            }
        }
        return out;
    };
    const std::vector<QByteArray> fromCopy = answers();
    qputenv("XRQ_SITE_FROM_COPY", "0");
    const std::vector<QByteArray> fromFacts = answers();
    qunsetenv("XRQ_SITE_FROM_COPY");
    ASSERT_EQ(fromCopy.size(), fromFacts.size());
    EXPECT_GT(fromCopy.size(), 8u);
    for (std::size_t i = 0; i < fromCopy.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fromCopy[i].toStdString(), fromFacts[i].toStdString());
    }

    // A push the copy does not hold yet: the site's series built from the facts again, the new
    // data set's Datastream among the site's.
    fleettest::LocalStore more(s->dir.path().toStdString() + "/d/d-more-series.sqlite");
    ASSERT_TRUE(more.ok() &&
                more.recordSpan(
                    records("SITE7", "EXTRA2", 5, QStringLiteral("laptop_a"), -1, 0, kSite3AtMs)) &&
                Shared::push("laptop_a", more.path()));
    const auto plan = series::planSiteFromCopy(pg, "RIVER-06", 60s);
    ASSERT_TRUE(plan.ok());
    EXPECT_NE(plan.value().behind, "");
    office::SiteSeriesCache::shared().forget();
    const Reply behind = get(QStringLiteral("/api/v1.1/Things('site:RIVER-06')/Datastreams"));
    EXPECT_NE(behind.body.indexOf("EXTRA2"), -1);
    EXPECT_EQ(behind.headers.value("x-derived-behind"), "1 sites");
    qputenv("XRQ_SITE_FROM_COPY", "0");
    office::SiteSeriesCache::shared().forget();
    EXPECT_EQ(get(QStringLiteral("/api/v1.1/Things('site:RIVER-06')/Datastreams")).body,
              behind.body);
    qunsetenv("XRQ_SITE_FROM_COPY");
    // Derived: the pieces of the one site whose unit's series changed built again, and read.
    const platform::Result<office::DeriveReport> again = office::deriveObservations(pg, false, 60s);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().sites, 1);
    const Reply caughtUp = get(QStringLiteral("/api/v1.1/Things('site:RIVER-06')/Datastreams"));
    EXPECT_FALSE(caughtUp.headers.contains("x-derived-behind"));
    EXPECT_EQ(caughtUp.body, behind.body);
}

// A unit's own plot names its columns as the site's does: by the meaning of its data set's
// column where one is given, else by its number.
TEST_F(SiteExportTest, AUnitsPlotNamesItsColumnsByTheirMeaning) {
    startOffice();
    const QJsonObject plot = get(QStringLiteral("/api/series?u=SITE4&set=LEVEL&buckets=20")).json();
    EXPECT_EQ(plot.value(QLatin1String("names")).toArray(), (QJsonArray{"Water level", "field_3"}));
    EXPECT_EQ(plot.value(QLatin1String("units")).toArray(), (QJsonArray{"m", ""}));
    EXPECT_EQ(plot.value(QLatin1String("columns")).toArray(),
              (QJsonArray{"Water level m", "field_3"}));
    // A data set without meanings keeps its columns' numbers.
    const QJsonObject other = get(QStringLiteral("/api/series?u=SITE1&set=ANALOG")).json();
    EXPECT_EQ(other.value(QLatin1String("names")).toArray(), (QJsonArray{"field_2", "field_3"}));
}

// A site fact newer than the sites' pieces (a calibration of SITE5's level from the swap on):
// a site's Datastream's page and every Observation's are derived as before, with the new
// calibration, saying which sites are behind; once the deriver built the pieces of the one
// site it touches again (the others then stand at the new facts), the same bytes are read
// from them. A note touches none. Last of the suite: the calibration stays.
TEST_F(SiteExportTest, PiecesBehindTheSiteFactsAreDerivedAsBeforeUntilBuiltAgain) {
    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("owner_db"), 10s)) << pg.error();
    ASSERT_TRUE(office::deriveObservations(pg, false, 60s).ok());
    struct Case {
        QString path;
        QByteArray behind; // X-Derived-Behind while the pieces are behind
    };
    const std::vector<Case> cases = {
        {QStringLiteral("/api/v1.1/Datastreams('site:RIVER-05/p/Water%2520level/m')/"
                        "Observations?$orderby=phenomenonTime%20desc&$top=5&$count=true"),
         "1 sites"},
        // Every site's pieces are built from all the site facts: every site with pieces is
        // behind, however many the suite's earlier tests added.
        {QStringLiteral("/api/v1.1/Observations?$orderby=phenomenonTime&$top=100&$filter="
                        "phenomenonTime%20ge%202026-12-01T02:15:00Z%20and%20phenomenonTime%20lt%20"
                        "2026-12-01T02:20:00Z"),
         {}},
    };
    const fleet::PgResult sites = pg.exec("SELECT pg_catalog.count(*) FROM xrq.derived_sites");
    ASSERT_TRUE(sites.ok()) << sites.error();
    const QByteArray allSites = QByteArray::fromStdString(sites.value(0, 0)) + " sites";
    startOffice();
    std::vector<QByteArray> before;
    for (const Case& c : cases) {
        const Reply r = get(c.path);
        EXPECT_EQ(r.status, 200);
        EXPECT_FALSE(r.headers.contains("x-derived-behind")) << c.path.toStdString();
        before.push_back(r.body);
    }
    // A note changes no piece: still read from them.
    fleet::FieldNote note;
    note.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    note.site = QStringLiteral("RIVER-05");
    note.atMs = kSwapMs;
    note.text = QStringLiteral("weir cleaned");
    note.by = QStringLiteral("Ana");
    ASSERT_TRUE(fleet::addSiteFacts(pg, {{note, false, {}}}).ok);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Reply r = get(cases[i].path);
        EXPECT_FALSE(r.headers.contains("x-derived-behind")) << cases[i].path.toStdString();
        EXPECT_EQ(r.body, before[i]);
    }
    const fleet::Calibration tenfold{
        QStringLiteral("SITE5"), QStringLiteral("LEVEL"), 2, kSwapMs, std::nullopt, 10, 0};
    ASSERT_TRUE(fleet::addSiteFacts(pg, {{tenfold, false, {}}}).ok);
    office::SiteSeriesCache::shared().forget();
    std::vector<QByteArray> behind;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].path.toStdString());
        const Reply r = get(cases[i].path);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.headers.value("x-derived-behind"),
                  cases[i].behind.isEmpty() ? allSites : cases[i].behind);
        EXPECT_NE(r.body, before[i]); // SITE5's last records, ten times what they were
        behind.push_back(r.body);
    }
    const platform::Result<office::DeriveReport> built = office::deriveObservations(pg, false, 60s);
    ASSERT_TRUE(built.ok());
    EXPECT_EQ(built.value().sites, 1); // the calibrated unit's site alone
    EXPECT_EQ(built.value().whole + built.value().appended, 0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].path.toStdString());
        const Reply r = get(cases[i].path);
        EXPECT_FALSE(r.headers.contains("x-derived-behind"));
        EXPECT_EQ(r.body.toStdString(), behind[i].toStdString());
    }
    // A move: SITE5 deployed at RIVER-06 half an hour after the swap, ending its time at
    // RIVER-05: both sites' pieces built again, and the pages as the facts give them.
    const fleet::Deployment moved{QStringLiteral("SITE5"), QStringLiteral("RIVER-06"),
                                  kSwapMs + kHalfHour, std::nullopt, false};
    ASSERT_TRUE(fleet::addSiteFacts(pg, {{moved, false, {}}}).ok);
    const platform::Result<office::DeriveReport> again = office::deriveObservations(pg, false, 60s);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().sites, 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        office::SiteSeriesCache::shared().forget();
        const Reply fromPieces = get(c.path);
        EXPECT_FALSE(fromPieces.headers.contains("x-derived-behind"));
        qputenv("XRQ_SITE_FROM_COPY", "0");
        office::SiteSeriesCache::shared().forget();
        const Reply fromFacts = get(c.path);
        qunsetenv("XRQ_SITE_FROM_COPY");
        EXPECT_EQ(fromPieces.body.toStdString(), fromFacts.body.toStdString());
    }
}

} // namespace
} // namespace officetest
