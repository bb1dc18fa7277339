// SPDX-License-Identifier: GPL-3.0-or-later
// What sharing reads from the series comes in only through the object a program's start hands
// in: the pusher and Sharing refuse to start without a part of it, and a series' records reach
// the server through the span reader handed in, and through nothing else.
#include "fleet_fixture.h"

#include "fleet/sharing.h"
#include "fleet/sharing_sources.h"
#include "series/download_text.h"
#include "series/series_store.h"
#include "series/span_reader.h"
#include "support/result_assert.h"

#include <QDir>

#include <atomic>
#include <functional>
#include <stdexcept>

namespace fleettest {
namespace {

TEST(SharingSources, APusherOrSharingMadeWithoutAPartOfItsWiringRefusesToStart) {
    struct Case {
        const char* name;
        std::function<void(fleet::SharingSources&)> leaveOut;
        const char* told; // in the refusal's words; empty: the pusher is made
        bool sharingRefuses;
    };
    const std::vector<Case> cases = {
        {"nothing left out", [](fleet::SharingSources&) {}, "", false},
        {"the span reader", [](fleet::SharingSources& s) { s.spanReader = {}; }, "span reader",
         true},
        {"every requeuer", [](fleet::SharingSources& s) { s.requeuers.clear(); }, "requeuer", true},
        {"a requeuer that is empty",
         [](fleet::SharingSources& s) { s.requeuers[QStringLiteral("segments")] = {}; }, "requeuer",
         true},
        // The pusher reads no other laptop's records; Sharing's Clear Memory look does.
        {"the record lookup", [](fleet::SharingSources& s) { s.recordLookup = {}; }, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fleet::SharingSources sources = series::sharingSources();
        c.leaveOut(sources);
        fleet::PusherConfig config;
        config.sources = sources;
        if (*c.told == '\0') {
            EXPECT_NO_THROW(fleet::Pusher{config});
        } else {
            try {
                fleet::Pusher pusher(config);
                ADD_FAILURE() << "a pusher was made without " << c.name;
            } catch (const std::logic_error& e) {
                EXPECT_NE(std::string(e.what()).find(c.told), std::string::npos) << e.what();
            }
        }
        if (c.sharingRefuses) {
            fleet::Sharing sharing;
            EXPECT_THROW(sharing.start("/nonexistent/", {}, sources, {}), std::logic_error);
            EXPECT_FALSE(sharing.started());
        }
    }
}

class FleetSharingSources : public FleetServerTest {
protected:
    // A store in a folder of its own holding three confirmed records, waiting in its outbox
    // as one span row.
    std::string storeWithRecords() {
        const std::string folder = dir.path().toStdString() + "/a/";
        EXPECT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
        series::SeriesStore store;
        const std::string path = folder + series::kFileName;
        EXPECT_TRUE(done(store.open(path)));
        const series::ApplyResult r = store.apply(
            {"XRQ5", "kept-1", 1765188000000, true},
            series::parseDownloadText("F\r\nName: SITE1\r\n26-06-01 10:00:00, 1\r\n"
                                      "26-06-01 10:01:00, 2\r\n26-06-01 10:02:00, 3\r\n>"),
            {});
        EXPECT_TRUE(r.ok) << r.error;
        return path;
    }
};

TEST_F(FleetSharingSources, AStoresRecordsReachTheServerOnlyThroughTheSpanReaderHandedIn) {
    addLaptop("laptop_a");
    const std::string path = storeWithRecords();

    // A reader that reads nothing: the span stays in the outbox, told; nothing reaches the
    // server by another road.
    fleet::PusherConfig refusing = config("laptop_a", {path});
    refusing.sources.spanReader =
        [](QSqlDatabase&, const QByteArray&, std::int64_t,
           std::size_t) -> platform::Result<std::vector<fleet::Outbox::SpanRecord>> {
        return platform::makeError(platform::ErrorKind::Corrupt, "read by no one");
    };
    {
        fleet::Pusher p(refusing);
        p.start();
        EXPECT_FALSE(p.pushAndWait(30s));
        EXPECT_TRUE(p.status().detail.contains(QStringLiteral("read by no one")))
            << p.status().detail.toStdString();
    }
    EXPECT_EQ(count("xrq.series_facts"), 0);

    // The series' own reader, handed in: every record goes, each read through it.
    fleet::PusherConfig wired = config("laptop_a", {path});
    auto reads = std::make_shared<std::atomic<int>>(0);
    wired.sources.spanReader =
        [reads, inner = wired.sources.spanReader](QSqlDatabase& db, const QByteArray& reference,
                                                  std::int64_t first, std::size_t n) {
            ++*reads;
            return inner(db, reference, first, n);
        };
    fleet::Pusher p(wired);
    p.start();
    ASSERT_TRUE(p.pushAndWait(60s)) << p.status().detail.toStdString();
    EXPECT_GE(reads->load(), 1);
    EXPECT_EQ(count("xrq.series_facts"), 3);
}

} // namespace
} // namespace fleettest
