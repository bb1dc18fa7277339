// SPDX-License-Identifier: GPL-3.0-or-later
// Who may look: the sessions and their cookies alone (no server), then xrq-office signing
// people in against the tests' real PostgreSQL, whose own authentication checks each password,
// with a service whose own role cannot read at all, so that every page read proves it was
// made as the signed-in role.
#include "office_fixture.h"

#include "office/counting_ahead.h"
#include "office/read_connections.h"
#include "office/sign_in.h"

#include <QJsonArray>

#include <atomic>

namespace officetest {
namespace {

using office::Credentials;
using office::SessionStore;

struct FakeClock {
    std::shared_ptr<std::atomic<long long>> seconds = std::make_shared<std::atomic<long long>>(0);
    std::function<SessionStore::Clock::time_point()> now() const {
        return [s = seconds] { return SessionStore::Clock::time_point(std::chrono::seconds(*s)); };
    }
};

TEST(OfficeSessions, TokensAreOpaqueSessionsEndAtTheirTimeAtSignOutAndAtTheCap) {
    FakeClock clock;
    SessionStore store(std::chrono::seconds(100), clock.now(), 2);
    // Every session that ends is told by its name, however it ends, and only once.
    std::vector<std::string> ended;
    store.setOnEnded([&](const std::string& session) { ended.push_back(session); });
    const QByteArray a = store.open({QStringLiteral("anna"), "pw-a", {}});
    const QByteArray b = store.open({QStringLiteral("bert"), "pw-b", {}});
    EXPECT_EQ(a.size(), 43);
    EXPECT_NE(a, b);
    EXPECT_FALSE(a.contains("anna"));
    ASSERT_TRUE(store.find(a));
    EXPECT_EQ(store.find(a)->role, "anna");
    EXPECT_EQ(store.find(b)->password, "pw-b");
    // Each session's own name: random, neither its token nor its role.
    const std::string nameA = store.find(a)->session, nameB = store.find(b)->session;
    EXPECT_EQ(nameA.size(), 32u);
    EXPECT_NE(nameA, nameB);
    EXPECT_EQ(a.toStdString().find(nameA), std::string::npos);
    // A token one character off, or of another shape, names no session.
    QByteArray near = a;
    near[0] = near[0] == 'A' ? 'B' : 'A';
    for (const QByteArray& wrong : {near, a.left(42), a + "x", QByteArray(), QByteArray(43, '*')})
        EXPECT_FALSE(store.find(wrong)) << wrong.toStdString();

    *clock.seconds = 99;
    EXPECT_TRUE(store.find(a));
    *clock.seconds = 100; // not renewed by use: it ends 100 s after its sign-in
    EXPECT_FALSE(store.find(a));
    EXPECT_FALSE(store.find(b));
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(ended, (std::vector<std::string>{nameA, nameB}));
    ended.clear();

    // Two at most: a third drops the one that would end soonest.
    const QByteArray c = store.open({QStringLiteral("c"), "1", {}});
    *clock.seconds = 110;
    const QByteArray d = store.open({QStringLiteral("d"), "2", {}});
    const QByteArray e = store.open({QStringLiteral("e"), "3", {}});
    EXPECT_FALSE(store.find(c));
    EXPECT_TRUE(store.find(d));
    const std::string nameD = store.find(d)->session;
    store.close(d);
    store.close(d);
    EXPECT_FALSE(store.find(d));
    EXPECT_TRUE(store.find(e));
    ASSERT_EQ(ended.size(), 2u); // c dropped for e, d signed out
    EXPECT_EQ(ended[1], nameD);
}

TEST(OfficeSessions, CookieHeadersReadOnlyOursAndSetOnlyWithEveryAttribute) {
    const QByteArray token(43, 'a');
    const struct {
        QByteArray header;
        QByteArray token;
    } cases[] = {
        {"__Host-xrq-office=" + token, token},
        {"theme=dark; __Host-xrq-office=" + token + "; lang=en", token},
        {"__Host-xrq-office2=" + token, {}},
        {"xrq-office=" + token, {}},
        {"__Host-xrq-office=" + token + "b", {}},
        {"__Host-xrq-office=", {}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(office::sessionToken(c.header), c.token) << c.header.toStdString();

    const QByteArray set = office::sessionCookie(token, std::chrono::hours(8));
    EXPECT_TRUE(set.startsWith("__Host-xrq-office=" + token + ";"));
    for (const char* attribute :
         {"; Path=/", "; Max-Age=28800", "; Secure", "; HttpOnly", "; SameSite=Strict"})
        EXPECT_TRUE(set.contains(attribute)) << attribute;
    EXPECT_FALSE(set.contains("Domain"));
    EXPECT_TRUE(office::sessionCookie({}, {}).contains("=; Path=/; Max-Age=0;"));

    const struct {
        const char* next;
        const char* to;
    } targets[] = {{"/unit?u=SITE1", "/unit?u=SITE1"},
                   {"/", "/"},
                   {"//evil.example/", "/"},
                   {"/\\evil.example", "/"},
                   {"https://evil.example/", "/"},
                   {"", "/"},
                   {"/sign-out", "/"},
                   {"unit", "/"}};
    for (const auto& t : targets)
        EXPECT_EQ(office::localTarget(QString::fromLatin1(t.next)), QLatin1String(t.to)) << t.next;
}

class OfficeSignInTest : public OfficeTest {
protected:
    void SetUp() override {
        OfficeTest::SetUp();
        if (HasFatalFailure())
            return;
        sessions = std::make_shared<SessionStore>(std::chrono::seconds(600), clock.now());
        // The service names the server only: its role does not exist.
        s->server.addService("nobody", "nobody_here");
        startOffice({}, sessions, "nobody");
    }

    Reply signIn(const QByteArray& role, const QByteArray& password, const QByteArray& next = {}) {
        QByteArray form =
            "role=" + role.toPercentEncoding() + "&password=" + password.toPercentEncoding();
        if (!next.isEmpty())
            form += "&next=" + next.toPercentEncoding();
        return get(QStringLiteral("/sign-in"), "POST", form,
                   {{"Content-Type", "application/x-www-form-urlencoded"}});
    }

    static std::vector<std::pair<QByteArray, QByteArray>> cookie(const QByteArray& token) {
        return {{"Cookie", QByteArray(office::kSessionCookie) + "=" + token}};
    }

    FakeClock clock;
    std::shared_ptr<SessionStore> sessions;
};

TEST_F(OfficeSignInTest, OnlyRolesOfTheOfficeSignInByTheirPasswordAndReadAsThemselves) {
    // What tests before this one in the process kept goes first: what is kept at the end is
    // this test's alone.
    EXPECT_TRUE(office::CountingAhead::shared().idle(30s));
    office::ReadConnections::shared().closeAll();
    // Without a session: a page sends the browser to sign in, coming back to it after; data
    // is a 401 in JSON; the service's own files are anyone's.
    Reply r = get(QStringLiteral("/unit?u=SITE1"));
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.headers.value("location"), "/sign-in?next=%2Funit%3Fu%3DSITE1");
    for (const char* data :
         {"/api/units", "/api/unit?u=SITE1", "/csv?u=SITE1&set=ANALOG", "/api/v1.1/Things",
          "/api/v1.1/Datastreams('SITE3/TEMP/2')/Observations"}) {
        r = get(QString::fromLatin1(data));
        EXPECT_EQ(r.status, 401) << data;
        EXPECT_EQ(r.json().value(QLatin1String("error")).toObject().value(QLatin1String("status")),
                  401)
            << data;
    }
    EXPECT_EQ(get(QStringLiteral("/static/office.css")).status, 200);
    r = get(QStringLiteral("/sign-in?next=%2Funit%3Fu%3DSITE1"));
    ASSERT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.contains("<form id=\"sign-in\" method=\"post\" action=\"/sign-in\">"));
    EXPECT_TRUE(r.body.contains("name=\"next\" value=\"/unit?u=SITE1\""));

    // Refused, each without a cookie and each alike to the byte, whatever failed: a wrong
    // password, a role that does not exist or cannot, a laptop's role with its right password,
    // a role the server lets in without asking its password, a form missing one. Nothing of
    // what the server said reaches the page.
    const struct {
        QByteArray role, password;
    } refused[] = {
        {"office_viewer", "wrong"},     {"no_such_role", "wrong"},
        {QByteArray(70, 'r'), "wrong"}, {"laptop_a", "pw-of-laptop"},
        {"office_trusted", "anything"}, {"office_viewer", ""},
    };
    std::optional<Reply> first;
    for (const auto& c : refused) {
        r = signIn(c.role, c.password);
        EXPECT_EQ(r.status, 401) << c.role.toStdString();
        EXPECT_TRUE(r.body.contains("That role and password were not accepted."))
            << c.role.toStdString() << ": " << r.body.toStdString();
        for (const char* told : {"no member", "pg_hba", "without asking", "try again later"})
            EXPECT_FALSE(r.body.contains(told)) << c.role.toStdString() << ": " << told;
        EXPECT_FALSE(r.headers.contains("set-cookie")) << c.role.toStdString();
        if (!first)
            first = r;
        EXPECT_EQ(r.body, first->body) << c.role.toStdString();
        for (const char* header : {"content-type", "content-length", "cache-control"})
            EXPECT_EQ(r.headers.value(header), first->headers.value(header)) << header;
    }
    EXPECT_EQ(sessions->size(), 0u);
    // A form posted from another site's page is refused before any password is tried.
    r = get(QStringLiteral("/sign-in"), "POST", "role=office_viewer&password=pw-of-office",
            {{"Content-Type", "application/x-www-form-urlencoded"},
             {"Origin", "https://evil.example"}});
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(sessions->size(), 0u);

    // Signed in: back to the page asked for, the cookie with every attribute; the pages and
    // answers are read as that role (the service's own could read nothing).
    r = signIn("office_viewer", "pw-of-office", "/unit?u=SITE1");
    ASSERT_EQ(r.status, 303) << r.body.toStdString();
    EXPECT_EQ(r.headers.value("location"), "/unit?u=SITE1");
    const QByteArray setCookie = r.headers.value("set-cookie");
    for (const char* attribute : {"; Secure", "; HttpOnly", "; SameSite=Strict", "; Max-Age=600"})
        EXPECT_TRUE(setCookie.contains(attribute)) << setCookie.toStdString();
    const QByteArray token = office::sessionToken(setCookie.split(';').front());
    ASSERT_FALSE(token.isEmpty()) << setCookie.toStdString();
    EXPECT_FALSE(setCookie.contains("pw-of-office"));
    r = get(QStringLiteral("/unit?u=SITE1"), "GET", {}, cookie(token));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_TRUE(r.body.contains("<span>office_viewer</span> <button type=\"submit\">Sign out"));
    r = get(QStringLiteral("/api/units"), "GET", {}, cookie(token));
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(r.json().value(QLatin1String("units")).toArray().size(), 3); // SITE1, SITE2, SITE3
    // Its connections are kept for it meanwhile.
    EXPECT_TRUE(
        testsupport::waitUntil([] { return office::ReadConnections::shared().idle() > 0; }, 10s));

    // Signed out: the cookie is cleared and its token names nothing any more.
    const QByteArray other = office::sessionToken(
        signIn("office_viewer", "pw-of-office").headers.value("set-cookie").split(';').front());
    r = get(QStringLiteral("/sign-out"), "POST", {}, cookie(token));
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.headers.value("location"), "/sign-in");
    EXPECT_TRUE(r.headers.value("set-cookie").contains("Max-Age=0"));
    EXPECT_EQ(get(QStringLiteral("/api/units"), "GET", {}, cookie(token)).status, 401);
    EXPECT_EQ(get(QStringLiteral("/units"), "GET", {}, cookie(token)).status, 303);

    // The other session holds until its time is up, and not a second longer.
    EXPECT_EQ(get(QStringLiteral("/api/units"), "GET", {}, cookie(other)).status, 200);
    *clock.seconds = 600;
    EXPECT_EQ(get(QStringLiteral("/api/units"), "GET", {}, cookie(other)).status, 401);
    EXPECT_EQ(get(QStringLiteral("/units"), "GET", {}, cookie(other)).status, 303);
    // Both sessions ended: nothing is kept for them, no connection open as their role (the
    // service's own role reads nothing here, so every one kept was theirs).
    EXPECT_TRUE(office::CountingAhead::shared().idle(30s));
    EXPECT_EQ(office::ReadConnections::shared().idle(), 0u);
}

} // namespace
} // namespace officetest
