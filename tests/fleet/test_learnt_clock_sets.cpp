// SPDX-License-Identifier: GPL-3.0-or-later
// A unit set by another laptop: this laptop learns that clock set from the server and puts
// the records logged under it in UTC, keeps it for when the server is away, and holds each
// set once, its own included.
#include "fleet_fixture.h"

#include "fleet/fleet_settings.h"
#include "series/download_text.h"
#include "series/learnt_clock_sets.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "support/result_assert.h"

#include <QDateTime>
#include <QDir>

namespace fleettest {
namespace {

std::int64_t utcMs(int day, int hour) {
    return QDateTime(QDate(2026, 6, day), QTime(hour, 0), Qt::UTC).toMSecsSinceEpoch();
}

fleet::Fact clockSet(const char* sent, int offsetSeconds, std::int64_t at, const char* laptop) {
    return fleet::eventFact(fleet::newFactId(), QStringLiteral("XRQ7"), QStringLiteral("clock_set"),
                            QJsonObject{{QStringLiteral("sent"), QLatin1String(sent)},
                                        {QStringLiteral("utc_offset"), offsetSeconds}},
                            at, QLatin1String(laptop));
}

class LearntClockSets : public FleetServerTest {
protected:
    // Each record's UTC as an ISO text ("" where none is known), in order.
    std::vector<std::string> utcOfRecords() {
        series::SeriesStore store;
        EXPECT_TRUE(done(store.openToRead(series::storePath(folder))));
        const auto info = store.find("XRQ7", "SITE1");
        if (!info)
            return {};
        std::vector<std::string> out;
        series::forEachRecordUtc(
            series::storeSource(store, *info),
            [&](const series::RecordRef&, bool, double, const series::RecordClock::Utc& utc) {
                out.push_back(utc.known
                                  ? QDateTime::fromSecsSinceEpoch(qint64(utc.seconds), Qt::UTC)
                                        .toString(Qt::ISODate)
                                        .toStdString()
                                  : "");
                return true;
            });
        return out;
    }
    std::size_t clockSetsKnown() {
        series::SeriesStore store;
        EXPECT_TRUE(done(store.openToRead(series::storePath(folder))));
        return store.clockSets("XRQ7").size();
    }

    std::string folder = dir.path().toStdString() + "/a/";
};

TEST_F(LearntClockSets, AnotherLaptopsSetPutsTheRecordsItTimedInUtcAndStaysKnown) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    // Laptop B set the unit to +09:00 on June 1st; laptop A set it to +01:00 on June 3rd and
    // downloaded on June 5th, a record logged under each set.
    const fleet::Fact bSet = clockSet("26-06-01 09:00:00", 9 * 3600, utcMs(1, 0), "b");
    const fleet::Fact aSet = clockSet("26-06-03 01:00:00", 3600, utcMs(3, 0), "a");
    // Each laptop in a folder of its own: a laptop id is bound to one role.
    LocalStore b(otherFile("b.sqlite")), a(file("a.sqlite"));
    ASSERT_TRUE(b.record({bSet}));
    ASSERT_TRUE(a.record({aSet}));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));

    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    {
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(folder))));
        series::UnitFacts facts;
        facts.clockSets.push_back({utcMs(3, 0), 3600, "26-06-03 01:00:00"});
        const series::ApplyResult r =
            store.apply({"XRQ7", "kept-1", utcMs(5, 0), true},
                        series::parseDownloadText("F\r\nName: SITE1\r\n26-06-01 10:00:00, 1\r\n"
                                                  "26-06-04 12:00:00, 2\r\n>"),
                        facts);
        ASSERT_TRUE(r.ok) << r.error;
    }
    // A alone: the first record was logged before any set A knows of.
    EXPECT_EQ(utcOfRecords(), (std::vector<std::string>{"", "2026-06-04T11:00:00Z"}));

    // A folder that does not share asks nothing.
    series::ClockSetsLearnt learnt =
        series::learnClockSets(folder, "XRQ7", std::chrono::seconds(30));
    EXPECT_FALSE(learnt.shared);

    ASSERT_TRUE(
        fleet::writeFleetSettings(folder, {QStringLiteral("laptop_a"), QStringLiteral("a")}));
    learnt = series::learnClockSets(folder, "XRQ7", std::chrono::seconds(30));
    EXPECT_TRUE(learnt.reached) << learnt.why;
    EXPECT_EQ(learnt.added, 2u) << "both sets come from the server";
    EXPECT_EQ(clockSetsKnown(), 2u) << "A's own set, learnt back, is held once";
    const std::vector<std::string> learntUtc{"2026-06-01T01:00:00Z", "2026-06-04T11:00:00Z"};
    EXPECT_EQ(utcOfRecords(), learntUtc);

    // Learnt again, nothing is added; with the server away, what was learnt still serves and
    // the export is told why nothing new came.
    learnt = series::learnClockSets(folder, "XRQ7", std::chrono::seconds(30));
    EXPECT_TRUE(learnt.reached) << learnt.why;
    EXPECT_EQ(learnt.added, 0u);
    ASSERT_TRUE(fleet::writeFleetSettings(folder, {QStringLiteral("no_such_service"), {}}));
    learnt = series::learnClockSets(folder, "XRQ7", std::chrono::seconds(30));
    EXPECT_TRUE(learnt.shared);
    EXPECT_FALSE(learnt.reached);
    EXPECT_NE(learnt.why.find("clock sets were not read"), std::string::npos) << learnt.why;
    EXPECT_EQ(utcOfRecords(), learntUtc);
    EXPECT_EQ(clockSetsKnown(), 2u);
}

} // namespace
} // namespace fleettest
