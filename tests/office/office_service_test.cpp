// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office against the tests' real PostgreSQL, with facts pushed by two laptops: each page
// and answer, hostile names, bad requests, bounds, and the read-only role.
#include "office_fixture.h"

#include "fleet/admin.h"
#include "office/office_reads.h"

#include "support/child_process.h"

#include <QJsonArray>
#include <QTcpSocket>

#include <fstream>
#include <map>
#include <sstream>

namespace officetest {
namespace {

class OfficeServiceTest : public StartedOfficeTest {
protected:
    QJsonObject unitOf(const QJsonObject& units, const QString& name) {
        for (const QJsonValue& u : units.value(QLatin1String("units")).toArray())
            if (u.toObject().value(QLatin1String("unit")).toString() == name)
                return u.toObject();
        return {};
    }
};

TEST_F(OfficeServiceTest, UnitsHoldEveryLaptopsFactsLateInWordsEveryNameEscaped) {
    const Reply r = get(QStringLiteral("/api/units"));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    const QJsonObject all = r.json();
    EXPECT_GE(all.value(QLatin1String("read_at")).toInteger(), s->now - 60000);
    const QJsonObject site1 = unitOf(all, QStringLiteral("SITE1"));
    EXPECT_EQ(site1.value(QLatin1String("last_visit")).toInteger(), s->now - 2 * kDay);
    EXPECT_EQ(site1.value(QLatin1String("last_visit_laptop")).toString(), "laptop_b");
    EXPECT_EQ(site1.value(QLatin1String("days_since")).toInt(), 2);
    EXPECT_FALSE(site1.value(QLatin1String("late")).toBool());
    EXPECT_FALSE(site1.value(QLatin1String("last_download_safe")).toBool());
    EXPECT_EQ(site1.value(QLatin1String("last_download_reasons")).toArray().first().toString(),
              "the prompt did not come");
    EXPECT_EQ(site1.value(QLatin1String("battery")).toArray(), (QJsonArray{12.4, 12.1}));
    EXPECT_EQ(site1.value(QLatin1String("records")).toInt(), 200);
    // B's record at place 50 differs from A's: one place disputed, the records after it
    // (chained after B's own) are the same physical records as A's.
    EXPECT_EQ(site1.value(QLatin1String("disputed")).toInt(), 1);
    EXPECT_TRUE(site1.value(QLatin1String("all_counted")).toBool());
    const QJsonObject site2 = unitOf(all, QStringLiteral("SITE2"));
    EXPECT_TRUE(site2.value(QLatin1String("late")).toBool());
    EXPECT_TRUE(site2.value(QLatin1String("last_download_safe")).toBool());
    EXPECT_EQ(site2.value(QLatin1String("last_clear")).toInteger(), s->now - 45 * kDay + 60000);
    EXPECT_EQ(site2.value(QLatin1String("data_sets")).toArray().size(), 3);
    EXPECT_EQ(site2.value(QLatin1String("records")).toInt(), 25);
    {
        const Reply r = get(QStringLiteral("/units"));
        ASSERT_EQ(r.status, 200);
        EXPECT_EQ(r.headers.value("content-type"), "text/html; charset=utf-8");
        const QString page = QString::fromUtf8(r.body);
        EXPECT_TRUE(page.contains(QStringLiteral("late: 45 days, interval 30")));
        EXPECT_TRUE(page.contains(QStringLiteral("<tr class=\"late\">")));
        EXPECT_TRUE(page.contains(QStringLiteral("2 days ago")));
        EXPECT_TRUE(page.contains(QStringLiteral("not safe: the prompt did not come")));
        EXPECT_TRUE(page.contains(QStringLiteral("Read from the server at")));
        // The hostile name only as text; the 8-bit one as its Latin-1 character in UTF-8.
        EXPECT_FALSE(page.contains(QStringLiteral("<script>alert")));
        EXPECT_TRUE(page.contains(
            QStringLiteral("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;")));
        EXPECT_TRUE(r.body.contains("Temp\xc3\xa9rature"));
        EXPECT_EQ(page.count(QStringLiteral("<script")), 1); // the service's own, at the end
        EXPECT_TRUE(page.contains(QStringLiteral("<script src=\"/static/office.js\"></script>")));
    }
}

TEST_F(OfficeServiceTest, UnitPageAndItsSeriesDecimatedKeepingPeaksZoomReadingFiner) {
    const Reply r = get(QStringLiteral("/unit?u=SITE1"));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    const QString page = QString::fromUtf8(r.body);
    EXPECT_TRUE(page.contains(QStringLiteral("id=\"history\"")));
    EXPECT_TRUE(page.contains(QStringLiteral("<figure id=\"battery\"><svg")));
    EXPECT_TRUE(page.contains(QStringLiteral("2 readings, 12.1 V to 12.4 V")));
    EXPECT_TRUE(page.contains(QStringLiteral("href=\"/series?u=SITE1&amp;set=ANALOG\"")));

    const QJsonObject d = get(QStringLiteral("/api/unit?u=SITE1")).json();
    const QJsonArray history = d.value(QLatin1String("history")).toArray();
    ASSERT_EQ(history.size(), 6);
    EXPECT_EQ(history.first().toObject().value(QLatin1String("laptop")).toString(), "laptop_b");
    EXPECT_EQ(history.first().toObject().value(QLatin1String("pushed_by")).toString(), "laptop_b");
    EXPECT_EQ(history.last().toObject().value(QLatin1String("pushed_by")).toString(), "laptop_a");
    EXPECT_EQ(d.value(QLatin1String("left_out")).toString(), "");
    const QJsonObject analog = d.value(QLatin1String("series")).toArray().first().toObject();
    EXPECT_EQ(analog.value(QLatin1String("records")).toInt(), 200);
    EXPECT_EQ(analog.value(QLatin1String("disputed")).toInt(), 1);
    EXPECT_EQ(analog.value(QLatin1String("gaps")).toInt(), 0);
    {
        const QString base = QStringLiteral("/api/series?u=SITE1&set=ANALOG");
        const QJsonObject whole = get(base + QStringLiteral("&buckets=10")).json();
        EXPECT_EQ(whole.value(QLatin1String("records")).toInt(), 200);
        EXPECT_EQ(whole.value(QLatin1String("columns")).toArray(),
                  (QJsonArray{QStringLiteral("field_2"), QStringLiteral("field_3")}));
        const QJsonArray rows = whole.value(QLatin1String("rows")).toArray();
        ASSERT_EQ(rows.size(), 10);
        double peak = 0;
        for (const QJsonValue& row : rows)
            peak = std::max(peak, row.toArray().at(1).toArray().at(2).toDouble());
        EXPECT_EQ(peak, 99); // the one record's peak survives 20:1
        // The flagged records marked as in the viewer: the one disputed place (the series
        // derived holds each physical record once: B's records after its differing one are
        // A's), at the first column's value; every record's unknown offset counted, not marked.
        const QJsonObject marks = whole.value(QLatin1String("marks")).toObject();
        EXPECT_EQ(marks.value(QLatin1String("counts")).toArray(),
                  (QJsonArray{QJsonArray{QStringLiteral("disputed"), 1},
                              QJsonArray{QStringLiteral("offset unknown"), 200}}))
            << QJsonDocument(marks).toJson().toStdString();
        EXPECT_EQ(marks.value(QLatin1String("kinds")).toArray(),
                  (QJsonArray{QStringLiteral("disputed")}));
        const QJsonArray points = marks.value(QLatin1String("points")).toArray();
        ASSERT_EQ(points.size(), 1);
        // Record 50, 2026-12-01 00:50, its field 2 50 % 10.
        EXPECT_EQ(points.first().toArray(),
                  (QJsonArray{qint64(1796086200000), 0, 0, QJsonArray{0, 1}}))
            << QJsonDocument(points).toJson().toStdString();
        // Each column named, its unit where its name says one, the clock of the times said
        // (no UTC offset is known for these records), the two columns apart by magnitude.
        EXPECT_EQ(whole.value(QLatin1String("clock")).toString(), "unit");
        EXPECT_TRUE(whole.value(QLatin1String("clock_title"))
                        .toString()
                        .startsWith("Time (the unit's own clock"));
        EXPECT_EQ(whole.value(QLatin1String("names")).toArray(),
                  (QJsonArray{QStringLiteral("field_2"), QStringLiteral("field_3")}));
        EXPECT_EQ(whole.value(QLatin1String("units")).toArray(), (QJsonArray{"", ""}));
        EXPECT_EQ(marks.value(QLatin1String("segment_starts")).toArray(),
                  (QJsonArray{qint64(1796083200000)}));
        // A zoom into 10 minutes reads that range alone, one bucket per record.
        const QJsonObject zoom =
            get(base +
                QStringLiteral("&from=2026-12-01T00:30:00Z&to=2026-12-01T00:39:00Z&buckets=800"))
                .json();
        EXPECT_EQ(zoom.value(QLatin1String("records")).toInt(), 10);
        EXPECT_EQ(zoom.value(QLatin1String("rows")).toArray().size(), 10);
    }
}

// A stolen laptop's role disowned: every page and answer leaves its facts out and says so,
// its series too, until it is owned again; nothing is deleted.
TEST_F(OfficeServiceTest, ADisownedRolesFactsAreLeftOutUntilItIsOwnedAgain) {
    auto admin = [](const char* command, QStringList more) {
        std::ostringstream out, err;
        QStringList args{QString::fromLatin1(command), QStringLiteral("--service"),
                         QStringLiteral("owner_db"), QStringLiteral("laptop_b")};
        args += more;
        EXPECT_EQ(fleet::runAdmin(args, out, err), 0) << err.str();
    };
    struct Seen {
        qsizetype history = 0;
        int records = 0;
        QString leftOut, page, unitsLeftOut, unitsPage;
    };
    auto seen = [&] {
        Seen v;
        const QJsonObject d = get(QStringLiteral("/api/unit?u=SITE1")).json();
        v.history = d.value(QLatin1String("history")).toArray().size();
        v.records = d.value(QLatin1String("series"))
                        .toArray()
                        .first()
                        .toObject()
                        .value(QLatin1String("records"))
                        .toInt();
        v.leftOut = d.value(QLatin1String("left_out")).toString();
        v.page = QString::fromUtf8(get(QStringLiteral("/unit?u=SITE1")).body);
        v.unitsLeftOut =
            get(QStringLiteral("/api/units")).json().value(QLatin1String("left_out")).toString();
        v.unitsPage = QString::fromUtf8(get(QStringLiteral("/")).body);
        return v;
    };
    const std::int64_t held = count("xrq.events");
    admin("disown-laptop", {QStringLiteral("--since"), QStringLiteral("2000-01-01")});
    Seen v = seen();
    admin("own-laptop", {});
    EXPECT_EQ(v.history, 3);
    EXPECT_EQ(v.records, 200); // A's records hold every place; B's other one is gone
    EXPECT_EQ(v.leftOut,
              "left out: facts pushed by role laptop_b since 2000-01-01 00:00 UTC (disowned)");
    // Said beside what was not read, on the unit's page and the Units page alike.
    for (const QString* page : {&v.page, &v.unitsPage})
        EXPECT_TRUE(page->contains(QStringLiteral("<p class=\"unread\" id=\"left-out\">left out: "
                                                  "facts pushed by role laptop_b")));
    EXPECT_EQ(v.unitsLeftOut, v.leftOut);
    EXPECT_FALSE(v.page.contains(QStringLiteral("<td>laptop_b</td>")));
    v = seen();
    EXPECT_EQ(v.history, 6);
    EXPECT_EQ(v.leftOut, "");
    EXPECT_EQ(v.unitsLeftOut, "");
    EXPECT_FALSE(v.unitsPage.contains(QStringLiteral("id=\"left-out\"")));
    EXPECT_TRUE(v.page.contains(QStringLiteral("<th>Pushed by</th>")));
    EXPECT_TRUE(v.page.contains(QStringLiteral("<td>laptop_b</td>")));
    EXPECT_EQ(count("xrq.events"), held);
}

TEST_F(OfficeServiceTest, CsvOfARangeIsTheExportsAndHostileSetsAreRead) {
    Reply r = get(QStringLiteral("/csv?u=SITE1&set=ANALOG&from=2026-12-01T01:00:00Z"));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_TRUE(r.headers.value("content-disposition").startsWith("attachment"));
    EXPECT_TRUE(r.body.startsWith("unit_time,utc,utc_offset_minutes,"))
        << r.body.left(200).toStdString();
    EXPECT_EQ(r.body.count("\r\n2026-12-01T"), 200 - 60);
    EXPECT_EQ(r.headers.value("transfer-encoding"), "chunked"); // streamed, never held whole
    r = get(QStringLiteral("/csv?u=SITE1&set=ANALOG&layout=classic&from=2026-12-01T01:00:00Z"));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_TRUE(r.body.startsWith("# XRQ series\r\n"));
    EXPECT_EQ(r.body.count("\r\n2026/12/01 "), 200 - 60);
    EXPECT_EQ(get(QStringLiteral("/csv?u=SITE1&set=ANALOG&layout=fancy")).status, 400);
    r = get(QStringLiteral("/api/series?u=SITE2&set=") + q(kHostileSet));
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(r.json().value(QLatin1String("records")).toInt(), 10);
    r = get(QStringLiteral("/series?u=SITE2&set=") + q(kLatinSet));
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.contains("data-query=\"u=SITE2&amp;set=Temp%C3%A9rature\""));
    // The second set of that name: its place among its namesakes travels in the link.
    r = get(QStringLiteral("/api/series?u=SITE2&set=") + q(kLatinSet + "\x1f"
                                                                       "2"));
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(r.json().value(QLatin1String("records")).toInt(), 5);
    r = get(QStringLiteral("/unit?u=SITE2"));
    EXPECT_TRUE(r.body.contains("Temp\xc3\xa9rature (set 2)"));
    EXPECT_TRUE(r.body.contains("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;%1</a>"));
    EXPECT_TRUE(r.body.contains("set=Temp%C3%A9rature%1F2\""));
    r = get(QStringLiteral("/series?u=SITE2&set=") + q(kHostileSet));
    EXPECT_FALSE(r.body.contains("<script>alert"));
}

// `xrq-series export --service` of one series, as a script runs it.
std::string exportedByTheProgram(const QTemporaryDir& dir, const std::string& serial,
                                 const std::string& name, int set) {
    const std::string out = dir.filePath(QStringLiteral("export.csv")).toStdString();
    std::vector<std::string> args = {
        "--files-folder", dir.path().toStdString(), "export",   serial,   name,
        "--service",      "office_viewer",          "--layout", "classic"};
    if (set > 1)
        args.insert(args.end(), {"--set", std::to_string(set)});
    testsupport::ChildProcess child(XRQ_BIN_DIR "/xrq-series", args, out);
    EXPECT_TRUE(child.waitForExit(60s)) << child.errorOutput();
    EXPECT_EQ(child.exitCode(), 0) << child.errorOutput();
    std::ifstream in(out, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(OfficeServiceTest, CountsAndCsvAreTheProgramsExportOfTheSameFacts) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Series {
        std::string serial, name;
        int set;
    };
    const Series all[] = {{"SITE1", "ANALOG", 1},
                          {"SITE3", "TEMP", 1},
                          {"SITE2", kHostileSet, 1},
                          {"SITE2", kLatinSet, 1},
                          {"SITE2", kLatinSet, 2}};
    std::map<std::string, long long> unitRecords, unitDisputed;
    for (const Series& c : all) {
        SCOPED_TRACE(c.serial + " " + c.name);
        const std::string program = exportedByTheProgram(dir, c.serial, c.name, c.set);
        const QString set = q(c.set > 1 ? c.name + "\x1f" + std::to_string(c.set) : c.name);
        const Reply csv =
            get(QStringLiteral("/csv?u=%1&set=%2&layout=classic").arg(q(c.serial), set));
        ASSERT_EQ(csv.status, 200) << csv.body.toStdString();
        EXPECT_EQ(csv.body.toStdString(), program);
        // The export's own counts, from its comment and its rows' flags.
        const QString text = QString::fromStdString(program);
        long long records = -1, disputed = 0;
        for (const QString& line : text.split(QStringLiteral("\r\n"))) {
            if (line.startsWith(QLatin1String("# records: ")))
                records = line.mid(11).section(QLatin1Char(' '), 0, 0).toLongLong();
            else if (!line.startsWith(QLatin1Char('#')) && line.contains(QLatin1String("disputed")))
                ++disputed;
        }
        unitRecords[c.serial] += records;
        unitDisputed[c.serial] += disputed;
        const QJsonObject unit = get(QStringLiteral("/api/unit?u=") + q(c.serial)).json();
        bool found = false;
        for (const QJsonValue& v : unit.value(QLatin1String("series")).toArray()) {
            const QJsonObject o = v.toObject();
            if (o.value(QLatin1String("data_set")).toString() !=
                QUrl::fromPercentEncoding(set.toLatin1()))
                continue;
            found = true;
            EXPECT_EQ(o.value(QLatin1String("records")).toInteger(), records);
            EXPECT_EQ(o.value(QLatin1String("disputed")).toInteger(), disputed);
        }
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(unitDisputed["SITE1"], 1);
    EXPECT_EQ(unitDisputed["SITE3"], 1);
    const QJsonObject units = get(QStringLiteral("/api/units")).json();
    for (const auto& [serial, records] : unitRecords) {
        const QJsonObject u = unitOf(units, QString::fromStdString(serial));
        EXPECT_EQ(u.value(QLatin1String("records")).toInteger(), records) << serial;
        EXPECT_EQ(u.value(QLatin1String("disputed")).toInteger(), unitDisputed[serial]) << serial;
    }
}

struct BadRequest {
    const char* what;
    const char* path;
    int status;
    bool page; // a page for a person: its error is a page too; else JSON
    const char* method = "GET";
};

TEST_F(OfficeServiceTest, BadRequestsGetAnErrorPageOrJsonAsAskedAndEveryReadIsBounded) {
    const BadRequest cases[] = {
        {"unknown path", "/admin", 404, true},
        {"a path beside one", "/unitsx", 404, true},
        {"a unit not held", "/unit?u=NOSUCH", 404, true},
        {"a unit not held, as JSON", "/api/unit?u=NOSUCH", 404, false},
        {"a series not held", "/api/series?u=SITE1&set=NOSUCH", 404, false},
        {"an unknown JSON path", "/api/nothing", 404, false},
        {"unit missing", "/unit", 400, true},
        {"unknown parameter", "/units?debug=1", 400, true},
        {"parameter twice", "/unit?u=SITE1&u=SITE2", 400, true},
        {"not UTF-8", "/unit?u=%ff", 400, true},
        {"a control character", "/unit?u=a%00b", 400, true},
        {"no time", "/api/series?u=SITE1&set=ANALOG&from=yesterday", 400, false},
        {"from after to", "/csv?u=SITE1&set=ANALOG&from=2026-12-02&to=2026-12-01", 400, false},
        {"no buckets", "/api/series?u=SITE1&set=ANALOG&buckets=0", 400, false},
        {"too many buckets", "/api/series?u=SITE1&set=ANALOG&buckets=100000", 400, false},
        {"a write", "/units", 405, true, "POST"},
        {"a delete", "/api/units", 405, false, "DELETE"},
    };
    for (const BadRequest& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply r = get(QString::fromLatin1(c.path), c.method);
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        if (c.page) {
            EXPECT_EQ(r.headers.value("content-type"), "text/html; charset=utf-8");
            EXPECT_TRUE(r.body.startsWith("<!DOCTYPE html>")) << r.body.toStdString();
            EXPECT_TRUE(r.body.contains("<p id=\"error\" class=\"refused\">"));
            EXPECT_TRUE(r.body.contains("<a href=\"/units\">Back to the units</a>"));
            EXPECT_FALSE(r.body.contains("{\"error\""));
            if (c.status == 404) {
                EXPECT_TRUE(r.body.contains("<h1>Not found</h1>"));
            }
        } else {
            EXPECT_EQ(r.headers.value("content-type"), "application/json");
            EXPECT_EQ(r.json()
                          .value(QLatin1String("error"))
                          .toObject()
                          .value(QLatin1String("status"))
                          .toInt(),
                      c.status);
        }
        EXPECT_TRUE(r.headers.value("content-security-policy")
                        .startsWith("default-src 'none'; "
                                    "script-src 'self'"));
        EXPECT_EQ(r.headers.value("x-content-type-options"), "nosniff");
    }
    // A hostile unit's name in an error page is text, not markup.
    const Reply hostile = get(QStringLiteral("/unit?u=%3Cscript%3Ex"));
    EXPECT_EQ(hostile.status, 404);
    EXPECT_FALSE(hostile.body.contains("<script>x"));
    {
        office::ReadLimits tight;
        tight.mostUnits = 1;
        tight.mostRecords = 100;
        startOffice(tight);
        const QJsonObject units = get(QStringLiteral("/api/units")).json();
        EXPECT_EQ(units.value(QLatin1String("units")).toArray().size(), 1);
        EXPECT_TRUE(units.value(QLatin1String("more")).toBool());
        EXPECT_EQ(get(QStringLiteral("/api/series?u=SITE1&set=ANALOG")).status, 413);
        // statement_timeout is the read's deadline on the server: a statement over it is ended.
        fleet::PgConnection pg;
        ASSERT_TRUE(pg.connect(fleet::serviceConninfo("office_viewer"), 10s, 200ms));
        const fleet::PgResult slow = pg.exec("SELECT pg_catalog.pg_sleep(5)", {}, 10s);
        EXPECT_FALSE(slow.ok());
        EXPECT_EQ(slow.sqlState(), "57014");
    }
}

TEST_F(OfficeServiceTest, AClientThatGoesBeforeItsAnswerLeavesTheServiceServing) {
    // Requests whose clients close before the read on the server's worker is done: the
    // answers have no socket to go to when they come.
    std::vector<std::unique_ptr<QTcpSocket>> gone;
    for (int i = 0; i < 6; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, office->port());
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return socket->state() == QAbstractSocket::ConnectedState; }, 20s));
        socket->write("GET /api/units HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        ASSERT_TRUE(testsupport::waitUntil([&] { return socket->bytesToWrite() == 0; }, 20s));
        socket->abort();
        gone.push_back(std::move(socket));
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(get(QStringLiteral("/api/units")).status, 200);
}

TEST_F(OfficeServiceTest, TheOfficesRoleMayOnlyRead) {
    fleet::PgConnection pg;
    ASSERT_TRUE(pg.connect(fleet::serviceConninfo("office_viewer"), 10s));
    EXPECT_TRUE(pg.exec("SELECT count(*) FROM xrq.events").ok());
    const char* writes[] = {
        ("INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) VALUES "
         "(gen_random_uuid(), 'X', 'visit', now(), 'office', '{}')"),
        "UPDATE xrq.events SET unit = 'X'",
        "DELETE FROM xrq.series_records",
        "TRUNCATE xrq.kept_downloads",
        "UPDATE xrq.server_settings SET accept_download_bytes = false",
        "CREATE TABLE xrq.mine (a int)",
    };
    for (const char* sql : writes) {
        SCOPED_TRACE(sql);
        const fleet::PgResult r = pg.exec(sql);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.sqlState(), "42501");
    }
    EXPECT_EQ(count("xrq.events"), 11);
}

} // namespace
} // namespace officetest
