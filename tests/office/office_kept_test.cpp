// SPDX-License-Identifier: GPL-3.0-or-later
// What the office keeps between reads, against the tests' real PostgreSQL: connections kept
// by the role they were opened as and never lent to another, counts counted ahead and never
// served for facts pushed since, and the web service's pages cut from the series kept derived
// the same as pages read afresh.
#include "office_fixture.h"

#include "office/counting_ahead.h"
#include "office/read_connections.h"

#include <QJsonArray>

#include <optional>

namespace officetest {
namespace {

// A lease of `pool`, or none with the answer's error of why.
office::ReadConnections::Lease take(office::ReadConnections& pool, const std::string& conninfo,
                                    const office::ReadLimits& limits, office::ReadError& error) {
    platform::Result<office::ReadConnections::Lease> taken = pool.take(conninfo, limits);
    if (!taken) {
        error = office::readErrorOf(taken.error());
        return {};
    }
    return std::move(taken).value();
}

class OfficeKeptTest : public OfficeTest {
protected:
    // `count` records of `unit`'s ANALOG pushed by laptop A, from an outbox of their own (the
    // records before them again, as a later download holds them: the same facts, kept once).
    // `clockSet`: with the unit's clock set first, as SITE3's (its records' UTC then known).
    void pushRecords(const std::string& unit, int count, bool clockSet = false) {
        static int n = 0;
        fleettest::LocalStore store(s->dir.path().toStdString() + "/kept-" + std::to_string(n++) +
                                    ".sqlite");
        ASSERT_TRUE(store.ok());
        const QString la = QStringLiteral("laptop_a");
        if (clockSet) {
            ASSERT_TRUE(store.record(std::vector<fleet::Fact>{
                clockSetFact({unit, kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la)}));
        }
        ASSERT_TRUE(store.recordSpan(records(unit, "ANALOG", count, la, -1, 0, kSite3AtMs)));
        ASSERT_TRUE(Shared::push("laptop_a", store.path()));
    }

    static const office::UnitRow* rowOf(const office::UnitsOverview& o, const char* unit) {
        for (const office::UnitRow& u : o.units)
            if (u.unit == QLatin1String(unit))
                return &u;
        return nullptr;
    }

    // The backend and role a kept connection reads as.
    static std::pair<std::string, std::string> who(fleet::PgConnection& pg) {
        const fleet::PgResult r = pg.exec("SELECT pg_catalog.pg_backend_pid(), current_user");
        EXPECT_TRUE(r.ok()) << r.error();
        return r.ok() ? std::pair{r.value(0, 0), r.value(0, 1)}
                      : std::pair<std::string, std::string>{};
    }
};

// A series not read answers by what went wrong: facts over the bounds of deriving as too
// large, none held as not found, a server gone as unavailable (its words kept after what was
// not read), a statement refused on a connection still open as not found.
TEST(OfficeSeriesReadError, TheKindDecidesTheAnswer) {
    using K = platform::ErrorKind;
    using R = office::ReadError::Kind;
    const struct {
        K kind;
        bool connected;
        R answer;
        const char* message;
    } cases[] = {
        {K::Invalid, true, R::TooLarge, "too many chains"},
        {K::Invalid, false, R::TooLarge, "too many chains"},
        {K::NotFound, true, R::NotFound, "too many chains"},
        {K::Server, false, R::Unavailable, "series not read: too many chains"},
        {K::Server, true, R::NotFound, "too many chains"},
    };
    for (const auto& c : cases) {
        const office::ReadError e =
            office::seriesReadErrorOf(platform::makeError(c.kind, "too many chains"), c.connected);
        EXPECT_EQ(e.kind, c.answer) << platform::kindName(c.kind) << " " << c.connected;
        EXPECT_EQ(e.message.toStdString(), c.message);
    }
}

TEST_F(OfficeKeptTest, ConnectionsAreKeptByTheirRoleAndReadOnly) {
    office::ReadConnections pool;
    const office::ReadLimits limits;
    const std::string viewer = fleet::serviceConninfo("office_viewer");
    s->server.addService("office_trusted", "office_trusted");
    const std::string trusted = fleet::serviceConninfo("office_trusted");
    office::ReadError error;
    std::pair<std::string, std::string> first;
    {
        office::ReadConnections::Lease a = take(pool, viewer, limits, error);
        ASSERT_TRUE(a) << error.message.toStdString();
        first = who(*a);
        EXPECT_EQ(first.second, "office_viewer");
        // Nothing written through it, not even a temporary table.
        EXPECT_FALSE(a->exec("CREATE TEMP TABLE kept (x integer)").ok());
    }
    EXPECT_EQ(pool.idle(), 1u);
    {
        // Another role never gets the viewer's, even while it is idle.
        office::ReadConnections::Lease b = take(pool, trusted, limits, error);
        ASSERT_TRUE(b) << error.message.toStdString();
        const auto other = who(*b);
        EXPECT_EQ(other.second, "office_trusted");
        EXPECT_NE(other.first, first.first);
        // The viewer again, while the other role's is taken: its own, kept.
        office::ReadConnections::Lease a = take(pool, viewer, limits, error);
        ASSERT_TRUE(a);
        EXPECT_EQ(who(*a), first);
        // One lost is not kept: the next is a new connection.
        EXPECT_FALSE(
            a->exec("SELECT pg_catalog.pg_terminate_backend(pg_catalog.pg_backend_pid())").ok());
    }
    EXPECT_EQ(pool.idle(), 1u); // the other role's
    office::ReadConnections::Lease a = take(pool, viewer, limits, error);
    ASSERT_TRUE(a) << error.message.toStdString();
    const auto again = who(*a);
    EXPECT_EQ(again.second, "office_viewer");
    EXPECT_NE(again.first, first.first);
    // One the server ended while it was kept: found out on taking it, and another opened.
    const auto kept = who(*a);
    a = {};
    ASSERT_EQ(pool.idle(), 2u);
    // (waiting until it has ended)
    ASSERT_TRUE(s->server.sql("SELECT pg_catalog.pg_terminate_backend(" + kept.first + ", 10000)"));
    a = take(pool, viewer, limits, error);
    ASSERT_TRUE(a) << error.message.toStdString();
    EXPECT_NE(who(*a).first, kept.first);
    // A server that refuses the role: nothing kept, the reason told.
    office::ReadConnections::Lease refused =
        take(pool, viewer + " password=wrong user=nobody_here", limits, error);
    EXPECT_FALSE(refused);
    EXPECT_EQ(error.kind, office::ReadError::Kind::Unavailable);
    // A server not yet migrated to what the office reads: told, in the owner's words.
    ASSERT_TRUE(s->server.sql("UPDATE xrq.schema_info SET version = " +
                              std::to_string(office::kOldestSchemaRead - 1)));
    office::ReadConnections older;
    EXPECT_FALSE(take(older, viewer, limits, error));
    EXPECT_NE(error.message.indexOf(QLatin1String("older than the office reads")), -1)
        << error.message.toStdString();
    ASSERT_TRUE(s->server.sql("UPDATE xrq.schema_info SET version = " +
                              std::to_string(fleet::kServerSchemaVersion)));
}

TEST_F(OfficeKeptTest, AKeptCountIsNeverServedOnceItsSeriesGrew) {
    const std::string viewer = fleet::serviceConninfo("office_viewer");
    office::ReadLimits limits;
    limits.mostCounting = 0ms; // every series counted ahead, none by the page itself
    office::CountingAhead& counting = office::CountingAhead::shared();
    struct Step {
        int pushed;   // KEPT1's records on the server
        bool counted; // before the counting ahead, kept from the step before?
    };
    for (const Step step : {Step{50, false}, Step{80, false}, Step{80, true}}) {
        SCOPED_TRACE(step.pushed);
        if (!step.counted)
            pushRecords("KEPT1", step.pushed, step.pushed == 50); // a unit by its clock set
        office::UnitsOverview o = office::readUnitsOverview(viewer, limits);
        ASSERT_FALSE(o.error.failed()) << o.error.message.toStdString();
        const office::UnitRow* row = rowOf(o, "KEPT1");
        ASSERT_NE(row, nullptr);
        ASSERT_EQ(row->dataSets, QStringList{QStringLiteral("ANALOG")});
        if (step.counted) {
            EXPECT_EQ(row->uncountedSets, 0);
            EXPECT_EQ(row->records, step.pushed);
            continue;
        }
        // Not counted at these facts: said so, and the count of fewer facts not shown.
        EXPECT_EQ(row->uncountedSets, 1);
        EXPECT_EQ(row->records, 0);
        ASSERT_TRUE(counting.idle(60s));
        o = office::readUnitsOverview(viewer, limits);
        row = rowOf(o, "KEPT1");
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->uncountedSets, 0);
        EXPECT_EQ(row->records, step.pushed);
    }
    // The service's start counts every series it finds ahead, as its role reads.
    pushRecords("KEPT1", 90);
    const platform::Result<void> asked = office::countEverySeries(viewer, limits);
    ASSERT_TRUE(asked) << asked.text();
    ASSERT_TRUE(counting.idle(60s));
    const office::UnitsOverview o = office::readUnitsOverview(viewer, limits);
    ASSERT_NE(rowOf(o, "KEPT1"), nullptr);
    EXPECT_EQ(rowOf(o, "KEPT1")->records, 90);
    EXPECT_EQ(rowOf(o, "KEPT1")->uncountedSets, 0);
}

// Pages first: counting ahead waits while a page is read, until it is answered or the yield
// has passed, and stops at once when the service ends meanwhile.
TEST_F(OfficeKeptTest, CountingAheadWaitsWhileAPageIsRead) {
    pushRecords("KEPT3", 30);
    const std::string viewer = fleet::serviceConninfo("office_viewer");
    const office::ReadLimits limits;
    const std::vector<office::HeldSeries> series{
        {QStringLiteral("KEPT3"), QStringLiteral("ANALOG"), {30, 1}}};
    {
        office::CountingAhead counting(std::chrono::minutes(10));
        std::optional<office::CountingAhead::PageRead> page(std::in_place, counting);
        counting.ask(viewer, limits, series);
        EXPECT_FALSE(counting.idle(300ms));
        EXPECT_EQ(counting.counted(), 0);
        page.reset();
        ASSERT_TRUE(counting.idle(60s));
        EXPECT_EQ(counting.counted(), 1);
    }
    {
        office::CountingAhead counting(50ms);
        const office::CountingAhead::PageRead lasting(counting);
        counting.ask(viewer, limits, series);
        ASSERT_TRUE(counting.idle(60s));
        EXPECT_EQ(counting.counted(), 1);
    }
    {
        office::CountingAhead counting(std::chrono::minutes(10));
        const office::CountingAhead::PageRead page(counting);
        counting.ask(viewer, limits, series);
        counting.stop(); // not after the yield
        EXPECT_EQ(counting.counted(), 0);
    }
}

TEST_F(OfficeKeptTest, APageCutFromTheKeptSeriesIsThePageReadAfresh) {
    pushRecords("KEPT2", 240, true);
    startOffice();
    const QString page = QStringLiteral("/api/v1.1/Datastreams('KEPT2/ANALOG/2')/Observations");
    const char* const queries[] = {
        "?$top=50&$skip=10",
        "?$top=1000",
        "?$orderby=phenomenonTime%20desc&$top=7&$skip=3",
        "?$filter=phenomenonTime%20ge%202026-12-01T01:00:00Z&$count=true&$top=20",
    };
    for (int i = 0; i < int(std::size(queries)); ++i) {
        const char* query = queries[i];
        SCOPED_TRACE(query);
        // Read afresh: the series derived again after the facts changed under it.
        pushRecords("KEPT2", 241 + i);
        const QString path = page + QLatin1String(query);
        const Reply fresh = get(path);
        ASSERT_EQ(fresh.status, 200) << fresh.body.toStdString();
        // Cut from the series kept (its signature read just now by the same role).
        const Reply kept = get(path);
        ASSERT_EQ(kept.status, 200);
        EXPECT_EQ(kept.body, fresh.body);
        const QJsonArray values = fresh.json().value(QLatin1String("value")).toArray();
        EXPECT_FALSE(values.isEmpty());
        // The observation reached by its own link is the page's.
        const QJsonObject one = values.first().toObject();
        const Reply alone = get(
            QUrl(one.value(QLatin1String("@iot.selfLink")).toString()).path(QUrl::FullyEncoded));
        ASSERT_EQ(alone.status, 200);
        EXPECT_EQ(alone.json(), one);
    }
}

} // namespace
} // namespace officetest
