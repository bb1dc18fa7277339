// SPDX-License-Identifier: GPL-3.0-or-later
// What the windows read from the server: another laptop's download since this one's (Clear
// Memory's question and its words), reads that end at once when the program stops, and the
// settings Setup refuses.
#include "fleet_fixture.h"

#include "fleet/fleet_settings.h"
#include "fleet/other_laptops.h"
#include "fleet/server_history.h"
#include "fleet/server_reads.h"
#include "support/silent_server.h"
#include "support/slowdown.h"

#include <QDateTime>
#include <QDir>

#include <mutex>
#include <optional>

namespace fleettest {
namespace {

using FleetReads = FleetServerTest;

fleet::Fact download(const QString& unit, const QString& laptop, std::int64_t at) {
    return fleet::eventFact(fleet::newFactId(), unit, QStringLiteral("download"),
                            QJsonObject{{QStringLiteral("bytes"), 1234}}, at, laptop);
}

// The window's read of the units derives what the server's xrq.units view derives, by its own
// quicker grouping: the two must agree.
TEST_F(FleetReads, TheUnitsListSaysWhatTheServersUnitsViewSays) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    LocalStore a(file("a.sqlite")), b(file("b.sqlite"));
    const std::int64_t t = 1765188000000;
    ASSERT_TRUE(a.record(visit(QStringLiteral("XRQ00051"), "laptop-a", t)));
    ASSERT_TRUE(a.record(visit(QStringLiteral("XRQ00051"), "laptop-a", t + 1000)));
    ASSERT_TRUE(a.record(download(QStringLiteral("XRQ00051"), "laptop-a", t + 2000)));
    ASSERT_TRUE(b.record(visit(QStringLiteral("XRQ00051"), "laptop-b", t + 500)));
    ASSERT_TRUE(b.record(download(QStringLiteral("XRQ00052"), "laptop-b", t + 9000)));
    ASSERT_TRUE(b.record(visit(QStringLiteral("(no serial number)"), "laptop-b", t + 3000)));
    for (auto* store : {&a, &b}) {
        ASSERT_TRUE(pushAll(store == &a ? "laptop_a" : "laptop_b", {store->path()}));
    }
    const fleet::ServerUnits units = fleet::readUnits(fleet::serviceConninfo("laptop_a"), 10s);
    ASSERT_TRUE(units.ok) << units.message.toStdString();
    QStringList read, view;
    for (const fleet::ServerUnit& u : units.units)
        read << QStringLiteral("%1 %2 %3 %4")
                    .arg(u.unit)
                    .arg(u.lastSeen)
                    .arg(u.visits)
                    .arg(u.laptops);
    const auto viewText = server.value(
        "SELECT string_agg(unit || ' ' || (extract(epoch FROM last_seen) * 1000)::bigint || ' ' "
        "|| visits || ' ' || laptops, ',' ORDER BY unit) FROM xrq.units");
    ASSERT_TRUE(viewText.has_value());
    view = QString::fromStdString(*viewText).split(QLatin1Char(','));
    EXPECT_EQ(read, view);
    EXPECT_EQ(read, QStringList({QStringLiteral("(no serial number) 1765188003000 1 1"),
                                 QStringLiteral("XRQ00051 1765188002000 3 2"),
                                 QStringLiteral("XRQ00052 1765188009000 0 1")}));
}

TEST_F(FleetReads, AnotherLaptopsDownloadSinceThisOnesIsFound) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    LocalStore a(file("a.sqlite")), b(file("b.sqlite"));
    const QString unit = QStringLiteral("XRQ00042");
    const std::int64_t t1 = 1765188000000, t2 = t1 + 3600000, t3 = t2 + 3600000;
    ASSERT_TRUE(a.record(download(unit, "laptop-a", t1)));
    ASSERT_TRUE(b.record(download(unit, "laptop-b", t2)));
    ASSERT_TRUE(b.record(download(QStringLiteral("XRQ00043"), "laptop-b", t3)));
    ASSERT_TRUE(a.record(visit(unit, "laptop-b", t3))); // not a download
    for (auto* store : {&a, &b}) {
        ASSERT_TRUE(pushAll(store == &a ? "laptop_a" : "laptop_b", {store->path()}));
    }
    const std::string connA = fleet::serviceConninfo("laptop_a");
    struct Case {
        const char* laptop;
        std::int64_t since;
        std::optional<std::int64_t> found; // the download's time
    };
    const Case cases[] = {
        {"laptop-a", 0, t2},      // b downloaded after a's last download on the server
        {"laptop-a", t1, t2},     // and after the one this laptop knows of
        {"laptop-a", t2 + 1, {}}, // this laptop downloaded after that (not yet pushed)
        {"laptop-b", 0, {}},      // a's download is older than b's own
        {"laptop-c", 0, t2},      // a laptop with none: the newest other one
    };
    for (const Case& c : cases) {
        const fleet::OtherDownload d =
            fleet::otherLaptopDownload(connA, unit, QString::fromLatin1(c.laptop), c.since, 10s);
        ASSERT_TRUE(d.ok) << d.message.toStdString();
        EXPECT_EQ(d.found.has_value(), c.found.has_value()) << c.laptop << " since " << c.since;
        if (d.found && c.found) {
            EXPECT_EQ(d.found->occurredAt, *c.found);
            EXPECT_TRUE(d.found->otherLaptop);
        }
    }
    // a downloads again: b's is no longer after this laptop's last.
    ASSERT_TRUE(a.record(download(unit, "laptop-a", t3)));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    EXPECT_FALSE(fleet::otherLaptopDownload(connA, unit, QStringLiteral("laptop-a"), 0, 10s).found);
    const auto fromB = fleet::otherLaptopDownload(connA, unit, QStringLiteral("laptop-b"), 0, 10s);
    ASSERT_TRUE(fromB.found);
    EXPECT_EQ(fromB.found->laptop, QStringLiteral("laptop-a"));
}

TEST_F(FleetReads, AHistoryReadIsBoundedToTheNewestAndSaysThereIsMore) {
    addLaptop("laptop_a");
    LocalStore a(file("a.sqlite"));
    const QString unit = QStringLiteral("XRQ00044");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(a.record(visit(unit, "laptop-a", 1765188000000 + i)));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    struct Case {
        int most;
        std::size_t entries;
        bool more;
    };
    for (const Case c : {Case{0, 3, false}, Case{2, 2, true}, Case{3, 3, false}}) {
        const fleet::ServerHistory h = fleet::readUnitHistory(
            fleet::serviceConninfo("laptop_a"), unit, QStringLiteral("laptop-a"), 10s, -1, c.most);
        ASSERT_TRUE(h.ok) << h.message.toStdString();
        EXPECT_EQ(h.entries.size(), c.entries) << c.most;
        EXPECT_EQ(h.more, c.more) << c.most;
        EXPECT_EQ(h.entries.front().occurredAt, 1765188000002) << "the newest first";
    }
}

TEST_F(FleetReads, StopEndsEveryReadAtOnceWhileTheServerDoesNotAnswer) {
    const std::string folder = file("silent");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    testsupport::SilentServer silent(folder);
    ASSERT_TRUE(silent.ok());
    server.addService("silent", "laptop_a", "xrq", {{"host", folder}, {"port", "5432"}});
    std::mutex m;
    std::vector<fleet::ServerHistory> answers;
    auto reads = std::make_unique<fleet::ServerReads>();
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(reads->run([&](int stopFd) {
            auto h =
                fleet::readUnitHistory(fleet::serviceConninfo("silent"), QStringLiteral("XRQ1"),
                                       QStringLiteral("a"), 120s, stopFd);
            std::lock_guard lock(m);
            answers.push_back(std::move(h));
        }));
    ASSERT_TRUE(silent.knocked(60000));
    EXPECT_EQ(reads->running(), 2u);
    const auto t0 = std::chrono::steady_clock::now();
    reads->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(testsupport::scaledMs(2000)));
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& h : answers)
        EXPECT_FALSE(h.ok);
    EXPECT_FALSE(reads->run([](int) {})) << "a stopped reader starts nothing";
}

TEST(FleetNotes, ClearMemorysQuestionSaysWhatOtherLaptopsDid) {
    const std::int64_t now = QDateTime(QDate(2026, 12, 8), QTime(12, 0)).toMSecsSinceEpoch();
    const std::int64_t morning = QDateTime(QDate(2026, 12, 8), QTime(10, 42)).toMSecsSinceEpoch();
    const std::int64_t before = QDateTime(QDate(2026, 12, 6), QTime(9, 5)).toMSecsSinceEpoch();
    fleet::HistoryEntry byB;
    byB.laptop = QStringLiteral("laptop-b");
    byB.occurredAt = morning;
    byB.otherLaptop = true;
    const fleet::OtherDownload found{true, {}, byB};
    const fleet::OtherDownload none{true, {}, std::nullopt};
    const fleet::OtherDownload refused{false, QStringLiteral("server not reachable: x"), {}};
    struct Case {
        std::optional<fleet::OtherDownload> answer;
        std::optional<std::int64_t> contact;
        const char* note;
    };
    const Case cases[] = {
        {found, morning,
         "XRQ00042 was downloaded by laptop-b at 10:42, after this laptop's last download of it."},
        {none, morning, ""},
        {refused, morning, "Other laptops not checked since 10:42: the server could not be asked."},
        {std::nullopt, before,
         "Other laptops not checked since 2026-12-06 09:05: the server did not answer in time."},
        {std::nullopt, std::nullopt,
         "Other laptops not checked: the server did not answer in time, and it has never "
         "answered this laptop."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fleet::otherLaptopsNote(c.answer, QStringLiteral("XRQ00042"), c.contact, now)
                      .toStdString(),
                  c.note);
}

TEST(FleetSettingsFile, SetupRefusesWhatLibpqCouldNotLookUp) {
    struct Case {
        const char* service;
        QString laptop;
        bool ok;
    };
    const Case cases[] = {
        {"", QStringLiteral("laptop-7"), true}, // not shared
        {"field-office", QStringLiteral("laptop-7"), true},
        {"field_office.2", QString(), true},
        {"field office", QStringLiteral("laptop-7"), false},
        {"office]\nhost=evil", QStringLiteral("laptop-7"), false},
        {"host=x", QStringLiteral("laptop-7"), false},
        {"field-office", QString(64, QLatin1Char('x')), false},
        {"field-office", QStringLiteral("lap\ttop"), false},
    };
    for (const Case& c : cases) {
        const QString problem = fleet::settingsProblem({QString::fromLatin1(c.service), c.laptop});
        EXPECT_EQ(problem.isEmpty(), c.ok) << c.service << ": " << problem.toStdString();
    }
    EXPECT_FALSE(fleet::validServiceName(QString(64, QLatin1Char('a'))));
}

} // namespace
} // namespace fleettest
