// SPDX-License-Identifier: GPL-3.0-or-later
// Why a connection failed, told from how far it got and from the name lookup's own answer,
// never from libpq's words: a refused password on a server that speaks German, a service that
// does not exist, a host name that is not known or whose lookup never ends (a resolver of the
// test's own), a certificate for another host under verify-full; and a connection made
// without verifying the server, said so in the status line.
#include "fleet_fixture.h"

#include "fleet/name_lookup.h"
#include "support/slowdown.h"
#include "support/wait.h"
#include "test_resolver.h"

#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace fleettest {
namespace {

// A server whose messages are in German (lc_messages C.UTF-8 with LANGUAGE=de: `locale -a`
// on the machines the tests run on may list only C, C.utf8 and POSIX).
TEST(FleetConnectReasons, ARefusedPasswordIsCalledSoWhateverTheServersLanguage) {
    testsupport::PgTestServer server({.messagesLanguage = "de"});
    ASSERT_TRUE(server.ok()) << server.error();
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    ASSERT_TRUE(fleet::initServer(fleet::serviceConninfo("owner_db")).ok);
    ASSERT_TRUE(server.createLoginRole("laptop_a", "right"));
    ASSERT_TRUE(fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "laptop_a").ok);
    server.addService("laptop_a", "laptop_a");
    server.addService("nobody", "nobody_at_all");
    server.setPassword("nobody_at_all", "any");
    server.addService("no_password", "laptop_nopw");
    ASSERT_TRUE(server.sql("CREATE ROLE laptop_nopw LOGIN; CREATE ROLE laptop_nologin NOLOGIN "
                           "PASSWORD 'pw'"));
    server.setPassword("laptop_nologin", "pw");
    server.addService("no_login", "laptop_nologin");

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("laptop_a"), 30s)) << c.error();
    EXPECT_TRUE(c.security().verified()) << "a local socket";
    c.close();
    server.setPassword("laptop_a", "wrong");
    struct Case {
        const char* service;
        fleet::ConnectFailure failure;
        bool transient;
        const char* words; // the start of error(): ours
    };
    const Case cases[] = {
        {"laptop_a", fleet::ConnectFailure::PasswordRefused, false,
         "the server refused this laptop's role or password: "},
        {"nobody", fleet::ConnectFailure::PasswordRefused, false,
         "the server refused this laptop's role or password: "},
        {"no_password", fleet::ConnectFailure::NoPassword, false,
         "this laptop has no password for the server: "},
        {"no_login", fleet::ConnectFailure::PasswordRefused, false,
         "the server refused this laptop's role or password: "},
        {"no_such_service", fleet::ConnectFailure::Settings, false, "the service cannot be used: "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.service);
        EXPECT_FALSE(c.connect(fleet::serviceConninfo(k.service), 30s));
        EXPECT_EQ(c.failure(), k.failure) << c.error();
        EXPECT_EQ(c.errorTransient(), k.transient);
        EXPECT_EQ(c.error().rfind(k.words, 0), 0u) << c.error();
    }
    // The server did speak German (its own words follow ours), so the words were not what
    // told the failure.
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("laptop_a"), 30s));
    EXPECT_NE(c.error().find("Passwort-Authentifizierung"), std::string::npos) << c.error();

    // The pusher's status says so too, and the facts wait.
    QTemporaryDir dir;
    const std::unique_ptr<fleet::Pusher> pusher =
        pusherOfOneVisit(dir, "laptop_a", "XRQ00001", "a");
    ASSERT_TRUE(pusher->waitFor(
        [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Refused; },
        60s));
    EXPECT_EQ(
        fleet::statusLine(pusher->status(), 0)
            .startsWith("1 fact waiting: the server refused this laptop's role or password: "),
        true)
        << fleet::statusLine(pusher->status(), 0).toStdString();
}

// Names looked up by the connection itself, through the test's resolver.
TEST(FleetConnectReasons, AHostNameNotKnownOrNotAnsweringIsToldAndEndsInTime) {
    testsupport::PgTestServer server({.tls = true});
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string name = testsupport::PgTestServer::kTlsHostName;
    server.addService("by_name", testsupport::PgTestServer::kOwner, "postgres", {{"host", name}});
    server.addService("unknown", testsupport::PgTestServer::kOwner, "postgres",
                      {{"host", "nowhere.xrq.test"}});
    server.addService("failing", testsupport::PgTestServer::kOwner, "postgres",
                      {{"host", "flaky.xrq.test"}});
    server.addService("hanging", testsupport::PgTestServer::kOwner, "postgres",
                      {{"host", "silent.xrq.test"}});
    TestResolver resolver;
    resolver.answers[name] = {0, {"127.0.0.1"}};
    resolver.answers["flaky.xrq.test"] = {EAI_AGAIN, {}};
    resolver.hanging.insert("silent.xrq.test");

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("by_name"), 30s)) << c.error();
    EXPECT_TRUE(c.security().verified()) << "verify-full against " << name;
    EXPECT_TRUE(c.exec("SELECT 1").ok());
    c.close();

    EXPECT_FALSE(c.connect(fleet::serviceConninfo("unknown"), 30s));
    EXPECT_EQ(c.failure(), fleet::ConnectFailure::NameUnknown) << c.error();
    EXPECT_EQ(c.error().rfind("the server's host name is not known: \"nowhere.xrq.test\"", 0), 0u)
        << c.error();
    EXPECT_TRUE(c.errorTransient()) << "a field link's resolver may not know the office's names";
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("failing"), 30s));
    EXPECT_EQ(c.failure(), fleet::ConnectFailure::NameLookup) << c.error();

    // A lookup that never ends: the connection ends at its deadline, the lookup is left to its
    // thread.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("hanging"), 1500ms));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500 + 1000));
    EXPECT_EQ(c.failure(), fleet::ConnectFailure::NameLookup) << c.error();
    EXPECT_EQ(c.error(), "the server's host name could not be looked up: the lookup of "
                         "\"silent.xrq.test\" did not end in time");
    EXPECT_TRUE(fleettest::pollUntil([] { return fleet::lookupsRunning() == 1; }));

    // ... or at once when stopped, a second lookup left as well.
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(stop, 0);
    {
        fleet::PgConnection stoppable(stop);
        std::thread stopper([&] {
            for (int i = 0; i < 3000 && fleet::lookupsRunning() < 2; ++i)
                std::this_thread::sleep_for(10ms);
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(stop, &one, sizeof one);
        });
        t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(stoppable.connect(fleet::serviceConninfo("hanging"), 120s));
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - t0,
                  std::chrono::milliseconds(testsupport::scaledMs(2000)));
        EXPECT_EQ(stoppable.failure(), fleet::ConnectFailure::Stopped);
    }
    ::close(stop);
    resolver.release();
    EXPECT_TRUE(fleettest::pollUntil([] { return fleet::lookupsRunning() == 0; }));
}

// TLS: a certificate the test's own CA signed for db.xrq.test and 127.0.0.1.
TEST(FleetConnectReasons, ACertificateForAnotherHostIsATlsFailureAndUnverifiedIsSaid) {
    testsupport::PgTestServer server({.tls = true});
    ASSERT_TRUE(server.ok()) << server.error();
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    ASSERT_TRUE(fleet::initServer(fleet::serviceConninfo("owner_db")).ok);
    ASSERT_TRUE(server.createLoginRole("laptop_t", "pw-t"));
    ASSERT_TRUE(fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "laptop_t").ok);
    TestResolver resolver;
    resolver.answers["other.xrq.test"] = {0, {"127.0.0.1"}};
    server.addService("wrong_host", "laptop_t", testsupport::PgTestServer::kDatabase,
                      {{"host", "other.xrq.test"}});
    server.addService("require", "laptop_t", testsupport::PgTestServer::kDatabase,
                      {{"sslmode", "require"}});
    server.addService("prefer", "laptop_t", testsupport::PgTestServer::kDatabase,
                      {{"sslmode", "prefer"}});

    fleet::PgConnection c;
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("wrong_host"), 30s));
    EXPECT_EQ(c.failure(), fleet::ConnectFailure::Tls) << c.error();
    EXPECT_FALSE(c.errorTransient());
    EXPECT_EQ(c.error().rfind("the TLS connection failed: ", 0), 0u) << c.error();
    EXPECT_NE(c.error().find("does not match host name \"other.xrq.test\""), std::string::npos)
        << "libpq's own reason goes with it: " << c.error();

    // Connected, but nothing checked the certificate's host: said so.
    for (const char* mode : {"require", "prefer"}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(c.connect(fleet::serviceConninfo(mode), 30s)) << c.error();
        EXPECT_TRUE(c.security().tls);
        EXPECT_FALSE(c.security().verified());
        EXPECT_EQ(c.security().unverifiedText(),
                  std::string("unverified connection (sslmode=") + mode +
                      ", TLS without the host's certificate checked)");
        c.close();
    }
    QTemporaryDir dir;
    const std::unique_ptr<fleet::Pusher> pusher = pusherOfOneVisit(dir, "require");
    ASSERT_TRUE(pusher->pushAndWait(60s)) << pusher->status().detail.toStdString();
    EXPECT_EQ(fleet::statusLine(pusher->status(), 0),
              "shared: up to date; unverified connection (sslmode=require, TLS without the "
              "host's certificate checked)");
}

} // namespace
} // namespace fleettest
