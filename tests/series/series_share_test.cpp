// SPDX-License-Identifier: GPL-3.0-or-later
// The series' records in the outbox: confirmed records only, each once, identified by what it
// is (unit, data set, its bytes with the bytes of the record before it; segment and position
// beside them), written in the transaction that confirms them; an older store's records are
// put there by its migration.
#include "fleet/fleet_settings.h"
#include "record_lines.h"
#include "series/held_records.h"
#include "series/series_share.h"
#include "series/series_store.h"
#include "series/shared_records.h"
#include "series/span_reader.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <xxhash.h>

#include <functional>

using namespace series;
using testsupport::sharedRecords;

namespace {

using testsupport::lines;
using testsupport::operator+;

std::string
downloadText(const std::vector<std::pair<std::string, std::vector<std::string>>>& sets) {
    std::string text = "F\r\n";
    for (const auto& [name, records] : sets) {
        text += "Name: " + name + "\r\n";
        for (const std::string& r : records)
            text += r + "\r\n";
    }
    return text + ">";
}

class SeriesShare : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const std::string folder = dir.path().toStdString() + "/";
        ASSERT_TRUE(fleet::writeFleetSettings(folder, {QString(), QStringLiteral("laptop-7")}));
        path = folder + kFileName;
        ASSERT_TRUE(done(store.open(path)));
    }

    void take(const std::vector<std::pair<std::string, std::vector<std::string>>>& sets,
              bool safe) {
        DownloadInput in;
        in.serial = "XRQ1";
        in.keptPath = "kept-" + std::to_string(++downloads);
        in.atMs = 1000 * downloads;
        in.safe = safe;
        const ApplyResult r = store.apply(in, parseDownloadText(downloadText(sets)), {});
        ASSERT_TRUE(r.ok) << r.error;
    }

    // The identities of `records` from a segment's start: XXH3's 128 bits (canonical,
    // big-endian) of the record before, a line end and the record.
    static std::vector<std::string> chain(const std::vector<std::string>& records) {
        std::vector<std::string> out;
        std::string before;
        for (const std::string& r : records) {
            const std::string input = before + "\n" + r;
            XXH128_canonical_t c;
            XXH128_canonicalFromHash(&c, XXH3_128bits(input.data(), input.size()));
            out.push_back(
                QByteArray(reinterpret_cast<const char*>(c.digest), 16).toHex().toStdString());
            before = r;
        }
        return out;
    }

    QTemporaryDir dir;
    std::string path;
    SeriesStore store;
    int downloads = 0;
};

TEST_F(SeriesShare, ConfirmedRecordsGoOnceUnderTheirChainedIdentities) {
    struct Step {
        std::vector<std::string> site1;
        bool safe;
        std::size_t sharedAfter; // SITE1's records in the outbox
    };
    const std::vector<Step> steps = {
        {lines(0, 10), true, 10},  // safe: shared at once
        {lines(0, 15), false, 10}, // provisional: not yet
        {lines(0, 15), false, 10}, // still provisional
        {lines(0, 20), true, 20},  // confirms them and adds its own
        {lines(0, 20), true, 20},  // nothing new
    };
    for (const Step& s : steps) {
        take({{"SITE1", s.site1}, {"SITE1", lines(0, 2, "26-06-01 00:00:00, second ")}}, s.safe);
        std::size_t site1 = 0;
        for (const auto& r : sharedRecords(path))
            site1 += r.dataSet == "SITE1";
        EXPECT_EQ(site1, s.sharedAfter);
    }
    const auto shared = sharedRecords(path);
    const auto expected = lines(0, 20);
    const auto hashes = chain(expected);
    std::size_t i = 0;
    for (const auto& r : shared) {
        if (r.dataSet != "SITE1")
            continue;
        SCOPED_TRACE(i);
        EXPECT_EQ(r.unit, "XRQ1");
        EXPECT_EQ(r.segment, 0);
        EXPECT_EQ(r.position, std::int64_t(i));
        EXPECT_EQ(r.line, expected[i]);
        EXPECT_EQ(r.hash, hashes[i]);
        EXPECT_EQ(r.laptop, "laptop-7");
        ++i;
    }
    EXPECT_EQ(i, 20u);
    // The second set of that name in each download is a series of its own.
    std::size_t second = 0;
    for (const auto& r : shared)
        second += r.dataSet == std::string("SITE1\x1f") + "2";
    EXPECT_EQ(second, 2u);
}

TEST_F(SeriesShare, ReplacedProvisionalRecordsAreNeverShared) {
    take({{"SITE1", lines(0, 10)}}, true);
    take({{"SITE1", lines(0, 10) + lines(10, 15, "26-06-01 00:00:00, lost ")}}, false);
    take({{"SITE1", lines(0, 18)}}, true); // replaces the provisional five
    const auto shared = sharedRecords(path);
    ASSERT_EQ(shared.size(), 18u);
    const auto hashes = chain(lines(0, 18));
    for (std::size_t i = 0; i < shared.size(); ++i) {
        EXPECT_EQ(shared[i].line, lines(0, 18)[i]);
        EXPECT_EQ(shared[i].hash, hashes[i]);
    }
}

TEST_F(SeriesShare, AnOlderStoresConfirmedRecordsAreSharedByItsMigration) {
    take({{"SITE1", lines(0, 30)}}, true);
    take({{"SITE1", lines(0, 40)}}, false);
    const auto before = sharedRecords(path);
    ASSERT_EQ(before.size(), 30u);
    store.close();
    // As a store of the version before sharing.
    ASSERT_TRUE(testsupport::runSql(
        path, {"DROP TABLE fleet_outbox", "DROP TABLE fleet_conflicts", "DROP TABLE versions",
               "DROP TABLE clock_sets", "DROP TABLE pruned", "DROP TABLE meta",
               "ALTER TABLE segments DROP COLUMN shared",
               "ALTER TABLE segments DROP COLUMN shared_chain", "PRAGMA user_version = 1"}));
    ASSERT_TRUE(done(store.open(path)));
    EXPECT_EQ(sharedRecords(path), before) << "the same records under the same identities";
    // The provisional ten go when a safe download confirms them, after the thirty.
    take({{"SITE1", lines(0, 40)}}, true);
    const auto after = sharedRecords(path);
    ASSERT_EQ(after.size(), 40u);
    EXPECT_EQ(after.back().hash, chain(lines(0, 40)).back());
}

TEST_F(SeriesShare, RecordsAnOlderVersionTookAsRefusedGoIntoTheOutboxOnceMore) {
    take({{"SITE1", lines(0, 30)}, {"SITE2", lines(0, 5, "26-06-01 00:00:00, second ")}}, true);
    const auto before = sharedRecords(path);
    ASSERT_EQ(before.size(), 35u);
    // Records 3 and 17 of SITE1 and 4 of SITE2 as the older pusher left them: noted as
    // refused, gone from the outbox; another unit's note names nothing this store holds.
    std::vector<testsupport::SharedRecord> refused;
    for (const auto& r : before)
        if ((r.dataSet == "SITE1" && (r.position == 3 || r.position == 17)) ||
            (r.dataSet == "SITE2" && r.position == 4))
            refused.push_back(r);
    ASSERT_EQ(refused.size(), 3u);
    // On a connection of its own to the store's file, as the pusher holds one.
    auto onFile = [&](const std::function<void(QSqlDatabase&)>& body) {
        testsupport::onSqliteFile(path, body);
    };
    onFile([&](QSqlDatabase& db) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO fleet_conflicts (noticed_at, kind, identity, unit, "
                                 "reason, local_payload) VALUES (1, 'record', ?, ?, 'refused by "
                                 "the server: ERROR: invalid parameter', '{}')"));
        for (const auto& r : refused) {
            q.bindValue(0, QString::fromStdString(r.hash));
            q.bindValue(1, QString::fromStdString(r.unit));
            ASSERT_TRUE(q.exec());
        }
        q.bindValue(0, QString::fromStdString(refused[0].hash));
        q.bindValue(1, QStringLiteral("XRQ2"));
        ASSERT_TRUE(q.exec());
        ASSERT_TRUE(q.exec(QStringLiteral("DELETE FROM fleet_outbox")));
    });
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        onFile([&](QSqlDatabase& db) {
            EXPECT_TRUE(
                done(fleet::Outbox::queueRefusalsAgain(db, series::sharingSources().requeuers)));
        });
        const auto again = sharedRecords(path);
        EXPECT_EQ(again, refused) << "the same records under the same identities, once";
        for (const auto& r : again)
            EXPECT_EQ(r.laptop, "laptop-7");
    }
}

// Clear Memory's look at another laptop's records asks the series which it holds: the same
// bytes in the unit's data set (its ordinal by the server's name), in any segment, confirmed
// or provisional; and each record's stamp as the unit wrote it.
TEST_F(SeriesShare, AnotherLaptopsRecordsAreLookedUpInTheSeries) {
    take({{"SITE1", lines(0, 10)}, {"SITE1", lines(0, 2, "26-06-02 00:00:00, second ")}}, true);
    take({{"SITE1", lines(0, 15)}}, false); // 10..14 provisional
    auto other = [](const char* dataSet, const std::string& line) {
        fleet::OtherRecord r;
        r.dataSet = QString::fromUtf8(dataSet);
        r.line = QString::fromStdString(line);
        r.laptop = QStringLiteral("laptop-b");
        return r;
    };
    const std::vector<fleet::OtherRecord> asked = {
        other("SITE1", lines(9, 10)[0]),  // confirmed
        other("SITE1", lines(14, 15)[0]), // provisional
        other("SITE1", lines(30, 31)[0]), // never seen
        other("SITE1\x1f"
              "2",
              lines(1, 2, "26-06-02 00:00:00, second ")[0]), // the second set
        other("SITE1\x1f"
              "2",
              lines(9, 10)[0]),          // not in that set
        other("SITE2", lines(9, 10)[0]), // no such data set
        other("SITE1", "no stamp here"),
    };
    const std::string folder = dir.path().toStdString() + "/";
    auto looked = lookUpRecords(folder, QStringLiteral("XRQ1"), asked);
    ASSERT_TRUE(done(looked));
    std::vector<fleet::RecordLook> looks = *looked;
    ASSERT_EQ(looks.size(), asked.size());
    const std::vector<bool> held = {true, true, false, true, false, false, false};
    for (std::size_t i = 0; i < asked.size(); ++i)
        EXPECT_EQ(looks[i].held, held[i]) << i;
    EXPECT_EQ(looks[2].stamp, QStringLiteral("26-06-01 00:00:00"));
    ASSERT_TRUE(looks[2].unitSeconds.has_value());
    EXPECT_LT(*looks[2].unitSeconds, *looks[3].unitSeconds) << "the second set's day is later";
    EXPECT_FALSE(looks[6].unitSeconds.has_value());

    // Another unit's records, and a folder without a series: none held.
    QTemporaryDir empty;
    for (const auto& [where, unit] :
         {std::pair{folder, QStringLiteral("XRQ2")},
          std::pair{empty.path().toStdString() + "/", QStringLiteral("XRQ1")}}) {
        looked = lookUpRecords(where, unit, asked);
        ASSERT_TRUE(done(looked)) << where;
        ASSERT_EQ(looked->size(), asked.size());
        for (const fleet::RecordLook& l : *looked)
            EXPECT_FALSE(l.held);
    }
}

} // namespace
