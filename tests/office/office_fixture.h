// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's tests share: the tests' private PostgreSQL server with the schema, two
// laptops that push a register's and a series' facts from program folders of their own
// (each its local SQLite file and outbox, pushed by the real pusher), a login role in
// xrq_office with its service, and the service itself in this process on a free loopback
// port, asked over HTTP.

#include "fleet/fleet_fixture.h"
#include "office/office_server.h"
#include "office/session_cookies.h"
#include "register/register_outbox.h"
#include "register/unit_register.h"
#include "series/series_share.h"
#include "series/span_reader.h"
#include "support/result_assert.h"
#include "support/wait.h"

#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace officetest {

using namespace unitreg;

using namespace std::chrono_literals;

// A data set with every character a page must escape (and a place holder of QString::arg),
// and an 8-bit (Latin-1) one.
inline const std::string kHostileSet = "<script>alert(\"x\")</script>'%1";
inline const std::string kLatinSet = std::string("Temp\xe9rature", 11);
inline constexpr std::int64_t kDay = 24LL * 3600 * 1000;
// SITE3: its clock set at 2026-11-30T23:00:00Z (00:00 local, UTC+01:00), its records (one a
// minute from that local midnight) downloaded on 2026-12-02 by A (all) and B (the first 150,
// its record 100 differing).
inline constexpr std::int64_t kSite3ClockSetMs = 1796079600000;
inline constexpr std::int64_t kSite3AtMs = 1796169600000;
inline constexpr int kSite3Records = 300;

struct Reply {
    int status = 0;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// The server and the two laptops' facts are made once for the suite (initdb and the pushes
// take seconds); each test starts its own service over them.
class OfficeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Shared;
        if (!s->server.ok()) {
            s->failure = s->server.error();
            return;
        }
        s->failure = s->make();
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s->failure.empty()) << s->failure; }
    void TearDown() override { office.reset(); }

    struct Shared {
        // office_trusted is let in without its password (the sign-in refuses such a server).
        testsupport::PgTestServer server{
            testsupport::PgServerOptions{.tls = false,
                                         .maxConnections = 40,
                                         .sharedBuffers = "16MB",
                                         .trustedRoles = {"office_trusted"}}};
        QTemporaryDir dir;
        std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        std::string failure;

        std::string make() {
            server.addService("owner_db", testsupport::PgTestServer::kOwner);
            const std::string owner = fleet::serviceConninfo("owner_db");
            fleet::InitOutcome o = fleet::initServer(owner);
            if (!o.ok)
                return o.message.toStdString();
            for (const char* laptop : {"laptop_a", "laptop_b"}) {
                if (!server.createLoginRole(laptop, "pw-of-laptop"))
                    return "no role";
                o = fleet::grantLaptop(owner, QString::fromLatin1(laptop));
                if (!o.ok)
                    return o.message.toStdString();
                server.addService(laptop, laptop);
            }
            if (!server.createLoginRole("office_viewer", "pw-of-office"))
                return "no office role";
            o = fleet::grantOffice(owner, QStringLiteral("office_viewer"));
            if (!o.ok)
                return o.message.toStdString();
            server.addService("office_viewer", "office_viewer");
            if (!server.createLoginRole("office_trusted", "pw-of-trusted"))
                return "no trusted role";
            o = fleet::grantOffice(owner, QStringLiteral("office_trusted"));
            if (!o.ok)
                return o.message.toStdString();
            return pushFleet();
        }

        // Two laptops' facts, each pushed from its own folder's outbox: unit SITE1 visited by
        // both (B last, its download not safe), SITE2 visited long ago by A with a hostile and
        // an 8-bit data set (twice in each download: a second set of that name), one battery
        // reading, its memory cleared.
        std::string pushFleet() {
            const std::string folder = dir.path().toStdString();
            // A laptop id is bound to the role that first pushes it: a folder each.
            if (!QDir().mkpath(QString::fromStdString(folder + "/b")))
                return "no folder for laptop b";
            fleettest::LocalStore a(folder + "/a-units.sqlite"), b(folder + "/b/b-units.sqlite");
            if (!a.ok() || !b.ok())
                return "no local stores";
            const QString la = QStringLiteral("laptop_a"), lb = QStringLiteral("laptop_b");
            std::vector<fleet::Fact> factsA, factsB;
            factsA.push_back(visitFact({"SITE1", now - 10 * kDay, 3, "/dev/ttyUSB0"}, id(), la));
            factsA.push_back(batteryFact({"SITE1", now - 10 * kDay, 12.4, 20, "B 12.4"}, id(), la));
            factsA.push_back(download("SITE1", now - 10 * kDay, {}, la));
            factsB.push_back(visitFact({"SITE1", now - 2 * kDay, 4, "/dev/ttyUSB1"}, id(), lb));
            factsB.push_back(batteryFact({"SITE1", now - 2 * kDay, 12.1, 21, "B 12.1"}, id(), lb));
            factsB.push_back(download("SITE1", now - 2 * kDay, {"the prompt did not come"}, lb));
            factsA.push_back(visitFact({"SITE2", now - 45 * kDay, 3, "/dev/ttyUSB0"}, id(), la));
            factsA.push_back(download("SITE2", now - 45 * kDay, {}, la));
            // SITE2's one battery reading: a chart of a single point.
            factsA.push_back(batteryFact({"SITE2", now - 45 * kDay, 12.7, 8, "B 12.7"}, id(), la));
            factsA.push_back(clearFact({"SITE2", now - 45 * kDay + 60000, true}, id(), la));
            // SITE3's clock set at 2026-12-01 00:00 local time, UTC+01:00, before its records.
            factsA.push_back(
                clockSetFact({"SITE3", kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), la));
            // SITE1's ANALOG: 200 records, A holding all, B the first 120 and, at place 50, a
            // record that differs (a disputed place).
            if (!a.record(factsA) || !b.record(factsB) ||
                !a.recordSpan(records("SITE1", "ANALOG", 200, la)) ||
                !b.recordSpan(records("SITE1", "ANALOG", 120, lb, 50)) ||
                !a.recordSpan(records("SITE2", kHostileSet, 10, la)) ||
                !a.recordSpan(records("SITE2", kLatinSet, 10, la)) ||
                !a.recordSpan(records("SITE2", kLatinSet, 5, la, -1, 1)) ||
                !a.recordSpan(records("SITE3", "TEMP", kSite3Records, la, -1, 0, kSite3AtMs)) ||
                !b.recordSpan(records("SITE3", "TEMP", 150, lb, 100, 0, kSite3AtMs)))
                return "facts not recorded";
            if (!push("laptop_a", a.path()) || !push("laptop_b", b.path()))
                return "facts not pushed";
            return {};
        }

        static bool push(const std::string& service, const std::string& file) {
            fleet::PusherConfig c;
            // As the windowed program wires it: the series' and the register's sources.
            c.sources = series::sharingSources();
            unitreg::addSharingSources(c.sources);
            c.conninfo = fleet::serviceConninfo(service);
            c.outboxFiles = {file};
            c.retryFirst = 50ms;
            c.retryMost = 500ms;
            c.connectTimeout = 10s;
            c.statementTimeout = 60s;
            fleet::Pusher p(c);
            p.start();
            return p.pushAndWait(60s);
        }
    };
    static inline Shared* s = nullptr;

    std::int64_t count(const std::string& table) {
        const auto v = s->server.value("SELECT count(*) FROM " + table);
        return v ? std::stoll(*v) : -1;
    }

    static fleet::Fact download(const std::string& serial, std::int64_t at,
                                std::vector<std::string> reasons, const QString& laptop) {
        Download d;
        d.serial = serial;
        d.started = at;
        d.ended = at + 30000;
        d.complete = reasons.empty();
        d.verified = true;
        d.sets = 1;
        d.reasons = std::move(reasons);
        d.setLines = {{"ANALOG", 200}};
        return downloadFact(d, id(), laptop);
    }

    static std::string id() { return fleet::newFactId().toStdString(); }

    // `count` records of a data set as the series shares them, one a minute from 2026-12-01
    // 00:00, field 2 a ramp with a peak of 99 at record 37; `differAt` changes that record's
    // field 3 (another laptop's version of one place). `confirmedAt`: the download's time
    // (by default before the stamps: a clock ahead).
    static std::vector<fleet::Fact> records(const std::string& serial, const std::string& set,
                                            int count, const QString& laptop, int differAt = -1,
                                            int ordinal = 0,
                                            std::int64_t confirmedAt = 1765188000000) {
        std::vector<fleet::Fact> out;
        series::RecordChain chain;
        for (int i = 0; i < count; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "2026/12/01 %02d:%02d:00, %d, %d", i / 60, i % 60,
                          i == 37 ? 99 : i % 10, i == differAt ? 7 : 1);
            series::SharedRecord r;
            r.line = line;
            r.download = "/data/kept.txt";
            QByteArray payload;
            series::appendRecordPayload(payload, r, i == 0);
            out.push_back(fleet::recordFact(
                QString::fromLatin1(serial.data(), qsizetype(serial.size())),
                {series::sharedDataSet(set, ordinal), 0, i}, chain.next(line),
                QJsonDocument::fromJson(payload).object(), confirmedAt + i, laptop));
        }
        return out;
    }

    // `sessions`: each person signs in, and the service's own role (`service`) reads nothing.
    void startOffice(office::ReadLimits limits = {},
                     std::shared_ptr<office::SessionStore> sessions = nullptr,
                     const std::string& service = "office_viewer") {
        office::OfficeConfig c;
        c.conninfo = fleet::serviceConninfo(service);
        c.limits = limits;
        c.sessions = std::move(sessions);
        office = std::make_unique<office::OfficeServer>(c, 2);
        ASSERT_TRUE(done(office->listen(QHostAddress::LocalHost, 0, std::nullopt)));
    }

    // `headers`: more request headers (a Cookie, a Content-Type); `body` goes with any method
    // but GET.
    Reply get(const QString& pathAndQuery, const QByteArray& method = "GET",
              const QByteArray& body = "x=1",
              const std::vector<std::pair<QByteArray, QByteArray>>& headers = {}) {
        QNetworkRequest request(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(office->port()).arg(pathAndQuery)));
        // No redirect is followed: a test sees the 303 itself.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        // Nor is a cookie kept or sent but those a test sends.
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        for (const auto& [name, value] : headers)
            request.setRawHeader(name, value);
        QNetworkReply* reply =
            method == "GET" ? net.get(request) : net.sendCustomRequest(request, method, body);
        const bool done = testsupport::waitUntil([&] { return reply->isFinished(); }, 60s);
        Reply out;
        EXPECT_TRUE(done) << pathAndQuery.toStdString();
        out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        out.body = reply->readAll();
        for (const auto& [name, value] : reply->rawHeaderPairs())
            out.headers.insert(name.toLower(), value);
        reply->deleteLater();
        return out;
    }

    static QString q(const std::string& latin1) {
        return QString::fromLatin1(
            QUrl::toPercentEncoding(QString::fromLatin1(latin1.data(), qsizetype(latin1.size()))));
    }

    std::unique_ptr<office::OfficeServer> office;
    QNetworkAccessManager net;
};

// The fixture with the service started as it starts by default, for whoever reaches it.
class StartedOfficeTest : public OfficeTest {
protected:
    void SetUp() override {
        OfficeTest::SetUp();
        if (HasFatalFailure())
            return;
        startOffice();
    }
};

} // namespace officetest
