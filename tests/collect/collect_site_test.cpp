// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-collect --site and --note after a download, on a laptop away from its server: the
// sites it learnt before decide what is recorded; an unknown site records nothing.
#include "collect/collect_site.h"

#include "fleet/outbox.h"
#include "fleet/site_store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMarch = 1772323200000; // 2026-03-01T00:00:00Z

fleet::SiteFactRecord fact(fleet::SiteFactKind kind, fleet::SiteFactValue value,
                           std::int64_t arrival) {
    fleet::SiteFactRecord r;
    r.kind = kind;
    r.key = fleet::siteFactKey(value);
    r.value = std::move(value);
    r.arrival = arrival;
    r.pushedBy = QStringLiteral("xrq_owner");
    return r;
}

class CollectSite : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path().toStdString() + "/";
    }

    // What the laptop learnt at its last contact: two sites, QK1 at RIVER-03 since March.
    void learnt() {
        auto store = fleet::SiteStore::open(folder, true);
        ASSERT_TRUE(store.ok()) << store.text();
        fleet::Site river, lake;
        river.code = QStringLiteral("RIVER-03");
        river.name = QStringLiteral("Bridge gauge");
        lake.code = QStringLiteral("LAKE-1");
        lake.name = QStringLiteral("Lake outlet");
        const std::vector<fleet::SiteFactRecord> facts = {
            fact(fleet::SiteFactKind::Site, river, 1),
            fact(fleet::SiteFactKind::Site, lake, 2),
            fact(fleet::SiteFactKind::Deployment,
                 fleet::Deployment{QStringLiteral("QK1"), QStringLiteral("RIVER-03"), kMarch,
                                   std::nullopt, false},
                 3),
        };
        ASSERT_TRUE(store->keepLearnt(facts, {}, kMarch).ok());
    }

    std::int64_t waiting() { return fleet::Outbox::waitingIn(folder + fleet::kSitesFileName); }

    // A run on day `day` after the first of March.
    std::optional<collect::CollectReport::SiteVisit> run(std::vector<std::string> args,
                                                         const std::string& serial, int day) {
        const auto parsed = collect::parseCommandLine(args);
        EXPECT_TRUE(parsed.error.empty()) << parsed.error;
        return collect::recordAtSite(parsed.options, folder, serial, kMarch + day * 86400000LL, 1s);
    }

    QTemporaryDir dir;
    std::string folder;
};

TEST_F(CollectSite, TheLearntSitesDecideWhatIsRecordedAndAnUnknownOneRecordsNothing) {
    EXPECT_FALSE(run({}, "QK2", 40)) << "nothing asked of a site";
    // Nothing learnt yet: refused, saying why.
    auto v = run({"--site", "RIVER-03"}, "QK2", 40);
    ASSERT_TRUE(v);
    EXPECT_NE(v->refused.find("has not learnt"), std::string::npos) << v->refused;
    learnt();
    struct Case {
        std::vector<std::string> args;
        std::string serial;
        int day;
        std::string recorded;
        bool note;
        bool refused;
        std::int64_t waitingAfter;
    };
    const Case cases[] = {
        // An unknown site: neither the deployment nor the note.
        {{"--site", "RIVER-9", "--note", "n"}, "QK2", 40, "none", false, true, 0},
        // A unit that gave no serial number cannot be deployed.
        {{"--site", "RIVER-03"}, "", 40, "none", false, true, 0},
        // QK2 found where QK1 is: QK1's removal and QK2's deployment.
        {{"--site", "RIVER-03", "--note", "Swapped", "--note-category", "maintenance"},
         "QK2",
         40,
         "swap",
         true,
         false,
         3},
        // Found there again: nothing more of the deployment.
        {{"--site", "RIVER-03"}, "QK2", 41, "already", false, false, 3},
        // Taken to an empty site: a deployment alone, which ends the one at RIVER-03.
        {{"--site", "LAKE-1"}, "QK2", 42, "deployment", false, false, 4},
        // RIVER-03 is empty since: the next unit there is a deployment alone.
        {{"--site", "RIVER-03"}, "QK3", 43, "deployment", false, false, 5},
        // A note about the unit alone.
        {{"--note", "Cable chewed"}, "QK2", 43, "none", true, false, 6},
    };
    for (const Case& c : cases) {
        v = run(c.args, c.serial, c.day);
        ASSERT_TRUE(v) << c.args[1];
        EXPECT_EQ(v->recorded, c.recorded) << c.args[1];
        EXPECT_EQ(v->noteRecorded, c.note) << c.args[1];
        EXPECT_EQ(!v->refused.empty(), c.refused) << c.args[1] << ": " << v->refused;
        EXPECT_EQ(waiting(), c.waitingAfter) << c.args[1];
        EXPECT_EQ(v->learnt.rfind("learnt 2026-03-01T", 0), 0u) << v->learnt;
    }
    // The swap named the unit it removed, and the report carries it.
    v = run({"--site", "RIVER-03", "--note", "again"}, "QK4", 44);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->removed, std::vector<std::string>{"QK3"}) << "QK2 left RIVER-03 on day 42";
    collect::CollectReport report;
    report.siteVisit = v;
    const QJsonObject site =
        QJsonDocument::fromJson(QByteArray::fromStdString(collect::reportJson(report)))
            .object()
            .value(QStringLiteral("site"))
            .toObject();
    EXPECT_EQ(site.value(QStringLiteral("recorded")).toString(), QStringLiteral("swap"));
    EXPECT_TRUE(site.value(QStringLiteral("note")).toBool());
}

} // namespace
