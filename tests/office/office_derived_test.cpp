// SPDX-License-Identifier: GPL-3.0-or-later
// The Observations the server keeps derived (office/observation_deriver.h) against the ones
// derived per request from the same facts: the same answers, byte for byte, whatever happened
// to the series (pushes, disputes, clock sets), brought up to date by appending where the
// series only grew and whole where it changed, a rebuild giving the same rows; the deriver's
// role writing nothing but the derived tables; values never in the SQL.
#include "office_fixture.h"

#include "office/observation_deriver.h"
#include "office/observation_reads.h"
#include "office/series_counts.h"

#include <QRegularExpression>

#include <cstdlib>
#include <cstring>
#include <random>

namespace officetest {
namespace {

class DerivedObservations : public OfficeTest {
protected:
    void SetUp() override {
        OfficeTest::SetUp();
        if (HasFatalFailure() || deriverMade)
            return;
        ASSERT_TRUE(s->server.createLoginRole("deriver_role", "pw-of-deriver"));
        const fleet::InitOutcome o =
            fleet::grantDeriver(fleet::serviceConninfo("owner_db"), QStringLiteral("deriver_role"));
        ASSERT_TRUE(o.ok) << o.message.toStdString();
        s->server.addService("deriver_role", "deriver_role");
        deriverMade = true;
    }

    office::DeriveReport derive(bool rebuild = false) {
        fleet::PgConnection pg;
        EXPECT_TRUE(pg.connect(fleet::serviceConninfo("deriver_role"), 10s)) << pg.error();
        platform::Result<office::DeriveReport> r = office::deriveObservations(pg, rebuild, 60s);
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text);
        return r.ok() ? r.value() : office::DeriveReport{};
    }

    // Every derived row and state, in order, as one text.
    std::string dump() {
        return s->server
            .value("SELECT coalesce(string_agg(x, E'\\n' ORDER BY x), '') FROM ("
                   "SELECT concat_ws('|', d.unit, d.data_set, d.field, o.ordinal, o.segment, "
                   "o.place, o.utc, o.utc_offset, o.result, o.flags, o.record) AS x "
                   "FROM xrq.derived_observations o JOIN xrq.derived_datastreams d "
                   "ON d.id = o.datastream UNION ALL SELECT concat_ws('|', unit, data_set, facts, "
                   "newest, trust, clocks, records, fields, digest) FROM xrq.derived_series) y")
            .value_or("none");
    }

    std::vector<Reply> answers(const std::vector<QString>& queries) {
        std::vector<Reply> out;
        for (const QString& q : queries)
            out.push_back(get(QStringLiteral("/api/v1.1") + q));
        return out;
    }

    // Limits under which deriving a page per request is refused: a 200 then came from the copy.
    static office::ReadLimits onlyFromTheCopy() {
        office::ReadLimits l;
        l.mostWebSeries = 0;
        l.mostWebObservations = 0;
        return l;
    }

    void expectSame(const std::vector<QString>& queries, const std::vector<Reply>& perRequest,
                    const std::vector<Reply>& fromCopy) {
        for (std::size_t i = 0; i < queries.size(); ++i) {
            SCOPED_TRACE(queries[i].toStdString());
            EXPECT_EQ(perRequest[i].status, 200) << perRequest[i].body.toStdString();
            EXPECT_EQ(fromCopy[i].status, 200) << fromCopy[i].body.toStdString();
            // Each service on a port of its own: the links' origins differ by it alone.
            const QByteArray x = withoutPort(perRequest[i].body);
            const QByteArray y = withoutPort(fromCopy[i].body);
            qsizetype at = 0;
            while (at < x.size() && at < y.size() && x[at] == y[at])
                ++at;
            EXPECT_TRUE(x == y) << "from " << at << ": " << x.mid(at - 80, 240).toStdString()
                                << "\n    against: " << y.mid(at - 80, 240).toStdString();
        }
    }

    static QByteArray withoutPort(const QByteArray& body) {
        return QString::fromUtf8(body)
            .replace(QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:[0-9]+")),
                     QStringLiteral("origin"))
            .toUtf8();
    }

    static QString esc(const char* text) {
        return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(text)));
    }

    static office::FilterTree filterOf(const char* text) {
        office::QueryRefusal refusal;
        const std::optional<office::FilterTree> tree =
            office::parseFilter(QString::fromUtf8(text), refusal);
        EXPECT_TRUE(tree) << refusal.why.toStdString();
        return tree ? *tree : std::make_shared<office::FilterNode>();
    }

    static inline bool deriverMade = false;
};

// The seed of a generated history: XRQ_TEST_SEED's, else a new one, printed to run it again.
unsigned printedSeed() {
    const char* given = std::getenv("XRQ_TEST_SEED");
    const unsigned seed =
        given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::cout << "seed " << seed << std::endl;
    return seed;
}

// Every table of the derived copy, emptied so that a test derives it from its own facts.
constexpr const char* kEmptyTheCopy = "TRUNCATE xrq.derived_observations, xrq.derived_datastreams, "
                                      "xrq.derived_titles, xrq.derived_series";

// The SQL path answers every query it takes as the per-request path does: pages in the series'
// order and in time's, either way, cut by time, counted, with $select and $expand.
TEST_F(DerivedObservations, CopyAnswersAsDerivingPerRequest) {
    ASSERT_TRUE(s->server.sql(kEmptyTheCopy));
    const std::vector<QString> queries = {
        QStringLiteral("/Observations?$top=1000&$count=true"),
        QStringLiteral("/Observations?$orderby=") + esc("phenomenonTime desc") +
            QStringLiteral("&$top=50&$skip=20&$count=true"),
        QStringLiteral("/Observations?$orderby=phenomenonTime&$count=true&$filter=") +
            esc("phenomenonTime ge 2026-11-30T23:30:00Z and phenomenonTime lt "
                "2026-12-01T01:00:00Z"),
        QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=30&$skip=100"),
        QStringLiteral("/Datastreams('SITE3/TEMP/3')/Observations?$count=true&$orderby=") +
            esc("phenomenonTime desc") + QStringLiteral("&$filter=") +
            esc("phenomenonTime gt 2026-12-01T02:00:00Z"),
        QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$select=result,phenomenonTime"
                       "&$filter=") +
            esc("2026-11-30T23:37:00Z eq phenomenonTime"),
        QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=0&$count=true"),
    };
    // Expanding the Datastream reads its series, as before: asked within the usual bounds.
    const std::vector<QString> expanding = {
        QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=2&$expand=") +
        esc("Datastream($select=name)")};
    startOffice();
    const std::vector<Reply> perRequest = answers(queries);
    const std::vector<Reply> expandedPerRequest = answers(expanding);
    const office::DeriveReport d = derive();
    EXPECT_EQ(d.failed, 0) << d.problems.join(QStringLiteral("; ")).toStdString();
    EXPECT_EQ(d.whole, 5);                // SITE1's, SITE2's three and SITE3's
    EXPECT_EQ(d.rows, 2 * kSite3Records); // SITE3's two fields; the others have no UTC
    office.reset();
    startOffice(onlyFromTheCopy());
    expectSame(queries, perRequest, answers(queries));
    office.reset();
    startOffice();
    expectSame(expanding, expandedPerRequest, answers(expanding));
    office.reset();
    startOffice(onlyFromTheCopy());
    // What the copy does not take is derived per request, within the bounds as before.
    EXPECT_EQ(get(QStringLiteral("/api/v1.1/Datastreams('SITE3/TEMP/2')/Observations?$filter=") +
                  esc("result eq 'x'"))
                  .status,
              413);
    // Nothing behind: the second pass writes nothing.
    const office::DeriveReport again = derive();
    EXPECT_EQ(again.whole + again.appended + again.rows, 0);
}

// A seeded history of one unit's series (pushes, disputes, clock sets): after each step, the
// copy brought up to date answers as the per-request path did before it (which a Datastream
// behind its facts falls back to), appending where the series only grew and replacing it
// whole where a dispute changed it; every Datastream's page says how many series are behind;
// a rebuild from nothing gives the incremental rows.
TEST_F(DerivedObservations, SeededHistoryKeptUpToDate) {
    const unsigned seed = printedSeed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    QTemporaryDir folders;
    ASSERT_TRUE(QDir().mkpath(folders.path() + QStringLiteral("/b")));
    fleettest::LocalStore a(folders.path().toStdString() + "/a.sqlite");
    fleettest::LocalStore b(folders.path().toStdString() + "/b/b.sqlite");
    const QString la = QStringLiteral("laptop_a"), lb = QStringLiteral("laptop_b");
    std::int64_t clockAt = kSite3ClockSetMs;
    ASSERT_TRUE(a.record({clockSetFact({"SITE9", clockAt, "26-12-01 00:00:00", 3600}, id(), la)}));
    int held = 0;
    const std::vector<QString> queries = {
        QStringLiteral("/Datastreams('SITE9/TEMP/2')/Observations?$top=1000&$count=true"),
        QStringLiteral("/Datastreams('SITE9/TEMP/3')/Observations?$count=true&$orderby=") +
            esc("phenomenonTime desc") + QStringLiteral("&$top=40&$skip=3"),
    };
    derive();
    for (int step = 0; step < 6; ++step) {
        const int kind = step == 0 ? 0 : int(random() % 3);
        SCOPED_TRACE("step " + std::to_string(step) + " kind " + std::to_string(kind));
        if (kind == 0 || held < 10) { // records appended
            const int more = 20 + int(random() % 60);
            std::vector<fleet::Fact> all =
                records("SITE9", "TEMP", held + more, la, -1, 0, kSite3AtMs + step * kDay);
            ASSERT_TRUE(a.recordSpan(std::vector<fleet::Fact>(all.begin() + held, all.end())));
            held += more;
        } else if (kind == 1) { // another laptop says another record at one place
            const int at = int(random() % unsigned(held - 1));
            ASSERT_TRUE(b.recordSpan(
                records("SITE9", "TEMP", at + 1, lb, at, 0, kSite3AtMs + step * kDay)));
        } else { // the unit's clock set again, an hour on, in another offset
            clockAt += 3600 * 1000;
            ASSERT_TRUE(a.record({clockSetFact(
                {"SITE9", clockAt, kind == 2 ? "26-12-01 02:00:00" : "26-12-01 01:00:00", 7200},
                id(), la)}));
        }
        ASSERT_TRUE(Shared::push("laptop_a", a.path()));
        ASSERT_TRUE(Shared::push("laptop_b", b.path()));
        // The per-request path takes a series it read within DerivedSeriesCache::kRecentFor
        // without reading its signature again (by design): past that window it reads it anew.
        testsupport::runEventsFor(int(office::DerivedSeriesCache::kRecentFor.count()) + 100);
        startOffice();
        const std::vector<Reply> perRequest = answers(queries);
        EXPECT_EQ(
            get(QStringLiteral("/api/v1.1/Observations?$top=1")).headers.value("x-derived-behind"),
            "1 series");
        const office::DeriveReport d = derive();
        EXPECT_EQ(d.failed, 0) << d.problems.join(QStringLiteral("; ")).toStdString();
        EXPECT_EQ(d.whole + d.appended, 1);
        if (kind == 0) {
            EXPECT_EQ(d.appended, step == 0 ? 0 : 1);
        } else if (kind == 1) {
            EXPECT_EQ(d.whole, 1); // the place's record now flagged disputed
        }
        office.reset();
        startOffice(onlyFromTheCopy());
        expectSame(queries, perRequest, answers(queries));
        EXPECT_FALSE(get(QStringLiteral("/api/v1.1/Observations?$top=1"))
                         .headers.contains("x-derived-behind"));
        office.reset();
    }
    const std::string incremental = dump();
    const office::DeriveReport rebuilt = derive(true);
    EXPECT_EQ(rebuilt.appended, 0);
    EXPECT_EQ(dump(), incremental);
}

// The service's deriver thread is woken by the arrivals' notification; its role writes the
// derived tables and nothing else, and the service's role writes neither.
TEST_F(DerivedObservations, DeriverWokenByArrivalsAndItsRoleWritesOnlyTheCopy) {
    office::ObservationDeriver deriver(
        fleet::serviceConninfo("deriver_role"), 30s, [](const QString&) {},
        [] { testsupport::wakeWaiters(); });
    deriver.start();
    ASSERT_TRUE(testsupport::waitUntil([&] { return deriver.passes() >= 1; }, 60s));
    QTemporaryDir folder;
    fleettest::LocalStore a(folder.path().toStdString() + "/a.sqlite");
    ASSERT_TRUE(a.recordSpan(records("SITE8", "TEMP", 30, QStringLiteral("laptop_a"))));
    ASSERT_TRUE(Shared::push("laptop_a", a.path()));
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            return s->server.value("SELECT records FROM xrq.derived_series WHERE unit = 'SITE8'") ==
                   std::optional<std::string>("30");
        },
        60s));
    deriver.stop();

    struct Case {
        const char* service;
        const char* statement;
        bool allowed;
    };
    const Case cases[] = {
        {"deriver_role", "DELETE FROM xrq.derived_observations WHERE false", true},
        {"deriver_role", "DELETE FROM xrq.series_facts WHERE false", false},
        {"deriver_role",
         "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) VALUES "
         "(gen_random_uuid(), 'X', 'visit', now(), 'x', '{}')",
         false},
        {"deriver_role", "UPDATE xrq.series_arrivals SET rows = rows WHERE false", false},
        {"office_viewer", "DELETE FROM xrq.derived_observations WHERE false", false},
        {"office_viewer", "UPDATE xrq.derived_series SET records = 0 WHERE false", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.service) + ": " + c.statement);
        fleet::PgConnection pg;
        ASSERT_TRUE(pg.connect(fleet::serviceConninfo(c.service), 10s)) << pg.error();
        const fleet::PgResult r = pg.exec(c.statement);
        EXPECT_EQ(r.ok(), c.allowed) << r.error();
        if (!c.allowed) {
            EXPECT_EQ(r.sqlState(), "42501");
        }
    }
}

// Every value travels as a parameter: the statements are the fixed fragments alone, whatever
// the times, keys, $top and $skip; a hostile key is a Datastream that is not there.
TEST_F(DerivedObservations, ValuesBoundNeverSpliced) {
    struct Case {
        bool stream;
        int comparisons;
        office::DerivedAsk::Order order;
        bool count;
        int parameters;
        bool sites = false; // every Datastream's with the sites' pieces
    };
    const Case cases[] = {
        {false, 0, office::DerivedAsk::Order::Series, false, 2},
        {true, 0, office::DerivedAsk::Order::Series, false, 3},
        {true, 2, office::DerivedAsk::Order::TimeAscending, false, 5},
        {false, 16, office::DerivedAsk::Order::TimeDescending, false, 18},
        {true, 3, office::DerivedAsk::Order::Series, true, 4},
        {false, 1, office::DerivedAsk::Order::TimeAscending, true, 1},
        {false, 0, office::DerivedAsk::Order::Series, false, 3, true},
        {false, 2, office::DerivedAsk::Order::TimeAscending, false, 5, true},
        {false, 16, office::DerivedAsk::Order::TimeDescending, false, 19, true},
        {false, 3, office::DerivedAsk::Order::TimeAscending, true, 3, true},
    };
    for (const Case& c : cases) {
        office::DerivedAsk ask;
        if (c.stream)
            ask.stream =
                office::DerivedAsk::Stream{QStringLiteral("O'Hara;--"), QStringLiteral("x\"y"), 7};
        for (int i = 0; i < c.comparisons; ++i)
            ask.time.push_back({office::TimeComparison::Op(i % 5), 1796079612.25 + i});
        ask.order = c.order;
        ask.top = 777;
        ask.skip = 123456;
        ask.sites = c.sites;
        int parameters = 0;
        const std::string sql =
            c.sites ? office::derivedObservationsWithSitesSql(ask, c.count, parameters)
                    : office::derivedObservationsSql(ask, c.count, parameters);
        SCOPED_TRACE(sql);
        EXPECT_EQ(parameters, c.parameters);
        for (const char* value : {"O'Hara", "x\"y", "1796079612", "777", "123456", "124234"})
            EXPECT_EQ(sql.find(value), std::string::npos) << value;
        // The sites' fragments hold constants of their own (an empty text, 'Infinity').
        if (!c.sites) {
            EXPECT_EQ(sql.find('\''), std::string::npos);
        }
    }
    // A condition on result: its numbers bound too, after the Datastream's key.
    office::DerivedAsk ask;
    ask.stream = office::DerivedAsk::Stream{QStringLiteral("U"), QStringLiteral("S"), 2};
    ask.condition = office::derivedConditionOf(
        *filterOf("result gt 1234.5 or not (phenomenonTime lt 2026-12-01T00:00:00Z) and "
                  "result ne -987"));
    ASSERT_TRUE(ask.condition);
    int parameters = 0;
    const std::string sql = office::derivedObservationsSql(ask, false, parameters);
    EXPECT_EQ(parameters, 6) << sql;
    for (const char* value : {"1234", "987", "2026", "1796"})
        EXPECT_EQ(sql.find(value), std::string::npos) << sql;
    derive();
    startOffice(onlyFromTheCopy());
    for (const char* key : {"SITE3'';DROP TABLE xrq.derived_observations;--/TEMP/2",
                            "SITE3/TEMP/99999", "SITE3/TEMP%2F2/2"}) {
        SCOPED_TRACE(key);
        const Reply r = get(QStringLiteral("/api/v1.1/Datastreams('") + esc(key) +
                            QStringLiteral("')/Observations"));
        EXPECT_NE(r.status, 200);
        EXPECT_LT(r.status, 500);
    }
    EXPECT_TRUE(s->server.value("SELECT count(*) > 0 FROM xrq.derived_observations") ==
                std::optional<std::string>("t"));
}

// Comparisons of result with numbers, alone or with the time's, are answered by the copy's SQL
// as the per-request evaluation answers them: a generated series of few distinct values (equal
// ones across every page boundary), cells with no number ("NaN", "---", blank, "inf") and
// records with no cell at all; every operator either way round, and, or, not; pages cut
// everywhere, counted, in time's order either way; a Datastream's and every Datastream's.
TEST_F(DerivedObservations, ResultComparedInSqlAsEvaluated) {
    const unsigned seed = printedSeed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    ASSERT_TRUE(s->server.sql(kEmptyTheCopy));
    QTemporaryDir folder;
    fleettest::LocalStore a(folder.path().toStdString() + "/a.sqlite");
    const QString la = QStringLiteral("laptop_a");
    ASSERT_TRUE(
        a.record({clockSetFact({"SITE8", kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la)}));
    const char* const odd[] = {"NaN", "---", "", "inf", " -0 ", "nan", "1e400"};
    std::vector<fleet::Fact> facts;
    series::RecordChain chain;
    for (int i = 0; i < 240; ++i) {
        std::string v2 = std::to_string(int(random() % 5) - 1); // -1 to 3, each many times
        if (random() % 6 == 0)
            v2 = odd[random() % std::size(odd)];
        char line[96];
        // Every ninth record has no third cell: its Observation of field 3 has no result.
        std::snprintf(line, sizeof line,
                      i % 9 == 4 ? "2026/12/01 %02d:%02d:00, %s"
                                 : "2026/12/01 %02d:%02d:00, %s, %d.5",
                      i / 60, i % 60, v2.c_str(), int(random() % 3));
        series::SharedRecord r;
        r.line = line;
        r.download = "/data/kept.txt";
        QByteArray payload;
        series::appendRecordPayload(payload, r, i == 0);
        facts.push_back(fleet::recordFact(
            QStringLiteral("SITE8"), {series::sharedDataSet("TEMP", 0), 0, i}, chain.next(line),
            QJsonDocument::fromJson(payload).object(), kSite3AtMs + i, la));
    }
    ASSERT_TRUE(a.recordSpan(facts));
    ASSERT_TRUE(Shared::push("laptop_a", a.path()));
    const char* const filters[] = {
        "result eq 1",
        "result ne 1",
        "2 gt result",
        "result ge -1 and result le 0.5",
        "not (result lt 2)",
        "not (result lt 2 or result gt 2)",
        "not (result eq 0)",
        "result gt -0.5 or phenomenonTime lt 2026-11-30T23:10:00Z",
        ("phenomenonTime ge 2026-11-30T23:30:00Z and not (result ne 3) and "
         "phenomenonTime lt 2026-12-01T01:30:00Z"),
        "-1 eq result or not (phenomenonTime gt 2026-12-01T00:00:00Z)",
    };
    std::vector<QString> queries;
    for (const char* f : filters) {
        const QString filter = QStringLiteral("&$filter=") + esc(f);
        for (const char* stream : {"SITE8/TEMP/2", "SITE8/TEMP/3"})
            queries.push_back(QStringLiteral("/Datastreams('%1')/Observations?$count=true&$top=%2"
                                             "&$skip=%3")
                                  .arg(QLatin1String(stream))
                                  .arg(1 + random() % 40)
                                  .arg(random() % 30) +
                              filter);
        queries.push_back(
            QStringLiteral("/Observations?$count=true&$top=%1&$orderby=").arg(1 + random() % 60) +
            esc(random() % 2 ? "phenomenonTime desc" : "phenomenonTime") + filter);
    }
    startOffice();
    const std::vector<Reply> perRequest = answers(queries);
    const office::DeriveReport d = derive();
    EXPECT_EQ(d.failed, 0) << d.problems.join(QStringLiteral("; ")).toStdString();
    office.reset();
    startOffice(onlyFromTheCopy());
    expectSame(queries, perRequest, answers(queries));
    // Where the SQL does not reach, the evaluation does, within its bounds.
    for (const char* f : {"result eq null", "result gt '2'", "result add 1 gt 2",
                          "result gt 1.5 and Datastream/name eq 'x'"}) {
        SCOPED_TRACE(f);
        EXPECT_FALSE(office::derivedConditionOf(*filterOf(f)));
        EXPECT_EQ(get(QStringLiteral("/api/v1.1/Datastreams('SITE8/TEMP/2')/Observations"
                                     "?$filter=") +
                      esc(f))
                      .status,
                  413);
    }
}

// A page deeper than the copy's bound on $skip is refused, naming it, unless it is past the end
// (an empty page, as ever); one at the bound is answered. A page the server does not give
// within the statement time-out (held here behind a lock) is refused naming the time-out.
TEST_F(DerivedObservations, DeepOrSlowPagesRefusedByName) {
    derive();
    office::ReadLimits limits = onlyFromTheCopy();
    limits.mostSkipped = 250;
    startOffice(limits);
    struct Case {
        const char* query;
        int status;
    };
    const Case cases[] = {
        {"/Datastreams('SITE3/TEMP/2')/Observations?$skip=250", 200},
        {"/Datastreams('SITE3/TEMP/2')/Observations?$skip=251", 413},
        {"/Observations?$skip=251&$orderby=phenomenonTime%20desc", 413},
        {"/Datastreams('SITE3/TEMP/2')/Observations?$skip=1000000000&$count=true", 200},
        // Of its 300, 270 are not 1 and 120 above 5.
        {"/Datastreams('SITE3/TEMP/2')/Observations?$skip=269&$filter=result%20ne%201", 413},
        {"/Datastreams('SITE3/TEMP/2')/Observations?$skip=251&$filter=result%20gt%205", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const Reply r = get(QStringLiteral("/api/v1.1") + QLatin1String(c.query));
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        if (c.status == 413) {
            EXPECT_TRUE(r.body.contains("$skip passes over at most 250")) << r.body.toStdString();
        } else if (std::strstr(c.query, "1000000000")) {
            EXPECT_TRUE(r.body.contains("\"value\":[]")) << r.body.toStdString();
            EXPECT_TRUE(r.body.contains("\"@iot.count\":300")) << r.body.toStdString();
        }
    }
    office.reset();
    limits.statementTimeout = 1s;
    startOffice(limits);
    fleet::PgConnection holder;
    ASSERT_TRUE(holder.connect(fleet::serviceConninfo("owner_db"), 10s)) << holder.error();
    ASSERT_TRUE(
        holder.exec("BEGIN; LOCK TABLE xrq.derived_observations IN ACCESS EXCLUSIVE MODE").ok());
    const Reply r = get(QStringLiteral("/api/v1.1/Datastreams('SITE3/TEMP/2')/Observations"));
    EXPECT_EQ(r.status, 413) << r.body.toStdString();
    EXPECT_TRUE(r.body.contains("statement time-out")) << r.body.toStdString();
    EXPECT_TRUE(holder.exec("ROLLBACK").ok());
}

} // namespace
} // namespace officetest
