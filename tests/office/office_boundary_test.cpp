// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office's front door: the request reader's bounds and rules on their own, the Host names
// it answers to, the sign-in's back-off on a clock of the test's; then the service itself
// (in this process, no server to read: its own static files answer) against a foreign Host,
// an endless header, slow and idle clients, two thousand idle connections from several
// addresses, a flood of sign-ins and clients that leave; and the program ending on SIGTERM.
#include "office/http_request_reader.h"
#include "office/office_server.h"
#include "office/session_cookies.h"
#include "office/sign_in_backoff.h"
#include "support/child_process.h"
#include "support/result_assert.h"
#include "support/silent_server.h"
#include "support/slowdown.h"
#include "support/wait.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace office {
namespace {

using namespace std::chrono_literals;

// ---- The reader, byte by byte ----

struct ReaderCase {
    const char* name;
    std::vector<QByteArray> parts; // fed one after another
    RequestReader::State state;
    int status = 0; // when refused
};

HostRule localRule() {
    HostRule r;
    r.port = 8080;
    r.listening = QHostAddress::LocalHost;
    r.publicNames = {QStringLiteral("office.example.org")};
    return r;
}

TEST(OfficeRequestReader, TakesWhatABrowserSendsAndRefusesWhatBreaksABoundOrARule) {
    using S = RequestReader::State;
    const QByteArray host = "Host: 127.0.0.1:8080\r\n";
    const QByteArray big(17 * 1024, 'a');
    const ReaderCase cases[] = {
        {"a GET", {"GET /units?x=1 HTTP/1.1\r\n" + host + "\r\n"}, S::Complete},
        {"in pieces", {"GE", "T / HTTP/1.1\r", "\n" + host, "\r", "\n"}, S::Complete},
        {"empty lines before", {"\r\n\r\nGET / HTTP/1.1\r\n" + host + "\r\n"}, S::Complete},
        {"a form",
         {"POST /sign-in HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nab", "cde"},
         S::Complete},
        {"a body not all there",
         {"POST /sign-in HTTP/1.1\r\n" + host + "Content-Length: 9\r\n\r\nab"},
         S::NeedMore},
        {"a head not all there", {"GET / HTTP/1.1\r\n" + host}, S::NeedMore},
        {"an endless header", {"GET / HTTP/1.1\r\n" + host + "X-A: " + big}, S::Refused, 431},
        {"an endless request line", {"GET /" + big}, S::Refused, 431},
        // 16 KiB of head: 41 bytes and the header's value, then 4.
        {"a head just within the bound",
         {"GET / HTTP/1.1\r\n" + host + "X: " + big.left(16384 - 45) + "\r\n\r\n"},
         S::Complete},
        {"a head just past the bound",
         {"GET / HTTP/1.1\r\n" + host + "X: " + big.left(16384 - 44) + "\r\n\r\n"},
         S::Refused,
         431},
        {"a body past the form's size",
         {"POST /sign-in HTTP/1.1\r\n" + host + "Content-Length: 4097\r\n\r\n"},
         S::Refused,
         413},
        {"a length that is none",
         {"POST /sign-in HTTP/1.1\r\n" + host + "Content-Length: -1\r\n\r\n"},
         S::Refused,
         400},
        {"two lengths",
         {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n"},
         S::Refused,
         400},
        {"a chunked body",
         {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n"},
         S::Refused,
         501},
        {"a POST without length", {"POST /sign-in HTTP/1.1\r\n" + host + "\r\n"}, S::Refused, 411},
        {"no Host", {"GET / HTTP/1.1\r\n\r\n"}, S::Refused, 400},
        {"two Hosts", {"GET / HTTP/1.1\r\n" + host + host + "\r\n"}, S::Refused, 400},
        {"another site's Host",
         {"GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n"},
         S::Refused,
         421},
        {"a full URL",
         {"GET http://127.0.0.1:8080/ HTTP/1.1\r\n" + host + "\r\n"},
         S::Refused,
         400},
        {"a folded header", {"GET / HTTP/1.1\r\n" + host + "X: a\r\n b\r\n\r\n"}, S::Refused, 400},
        {"a control byte",
         {"GET / HTTP/1.1\r\n" + host +
          "X: a\x01"
          "b\r\n\r\n"},
         S::Refused,
         400},
        {"HTTP/2", {"GET / HTTP/2.0\r\n" + host + "\r\n"}, S::Refused, 505},
        {"a space too many", {"GET / x HTTP/1.1\r\n" + host + "\r\n"}, S::Refused, 400},
        {"HTTP/1.0 without Host", {"GET / HTTP/1.0\r\n\r\n"}, S::Refused, 421},
    };
    for (const ReaderCase& c : cases) {
        RequestReader reader(FrontLimits{}, localRule());
        S state = S::NeedMore;
        for (const QByteArray& p : c.parts)
            state = reader.feed(p);
        EXPECT_EQ(int(state), int(c.state)) << c.name;
        if (c.state == S::Refused) {
            EXPECT_EQ(reader.refusedStatus(), c.status) << c.name;
        }
    }

    // A request's parts as the service reads them, and the next one sent ahead of its answer.
    RequestReader reader(FrontLimits{}, localRule());
    ASSERT_EQ(reader.feed("POST /sign-in HTTP/1.1\r\n" + host +
                          "content-LENGTH: 3\r\nCookie: a=b\r\n\r\nxyzGET /next HTTP/1.1\r\n" +
                          host + "Connection: close\r\n\r\n"),
              S::Complete);
    EXPECT_EQ(reader.request().method, "POST");
    EXPECT_EQ(reader.request().target, "/sign-in");
    EXPECT_EQ(reader.request().body, "xyz");
    EXPECT_EQ(reader.request().value("cookie"), "a=b");
    EXPECT_TRUE(reader.request().keepAlive());
    reader.next();
    ASSERT_EQ(reader.feed({}), S::Complete);
    EXPECT_EQ(reader.request().target, "/next");
    EXPECT_FALSE(reader.request().keepAlive());
}

TEST(OfficeHostRule, OnlyLoopbackNamesOnItsPortTheAddressItListensOnAndItsPublicNames) {
    HostRule rule = localRule();
    rule.listening = QHostAddress(QStringLiteral("192.0.2.10"));
    const struct {
        const char* host;
        bool allowed;
    } cases[] = {
        {"127.0.0.1:8080", true},
        {"localhost:8080", true},
        {"LOCALHOST.:8080", true},
        {"[::1]:8080", true},
        {"127.0.0.2:8080", true},
        {"app.localhost:8080", true},
        {"192.0.2.10:8080", true},
        {"office.example.org", true},
        {"Office.Example.Org.:443", true},
        {"127.0.0.1", false},
        {"127.0.0.1:8081", false},
        {"localhost:80", false},
        {"attacker.example:8080", false},
        {"attacker.example", false},
        {"192.0.2.11:8080", false},
        {"127.1:8080", false},
        {"2130706433:8080", false},
        {"[::1]", false},
        {"[::1:8080", false},
        {"", false},
        {":8080", false},
        {"127.0.0.1:08080x", false},
        {"127.0.0.1:99999", false},
        {"example.org.office.example.org", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rule.allows(c.host), c.allowed) << c.host;
}

// ---- The sign-in's back-off ----

TEST(OfficeSignInBackoff, WaitsGrowPerAddressAndPerRoleAndEnd) {
    auto seconds = std::make_shared<long long>(0);
    SignInBackoff::Rules rules;
    rules.freeFailures = 2;
    rules.first = 10s;
    rules.most = 60s;
    rules.forgetAfter = 600s;
    rules.mostKept = 3;
    SignInBackoff b(rules, [seconds] {
        return SignInBackoff::Clock::time_point(std::chrono::seconds(*seconds));
    });
    const QString a = QStringLiteral("10.0.0.1"), other = QStringLiteral("10.0.0.2");
    const QString role = QStringLiteral("anna"), role2 = QStringLiteral("bert");
    b.failed(a, role);
    b.failed(a, role);
    EXPECT_EQ(b.wait(a, role).count(), 0);             // the free ones
    const long long expected[] = {10, 20, 40, 60, 60}; // doubling, to the most
    for (long long w : expected) {
        b.failed(a, role);
        EXPECT_EQ(b.wait(a, role).count(), w);
        // Another address guessing the same role waits as long, and this address another role.
        EXPECT_EQ(b.wait(other, role).count(), w);
        EXPECT_EQ(b.wait(a, role2).count(), w);
        EXPECT_EQ(b.wait(other, role2).count(), 0);
    }
    *seconds += 59;
    EXPECT_EQ(b.wait(a, role).count(), 1);
    *seconds += 1;
    EXPECT_EQ(b.wait(a, role).count(), 0);
    // Signing in ends the role's count, not the address's.
    b.signedIn(role);
    b.failed(a, role);
    EXPECT_EQ(b.wait(other, role).count(), 0);
    EXPECT_EQ(b.wait(a, role2).count(), 60);
    // Quiet long enough, the address starts again.
    *seconds += 600;
    EXPECT_EQ(b.wait(a, role2).count(), 0);
    // Many addresses and roles: at most mostKept of each, the quietest dropped.
    for (int i = 0; i < 50; ++i) {
        ++*seconds;
        for (int n = 0; n < 3; ++n)
            b.failed(QStringLiteral("10.1.0.%1").arg(i), QStringLiteral("r%1").arg(i));
    }
    EXPECT_EQ(b.wait(QStringLiteral("10.1.0.49"), {}).count(), 10);
    EXPECT_EQ(b.wait(QStringLiteral("10.1.0.0"), {}).count(), 0);
}

// ---- The service itself ----

// One client over a QTcpSocket of the test's thread, which also runs the service.
class Client {
public:
    Client(quint16 port, const QString& from = {}) {
        if (!from.isEmpty())
            m_socket.bind(QHostAddress(from));
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QTcpSocket& socket() { return m_socket; }
    const QByteArray& got() {
        m_got += m_socket.readAll();
        return m_got;
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool closed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    // The status of the first answer; 0 before one came.
    int status() {
        const QByteArray& g = got();
        return g.startsWith("HTTP/1.1 ") && g.size() >= 12 ? g.mid(9, 3).toInt() : 0;
    }
    // How many answers of `status` came.
    int answers(int status) {
        return int(got().count("HTTP/1.1 " + QByteArray::number(status) + ' '));
    }

private:
    QTcpSocket m_socket;
    QByteArray m_got;
};

class OfficeFront : public ::testing::Test {
protected:
    void start(FrontLimits limits = {}, OfficeConfig config = {}, int workers = 2) {
        server = std::make_unique<OfficeServer>(std::move(config), workers, limits);
        server->setPublicNames({QStringLiteral("office.example.org")});
        ASSERT_TRUE(done(server->listen(QHostAddress::LocalHost, 0, std::nullopt)));
    }
    QByteArray hostHeader() const {
        return "Host: 127.0.0.1:" + QByteArray::number(server->port()) + "\r\n";
    }
    QByteArray get(const QByteArray& path = "/static/office.css",
                   const QByteArray& more = {}) const {
        return "GET " + path + " HTTP/1.1\r\n" + hostHeader() + more + "\r\n";
    }
    QByteArray signIn(const QByteArray& role) const {
        const QByteArray form = "role=" + role + "&password=guess";
        return "POST /sign-in HTTP/1.1\r\n" + hostHeader() +
               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               QByteArray::number(form.size()) + "\r\n\r\n" + form;
    }
    std::unique_ptr<OfficeServer> server;
};

TEST_F(OfficeFront, AnswersAForeignHostWith421AndNothingElse) {
    start();
    const QByteArray port = QByteArray::number(server->port());
    const struct {
        QByteArray host;
        int status;
    } cases[] = {{"attacker.example", 421},   {"attacker.example:" + port, 421},
                 {"127.0.0.1:" + port, 200},  {"localhost:" + port, 200},
                 {"office.example.org", 200}, {"127.0.0.1:1", 421}};
    for (const auto& c : cases) {
        Client client(server->port());
        client.send("GET /static/office.css HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n");
        ASSERT_TRUE(testsupport::waitUntil([&] { return client.status() != 0; }, 20s))
            << c.host.toStdString();
        EXPECT_EQ(client.status(), c.status) << c.host.toStdString();
        // The body may come after the head: waited for where it is due.
        if (c.status == 200)
            testsupport::waitUntil([&] { return client.got().contains("font-family"); }, 20s);
        EXPECT_EQ(client.got().contains("font-family"), c.status == 200) << c.host.toStdString();
        if (c.status == 421) { // and the connection is not kept for another try
            EXPECT_TRUE(testsupport::waitUntil([&] { return client.closed(); }, 20s));
        }
    }
}

TEST_F(OfficeFront, DropsAnEndlessHeaderASlowClientAndAnIdleOne) {
    FrontLimits limits;
    limits.idleFor = 1s;
    limits.readFor = 1s;
    start(limits);
    // An endless header: sent on while the connection lasts, up to 64 MiB; the service reads
    // no more than its bound and answers 431 (or, with the rest unread, resets).
    Client endless(server->port());
    endless.send("GET / HTTP/1.1\r\n" + hostHeader() + "X-Long: ");
    const QByteArray chunk(64 * 1024, 'a');
    qint64 sent = 0;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            if (endless.connected() && endless.socket().bytesToWrite() < 256 * 1024 &&
                sent < (64 << 20)) {
                endless.send(chunk);
                sent += chunk.size();
                testsupport::wakeWaiters();
            }
            return endless.closed();
        },
        60s));
    EXPECT_TRUE(endless.got().isEmpty() || endless.status() == 431)
        << endless.got().left(200).toStdString();
    EXPECT_LT(sent, qint64(64) << 20);

    // A request that trickles and stops, and a connection that says nothing: both dropped, and
    // a request sent whole meanwhile is answered.
    Client slow(server->port()), idle(server->port()), good(server->port());
    slow.send("GET /static/office.css HTTP/1.1\r\n");
    good.send(get());
    EXPECT_TRUE(testsupport::waitUntil([&] { return good.status() == 200; }, 20s));
    EXPECT_TRUE(testsupport::waitUntil([&] { return slow.closed() && idle.closed(); }, 30s));
    EXPECT_EQ(slow.got(), QByteArray());
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->connections() == 0; }, 30s));
}

TEST_F(OfficeFront, HoldsItsCapsAgainstTwoThousandIdleConnectionsAndStillServes) {
    if (testsupport::kSlowdown != 1)
        GTEST_SKIP() << "run in the normal build only: it opens thousands of sockets";
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 16384);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 4500)
        GTEST_SKIP() << "too few files allowed: " << files.rlim_cur;
    FrontLimits limits;
    limits.mostConnections = 100;
    limits.mostPerAddress = 20;
    limits.idleFor = 5s;
    start(limits);
    constexpr int kAddresses = 8, kEach = 250;
    std::vector<std::unique_ptr<Client>> idle;
    for (int a = 0; a < kAddresses; ++a)
        for (int i = 0; i < kEach; ++i)
            idle.push_back(
                std::make_unique<Client>(server->port(), QStringLiteral("127.0.0.%1").arg(a + 2)));
    auto connectedFrom = [&](int a) {
        int n = 0;
        for (int i = a * kEach; i < (a + 1) * kEach; ++i)
            n += idle[std::size_t(i)]->connected();
        return n;
    };
    // Every one accepted or refused by the service (the client sees it closed).
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            int held = 0;
            for (int a = 0; a < kAddresses; ++a)
                if (connectedFrom(a) > limits.mostPerAddress)
                    return false;
                else
                    held += connectedFrom(a);
            return held <= limits.mostConnections;
        },
        60s));
    EXPECT_LE(server->connections(), limits.mostConnections);
    // A well-behaved client from another address is still served, in time.
    Client good(server->port());
    good.send(get());
    EXPECT_TRUE(testsupport::waitUntil([&] { return good.status() == 200; }, 20s))
        << good.got().left(100).toStdString();
    EXPECT_LE(server->connections(), limits.mostConnections);
    // And the idle ones are all let go in the end.
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->connections() <= 1; }, 60s));
}

class OfficeSignInFlood : public OfficeFront {
protected:
    // Sign-ins checked against `conninfo`, with a back-off of the test's.
    OfficeConfig signInConfig(const std::string& conninfo, SignInBackoff::Rules rules) {
        OfficeConfig c;
        c.conninfo = conninfo;
        c.limits.connectTimeout = 5s;
        c.sessions = std::make_shared<SessionStore>();
        c.backoff = std::make_shared<SignInBackoff>(rules);
        backoff = c.backoff;
        return c;
    }
    std::shared_ptr<SignInBackoff> backoff;
};

TEST_F(OfficeSignInFlood, AFloodOfSignInsBacksOffBeforeTheServerIsAskedAgain) {
    SignInBackoff::Rules rules;
    rules.freeFailures = 3;
    rules.first = 60s;
    // A server that is not there: each check fails at once, and counts as a failure.
    start({}, signInConfig("host=/nonexistent-folder-of-the-test port=1 dbname=x", rules));
    Client flood(server->port());
    QByteArray all;
    for (int i = 0; i < 40; ++i)
        all += signIn("anna");
    flood.send(all); // pipelined: answered one after another
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return flood.answers(401) + flood.answers(429) == 40; }, 60s))
        << flood.got().left(300).toStdString();
    // The free failures and the one after them checked; none after.
    EXPECT_EQ(flood.answers(401), 4);
    EXPECT_EQ(flood.answers(429), 36);
    EXPECT_TRUE(flood.got().contains("Retry-After: 60"));
    EXPECT_GT(backoff->wait(QStringLiteral("elsewhere"), QStringLiteral("anna")).count(), 0);
}

TEST_F(OfficeSignInFlood, ABoundedQueueAnswers503AndAClientThatLeftCostsNoLogin) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    testsupport::SilentServer silent(folder.path().toStdString());
    ASSERT_TRUE(silent.ok());
    SignInBackoff::Rules rules;
    rules.freeFailures = 0; // any role checked waits after
    rules.first = 600s;
    FrontLimits limits;
    limits.mostWaiting = 1;
    // One read thread; each check waits for a server that never answers, 5 s.
    start(limits, signInConfig("host=" + folder.path().toStdString() + " dbname=x", rules), 1);
    Client first(server->port()), second(server->port(), QStringLiteral("127.0.0.2"));
    first.send(signIn("role_a"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return server->inWork() == 1; }, 20s));
    // The second waits, and leaves before a thread takes it.
    second.send(signIn("role_b"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return server->inWork() == 2; }, 20s));
    // More than the queue holds: 503 at once, with Retry-After.
    std::vector<std::unique_ptr<Client>> more;
    for (int i = 0; i < 5; ++i) {
        more.push_back(
            std::make_unique<Client>(server->port(), QStringLiteral("127.0.0.%1").arg(10 + i)));
        more.back()->send(signIn("role_c"));
    }
    for (auto& c : more) {
        EXPECT_TRUE(testsupport::waitUntil([&] { return c->status() != 0; }, 20s));
        EXPECT_EQ(c->status(), 503);
        EXPECT_TRUE(c->got().contains("Retry-After: 5"));
    }
    second.socket().abort();
    EXPECT_TRUE(testsupport::waitUntil([&] { return first.status() != 0; }, 30s));
    EXPECT_EQ(first.status(), 401);
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->inWork() == 0; }, 30s));
    // role_a was checked and waits now; role_b's check never ran, nor did role_c's.
    EXPECT_GT(backoff->wait(QStringLiteral("elsewhere"), QStringLiteral("role_a")).count(), 0);
    EXPECT_EQ(backoff->wait(QStringLiteral("elsewhere"), QStringLiteral("role_b")).count(), 0);
    EXPECT_EQ(backoff->wait(QStringLiteral("elsewhere"), QStringLiteral("role_c")).count(), 0);
}

TEST(OfficeProgram, EndsWithZeroOnSigtermWhateverItsClientsAreDoing) {
    testsupport::ChildProcess service(std::string(XRQ_BIN_DIR) + "/xrq-office",
                                      {"--service", "nothere", "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.waitForError("/ from service", 30s)) << service.errorOutput();
    const QString said = QString::fromStdString(service.errorOutput());
    const qsizetype at = said.indexOf(QLatin1String("127.0.0.1:")) + 10;
    const quint16 port = said.mid(at, said.indexOf(QLatin1Char('/'), at) - at).toUShort();
    ASSERT_NE(port, 0) << service.errorOutput();
    Client idle(port), partial(port), kept(port);
    partial.send("GET / HTTP/1.1\r\nX-A: ");
    kept.send("GET /static/office.css HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
              "\r\n\r\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return kept.status() == 200; }, 30s));
    ASSERT_TRUE(idle.connected() && partial.connected());
    ASSERT_EQ(::kill(service.pid(), SIGTERM), 0);
    ASSERT_TRUE(service.waitForExit(30s)) << service.errorOutput();
    EXPECT_TRUE(service.exitedNormally());
    EXPECT_EQ(service.exitCode(), 0) << service.errorOutput();
}

} // namespace
} // namespace office
