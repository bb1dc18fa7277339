// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's one line, the outbox written in the caller's transaction (or not at all),
// facts that cannot be shared, and the settings file of its own.
#include "fleet_fixture.h"

#include "fleet/fleet_settings.h"
#include "fleet/push_status.h"
#include "support/result_assert.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace fleettest {
namespace {

TEST(FleetStatus, OneLineForEachState) {
    using S = fleet::PushStatus::State;
    const std::int64_t now = QDateTime(QDate(2026, 12, 8), QTime(12, 0)).toMSecsSinceEpoch();
    const std::int64_t morning = QDateTime(QDate(2026, 12, 8), QTime(10, 42)).toMSecsSinceEpoch();
    const std::int64_t yesterday = QDateTime(QDate(2026, 12, 7), QTime(16, 5)).toMSecsSinceEpoch();
    struct Case {
        fleet::PushStatus status;
        const char* line;
    };
    const Case cases[] = {
        {{S::NotShared, 5, 0, 0, {}, {}, {}, {}}, "not shared"},
        {{S::UpToDate, 0, 9, 0, {}, {}, {}, {}}, "shared: up to date"},
        {{S::UpToDate, 0, 9, 2, {}, {}, {}, {}}, "shared: up to date; 2 conflicts noted"},
        {{S::Pushing, 1, 0, 0, {}, {}, {}, {}}, "1 fact waiting: pushing"},
        {{S::Unreachable, 12, 0, 0, morning, "x", {}, {}},
         "12 facts waiting: server not reachable since 10:42"},
        {{S::Unreachable, 12, 0, 1, yesterday, "x", {}, {}},
         "12 facts waiting: server not reachable since 2026-12-07 16:05; 1 conflict noted"},
        {{S::Unreachable, 12, 0, 0, morning, "x", "the server's host name is not known", {}},
         "12 facts waiting: server not reachable since 10:42 (the server's host name is not "
         "known)"},
        {{S::Refused, 3, 0, 0, {}, "the server refused this laptop: no", {}, {}},
         "3 facts waiting: the server refused this laptop: no"},
        // A connection that nothing verified is said so while shared, not while unreachable.
        {{S::UpToDate, 0, 9, 0, {}, {}, {}, "unverified connection (sslmode=prefer, no TLS)"},
         "shared: up to date; unverified connection (sslmode=prefer, no TLS)"},
        {{S::Pushing, 2, 0, 1, {}, {}, {}, "unverified connection (sslmode=prefer, no TLS)"},
         "2 facts waiting: pushing; 1 conflict noted; unverified connection (sslmode=prefer, no "
         "TLS)"},
        {{S::Unreachable,
          2,
          0,
          0,
          morning,
          "x",
          {},
          "unverified connection (sslmode=prefer, no TLS)"},
         "2 facts waiting: server not reachable since 10:42"},
        // A fact the server refused for its content: kept, counted, and the newest told.
        {{S::UpToDate, 0, 9, 1, {}, {}, {}, {}, 0, "event e1 of unit U refused by ...: volts"},
         "shared: up to date; 1 conflict noted; newest: event e1 of unit U refused by ...: volts"},
        {{S::Pushing, 2, 0, 3, {}, {}, {}, {}, 0, "record h of unit U refused"},
         "2 facts waiting: pushing; 3 conflicts noted; newest: record h of unit U refused"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fleet::statusLine(c.status, now).toStdString(), c.line);
}

TEST(FleetOutbox, WrittenOnlyWithTheFactsTransaction) {
    QTemporaryDir dir;
    LocalStore s(dir.path().toStdString() + "/units.sqlite");
    ASSERT_TRUE(s.ok());
    QSqlDatabase d = s.db();
    ASSERT_TRUE(d.transaction());
    ASSERT_TRUE(done(fleet::Outbox::enqueue(d, visit("XRQ00020", "a", 1))));
    d.rollback();
    EXPECT_EQ(s.waiting(), 0);
    ASSERT_TRUE(d.transaction());
    ASSERT_TRUE(done(fleet::Outbox::enqueue(d, visit("XRQ00020", "a", 1))));
    ASSERT_TRUE(d.commit());
    EXPECT_EQ(s.waiting(), 1);
}

TEST(FleetOutbox, AFileWithoutAnOutboxGetsOneInTheCallersTransaction) {
    QTemporaryDir dir;
    const QString name = QStringLiteral("fleet-bare");
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        d.setDatabaseName(dir.path() + "/old.sqlite");
        ASSERT_TRUE(d.open());
        ASSERT_TRUE(d.transaction());
        EXPECT_TRUE(done(fleet::Outbox::enqueue(d, visit("XRQ00021", "a", 1))));
        ASSERT_TRUE(d.commit());
        EXPECT_EQ(fleet::Outbox::waiting(d), 1);
        d.close();
    }
    QSqlDatabase::removeDatabase(name);
}

TEST(FleetOutbox, FactsThatCannotBeSharedAreRefusedWithTheReason) {
    QTemporaryDir dir;
    LocalStore s(dir.path().toStdString() + "/units.sqlite");
    QSqlDatabase d = s.db();
    fleet::Fact noId = visit("XRQ00022", "a", 1);
    noId.identity = "not-a-uuid";
    fleet::Fact noUnit = visit("", "a", 1);
    fleet::Fact noLaptop = visit("XRQ00022", "", 1);
    fleet::Fact badHash = records("XRQ00022", "SET1", 1, "a")[0];
    badHash.identity = "XYZ";
    fleet::Fact noSet = records("XRQ00022", "SET1", 1, "a")[0];
    noSet.record.dataSet.clear();
    fleet::Fact badSha =
        fleet::keptDownloadFact(fleet::newFactId(), "XRQ00022", "12", 3, "/x", 1, "a");
    const std::pair<fleet::Fact, const char*> cases[] = {
        {noId, "not a UUID"},         {noUnit, "no unit"},
        {noLaptop, "no laptop name"}, {badHash, "not lower-case hex"},
        {noSet, "no data set"},       {badSha, "no SHA-256"},
    };
    for (const auto& [fact, reason] : cases) {
        const auto queued = fleet::Outbox::enqueue(d, fact);
        ASSERT_FALSE(queued.ok()) << reason;
        EXPECT_NE(queued.text().find(reason), std::string::npos) << queued.text();
        // Invalid, not a passing kind: the register takes it for a fault, never retries it.
        EXPECT_EQ(queued.kind(), platform::ErrorKind::Invalid) << queued.text();
    }
    EXPECT_EQ(s.waiting(), 0);
}

// Rows of records as programs before span rows wrote them are counted one record at a time.
TEST(FleetOutbox, AnOlderProgramsRecordRowsAreCountedOneByOne) {
    QTemporaryDir dir;
    LocalStore s(dir.path().toStdString() + "/series.sqlite");
    std::vector<fleet::Fact> facts = records("XRQ00023", "SET1", 2500, "a");
    const std::vector<fleet::Fact> other = records("XRQ00023", "SET1", 10, "a", 1);
    facts.insert(facts.end(), other.begin(), other.end());
    ASSERT_TRUE(s.recordSpan(facts));
    EXPECT_EQ(s.waiting(), 2510);
    QSqlDatabase d = s.db();
    QSqlQuery q(d);
    ASSERT_TRUE(q.exec("SELECT facts, segment, position FROM fleet_outbox ORDER BY seq"));
    std::vector<std::tuple<int, int, int>> rows;
    while (q.next())
        rows.emplace_back(q.value(0).toInt(), q.value(1).toInt(), q.value(2).toInt());
    const std::vector<std::tuple<int, int, int>> expected = {
        {1000, 0, 0}, {1000, 0, 1000}, {500, 0, 2000}, {10, 1, 0}};
    EXPECT_EQ(rows, expected);
}

TEST(FleetFact, PayloadTextIsTheCompactJsonQtWrites) {
    const QJsonObject cases[] = {
        {},
        {{"port", 3}, {"device", "/dev/ttyUSB0"}},
        {{"volts", 12.5}, {"celsius", -0.1}, {"big", 9007199254740991.0}, {"tiny", 1e-300}},
        {{"reply", QString::fromLatin1("A:12.5:21\r\n\"q\"\\\x01\xe9")},
         {"ok", true},
         {"none", QJsonValue()}},
        {{"files", QJsonArray{"a.txt", 2, QJsonArray{}, QJsonObject{{"x", false}}}}},
        {{"\u00fcnit", QStringLiteral("\u20ac \U0001F600")}},
    };
    for (const QJsonObject& o : cases) {
        const QByteArray ours = fleet::payloadText(o);
        EXPECT_EQ(ours.toStdString(),
                  QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_EQ(QJsonDocument::fromJson(ours).object(), o);
    }
}

TEST(FleetSettingsFile, KeptInAFileOfItsOwn) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    EXPECT_FALSE(fleet::readFleetSettings(folder).shared());
    EXPECT_FALSE(fleet::readFleetSettings(folder).laptop.isEmpty()); // the host name
    ASSERT_TRUE(fleet::writeFleetSettings(folder, {"field-office", "laptop-7"}));
    const fleet::FleetSettings s = fleet::readFleetSettings(folder);
    EXPECT_TRUE(s.shared());
    EXPECT_EQ(s.service, "field-office");
    EXPECT_EQ(s.laptop, "laptop-7");
    EXPECT_TRUE(QFile::exists(dir.path() + "/fleet.ini"));
    for (const char* bad : {"a b", "x;y", "", "../etc", "a=b"})
        EXPECT_FALSE(fleet::validServiceName(bad)) << bad;
}

} // namespace
} // namespace fleettest
