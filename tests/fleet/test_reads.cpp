// SPDX-License-Identifier: GPL-3.0-or-later
// What the windows read from the server: another laptop's download since this one's (Clear
// Memory's question and its words), reads that end at once when the program stops, and the
// settings Setup refuses.
#include "fleet_fixture.h"

#include "fleet/fleet_settings.h"
#include "fleet/laptop_identity.h"
#include "fleet/other_laptops.h"
#include "fleet/server_history.h"
#include "fleet/server_reads.h"
#include "series/span_reader.h"
#include "support/silent_server.h"
#include "support/slowdown.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QUuid>

#include <mutex>
#include <optional>
#include <set>
#include <thread>

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
    LocalStore a(file("a.sqlite")), b(otherFile("b.sqlite"));
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

fleet::Fact download(const QString& unit, const QString& laptop, std::int64_t at, bool safe) {
    return fleet::eventFact(
        fleet::newFactId(), unit, QStringLiteral("download"),
        QJsonObject{{QStringLiteral("complete"), safe}, {QStringLiteral("safe"), safe}}, at,
        laptop);
}

// Records stamped by the unit's clock: "26-12-08,10:<n>:00,12.<n>", chained as a segment.
std::vector<fleet::Fact> stamped(const QString& unit, const QString& laptop, int from, int to,
                                 std::int64_t at) {
    std::vector<fleet::Fact> out;
    QByteArray chain = "start";
    for (int i = 0; i < to; ++i) {
        const QJsonObject payload{
            {QStringLiteral("line"),
             QStringLiteral("26-12-08,10:%1:00,12.%2").arg(i, 2, 10, QLatin1Char('0')).arg(i)}};
        chain = QCryptographicHash::hash(chain + fleet::payloadText(payload),
                                         QCryptographicHash::Sha256);
        if (i >= from)
            out.push_back(fleet::recordFact(unit, {QStringLiteral("SITE1"), 0, i},
                                            QString::fromLatin1(chain.toHex()), payload, at,
                                            laptop));
    }
    return out;
}

QString lineOf(int i) {
    return QStringLiteral("26-12-08,10:%1:00,12.%2").arg(i, 2, 10, QLatin1Char('0')).arg(i);
}

// Clear Memory's look: by the records, never by the clocks; only safe downloads count; a
// laptop is told apart by its UUID, not its name.
TEST_F(FleetReads, ClearMemorysLookNamesAnotherLaptopsSafeDownloadWithUnseenRecords) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    addLaptop("laptop_c");
    for (const char* sub : {"a", "b", "c"})
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(file(sub))));
    const std::string folderA = file("a") + "/";
    LocalStore b(file("b/units.sqlite")), c(file("c/units.sqlite"));
    ASSERT_TRUE(b.ok() && c.ok());
    const QString unit = QStringLiteral("XRQ00042");
    const fleet::LaptopSelf selfA{fleet::laptopIdentity(folderA).id, QStringLiteral("laptop-a")};
    const std::string connA = fleet::serviceConninfo("laptop_a");

    // What laptop A's series holds, as the series' lookup would say.
    std::set<QString> heldByA;
    fleet::RecordLookup lookup = [&](const std::string& folder, const QString& u,
                                     const std::vector<fleet::OtherRecord>& records)
        -> platform::Result<std::vector<fleet::RecordLook>> {
        EXPECT_EQ(folder, folderA);
        EXPECT_EQ(u, unit);
        std::vector<fleet::RecordLook> out;
        for (const fleet::OtherRecord& r : records)
            out.push_back({heldByA.count(r.line) > 0, r.line.section(QLatin1Char(','), 0, 1),
                           double(r.line.mid(12, 2).toInt())});
        return out;
    };
    auto look = [&] {
        const fleet::OtherRecords answer = fleet::otherLaptopsRecords(connA, unit, selfA, 10s);
        EXPECT_TRUE(answer.ok) << answer.message.toStdString();
        return fleet::judgeOtherRecords(answer, folderA, unit, lookup);
    };
    const std::int64_t t = 1765188000000;

    // An incomplete, unsafe download by B: no records of it are shared, and it is not named,
    // however late its clock says it was.
    ASSERT_TRUE(b.record(download(unit, "laptop-b", t + 86400000, false)));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    fleet::OtherDownload d = look();
    ASSERT_TRUE(d.ok) << d.message.toStdString();
    EXPECT_FALSE(d.found);

    // C pushed records but has no safe download of the unit on the server: not named either.
    ASSERT_TRUE(c.record(download(unit, "laptop-c", t, false)));
    ASSERT_TRUE(c.record(stamped(unit, "laptop-c", 0, 3, t)));
    ASSERT_TRUE(pushAll("laptop_c", {c.path()}));
    EXPECT_FALSE(look().found);

    // B's safe download with records 0..9, its clock a day behind A's: named, with the last
    // record's stamp, while A holds fewer of them.
    ASSERT_TRUE(b.record(download(unit, "laptop-b", t - 86400000, true)));
    ASSERT_TRUE(b.record(stamped(unit, "laptop-b", 0, 10, t - 86400000)));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    for (int i = 0; i < 5; ++i)
        heldByA.insert(lineOf(i));
    d = look();
    ASSERT_TRUE(d.ok) << d.message.toStdString();
    ASSERT_TRUE(d.found);
    EXPECT_EQ(d.found->laptops, QStringList{QStringLiteral("laptop-b")});
    EXPECT_EQ(d.found->stamp, QStringLiteral("26-12-08,10:09:00"));

    // A holds every one of them: nothing to tell, whatever the clocks say.
    for (int i = 5; i < 10; ++i)
        heldByA.insert(lineOf(i));
    d = look();
    ASSERT_TRUE(d.ok);
    EXPECT_FALSE(d.found);

    // B (renamed "laptop-a", as a laptop from the same image may be) adds 10..14: still another
    // laptop, by its UUID.
    ASSERT_TRUE(b.record(download(unit, "laptop-a", t, true)));
    ASSERT_TRUE(b.record(stamped(unit, "laptop-a", 10, 15, t)));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    d = look();
    ASSERT_TRUE(d.found);
    EXPECT_EQ(d.found->laptops, QStringList{QStringLiteral("laptop-a")});
    EXPECT_EQ(d.found->stamp, QStringLiteral("26-12-08,10:14:00"));
    EXPECT_EQ(count("xrq.events WHERE laptop_id IS NULL"), 0) << "every fact names its laptop";
    EXPECT_EQ(server.value("SELECT count(DISTINCT laptop_id) FROM xrq.series_records"), "2");

    // Asked by B: C's records come from no safe download, and B's own are not another's.
    const auto fromB = fleet::otherLaptopsRecords(
        connA, unit, {fleet::laptopIdentity(file("b") + "/").id, QStringLiteral("x")}, 10s);
    ASSERT_TRUE(fromB.ok);
    EXPECT_TRUE(fromB.records.empty());

    // Laptops from before identities are told by their name: A's own older rows are seen,
    // another's are not.
    for (int i = 0; i < 15; ++i)
        heldByA.insert(lineOf(i));
    ASSERT_TRUE(server.sql(
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) VALUES "
        "(gen_random_uuid(), 'XRQ00042', 'download', now(), 'laptop-a', '{\"safe\": true}'), "
        "(gen_random_uuid(), 'XRQ00042', 'download', now(), 'laptop-d', '{\"safe\": true}'); "
        "INSERT INTO xrq.series_records (unit, data_set, segment, position, chain_hash, "
        "occurred_at, laptop, payload) VALUES ('XRQ00042', 'SITE1', 5, 0, 'aa', now(), "
        "'laptop-a', '{\"line\": \"26-12-08,11:00:00,1\"}')"));
    EXPECT_FALSE(look().found) << "A's own older row";
    ASSERT_TRUE(server.sql("INSERT INTO xrq.series_records (unit, data_set, segment, position, "
                           "chain_hash, occurred_at, laptop, payload) VALUES ('XRQ00042', "
                           "'SITE1', 6, 0, 'bb', now(), 'laptop-d', "
                           "'{\"line\": \"26-12-08,11:00:00,2\"}')"));
    d = look();
    ASSERT_TRUE(d.found);
    EXPECT_EQ(d.found->laptops, QStringList{QStringLiteral("laptop-d")});

    // A program without the series' lookup cannot judge: not ok, and why.
    lookup = {};
    d = look();
    EXPECT_FALSE(d.ok);
    EXPECT_FALSE(d.message.isEmpty());
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
    using Unseen = fleet::OtherDownload::Unseen;
    const fleet::OtherDownload byB{
        true, {}, Unseen{{QStringLiteral("laptop-b")}, QStringLiteral("26-12-08,10:42:00")}};
    const fleet::OtherDownload byThree{
        true,
        {},
        Unseen{{QStringLiteral("laptop-b"), QStringLiteral("laptop-c"), QStringLiteral("laptop-d")},
               {}}};
    const fleet::OtherDownload none{true, {}, std::nullopt};
    const fleet::OtherDownload refused{false, QStringLiteral("server not reachable: x"), {}};
    struct Case {
        std::optional<fleet::OtherDownload> answer;
        std::optional<std::int64_t> contact;
        const char* note;
    };
    const Case cases[] = {
        {byB, morning,
         "XRQ00042 was downloaded safely by laptop-b with records this laptop has not seen, the "
         "last stamped 26-12-08,10:42:00 by the unit."},
        {byThree, morning,
         "XRQ00042 was downloaded safely by laptop-b, laptop-c and laptop-d with records this "
         "laptop has not seen."},
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

// A laptop is told apart by a UUID made when it first shares, kept with the machine's id; a
// folder started on another machine (a cloned disk image) makes a new one.
TEST(FleetLaptopIdentity, AUuidKeptWithTheMachinesIdAndMadeAnewOnAClone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string root = dir.path().toStdString() + "/";
    auto write = [](const std::string& path, const std::string& text) {
        QFile f(QString::fromStdString(path));
        return f.open(QIODevice::WriteOnly) &&
               f.write(text.data(), qint64(text.size())) == qint64(text.size());
    };
    ASSERT_TRUE(write(root + "machine-1", "0123456789abcdef0123456789abcdef\n"));
    ASSERT_TRUE(write(root + "machine-2", "fedcba9876543210fedcba9876543210\n"));
    const std::string kept = fleet::machineIdFile();
    struct Restore {
        std::string path;
        ~Restore() { fleet::setMachineIdFile(path); }
    } restore{kept};
    EXPECT_EQ(kept, "/etc/machine-id");

    fleet::setMachineIdFile(root + "machine-1");
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/a"));
    const std::string a = root + "a/";
    const fleet::LaptopIdentity first = fleet::laptopIdentity(a);
    EXPECT_TRUE(first.kept) << first.why;
    EXPECT_EQ(QUuid::fromString(first.id).toString(QUuid::WithoutBraces), first.id);
    EXPECT_EQ(fleet::laptopIdentity(a).id, first.id) << "kept";

    // The folder copied on the same machine (a restored backup): the same laptop.
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/clone"));
    const std::string clone = root + "clone/";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(a + fleet::kLaptopIdFileName),
                            QString::fromStdString(clone + fleet::kLaptopIdFileName)));
    EXPECT_EQ(fleet::laptopIdentity(clone).id, first.id);

    // The image started on another machine: a new UUID, kept from then on.
    fleet::setMachineIdFile(root + "machine-2");
    const fleet::LaptopIdentity cloned = fleet::laptopIdentity(clone);
    EXPECT_TRUE(cloned.kept) << cloned.why;
    EXPECT_NE(cloned.id, first.id);
    EXPECT_EQ(fleet::laptopIdentity(clone).id, cloned.id);

    // No machine id at all (a container): one UUID all the same, kept.
    fleet::setMachineIdFile(root + "none");
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/bare"));
    const std::string bare = root + "bare/";
    const QString bareId = fleet::laptopIdentity(bare).id;
    EXPECT_EQ(fleet::laptopIdentity(bare).id, bareId);

    // A damaged file is replaced; two programs sharing at once for the first time agree.
    fleet::setMachineIdFile(root + "machine-1");
    ASSERT_TRUE(write(bare + fleet::kLaptopIdFileName, "not an identity"));
    const fleet::LaptopIdentity mended = fleet::laptopIdentity(bare);
    EXPECT_TRUE(mended.kept) << mended.why;
    EXPECT_EQ(fleet::laptopIdentity(bare).id, mended.id);
    for (int round = 0; round < 20; ++round) {
        const std::string fresh = root + "race-" + std::to_string(round) + "/";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(fresh)));
        QString one, two;
        std::thread other([&] { two = fleet::laptopIdentity(fresh).id; });
        one = fleet::laptopIdentity(fresh).id;
        other.join();
        EXPECT_EQ(one, two) << round;
    }
    // Nothing left behind under a temporary name.
    EXPECT_EQ(QDir(QString::fromStdString(root + "race-0")).entryList(QDir::Files),
              QStringList{QString::fromLatin1(fleet::kLaptopIdFileName)});
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
