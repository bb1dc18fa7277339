// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's one line, the outbox written in the caller's transaction (or not at all),
// facts that cannot be shared, and the settings file of its own.
#include "fleet_fixture.h"

#include "fleet/fleet_settings.h"
#include "fleet/push_status.h"

#include <QDateTime>

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
        {{S::NotShared, 5, 0, 0, {}, {}}, "not shared"},
        {{S::UpToDate, 0, 9, 0, {}, {}}, "shared: up to date"},
        {{S::UpToDate, 0, 9, 2, {}, {}}, "shared: up to date; 2 conflicts noted"},
        {{S::Pushing, 1, 0, 0, {}, {}}, "1 fact waiting: pushing"},
        {{S::Unreachable, 12, 0, 0, morning, "x"},
         "12 facts waiting: server not reachable since 10:42"},
        {{S::Unreachable, 12, 0, 1, yesterday, "x"},
         "12 facts waiting: server not reachable since 2026-12-07 16:05; 1 conflict noted"},
        {{S::Refused, 3, 0, 0, {}, "the server refused this laptop: no"},
         "3 facts waiting: the server refused this laptop: no"},
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
    QString why;
    ASSERT_TRUE(fleet::Outbox::enqueue(d, visit("XRQ00020", "a", 1), &why)) << why.toStdString();
    d.rollback();
    EXPECT_EQ(s.waiting(), 0);
    ASSERT_TRUE(d.transaction());
    ASSERT_TRUE(fleet::Outbox::enqueue(d, visit("XRQ00020", "a", 1)));
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
        QString why;
        EXPECT_TRUE(fleet::Outbox::enqueue(d, visit("XRQ00021", "a", 1), &why))
            << why.toStdString();
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
        QString why;
        EXPECT_FALSE(fleet::Outbox::enqueue(d, fact, &why)) << reason;
        EXPECT_NE(why.indexOf(QString::fromLatin1(reason)), -1) << why.toStdString();
    }
    EXPECT_EQ(s.waiting(), 0);
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
