// SPDX-License-Identifier: GPL-3.0-or-later
// What one laptop role's facts can cost the readers of a series: a payload that is no record's
// is left out and told, never derived into a wrong time, and deriving stops at its bounds
// with a reason instead of working without end.
#include "series/server_series.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace series;

namespace {

// A segment's first record as a laptop pushes it, `info` changed by `edit` (a JSON object's
// text merged over what a laptop writes).
fleet::ServerSeriesRecord firstRecord(const std::string& line, const char* laptop,
                                      const QByteArray& infoOverride = {}) {
    fleet::ServerSeriesRecord r;
    r.chainHash = recordIdentity({}, line);
    r.laptop = QString::fromLatin1(laptop);
    r.pushedBy = QStringLiteral("role ") + r.laptop;
    r.occurredAt = 1796079600000;
    SharedRecord s;
    s.line = line;
    s.download = "/kept";
    s.offsetSeconds = 3600;
    QByteArray payload;
    appendRecordPayload(payload, s, true);
    r.payload = QJsonDocument::fromJson(payload).object();
    if (!infoOverride.isEmpty()) {
        QJsonObject info = r.payload.value(QStringLiteral("info")).toObject();
        const QJsonObject over = QJsonDocument::fromJson(infoOverride).object();
        for (auto it = over.begin(); it != over.end(); ++it)
            info.insert(it.key(), it.value());
        r.payload.insert(QStringLiteral("info"), info);
    }
    return r;
}

// Each payload a role could insert where a laptop writes a record's info: the record is left
// out and its reason kept, or read as a laptop's.
TEST(ServerSeriesBounds, HostileRecordPayloadsAreLeftOutWithTheirReason) {
    struct Case {
        const char* info; // merged over a laptop's info
        bool read;
        const char* why; // part of the reason when not read
    };
    const Case cases[] = {
        {"", true, ""},
        {R"({"offset": 50400})", true, ""},
        {R"({"offset": -50400})", true, ""},
        {R"({"offset": 50401})", false, "offset"},
        {R"({"offset": 1e300})", false, "offset"}, // toInt() read it as 0: a wrong time
        {R"({"offset": 3600.5})", false, "offset"},
        {R"({"order": 3})", false, "order"},
        {R"({"order": -1})", false, "order"},
        {R"({"flags": 256})", false, "flags"},
        {R"({"flags": -1})", false, "flags"},
        {R"({"interval": -5})", false, "interval"},
        {R"({"interval": 1e308})", false, "interval"},
        {R"({"offset": "x", "order": "y"})", true, ""}, // not numbers: no offset, order unknown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        const auto f = firstRecord("2026/12/01 00:00:00, 1", "lapb", QByteArray(c.info));
        const auto read = recordFromPayload(f.payload, nullptr);
        EXPECT_EQ(read.ok(), c.read);
        if (!read.ok()) {
            EXPECT_NE(read.text().find(c.why), std::string::npos) << read.text();
        }
        const DerivedSeries d = deriveSeries({f});
        EXPECT_EQ(d.records.size(), c.read ? 1u : 0u);
        ASSERT_EQ(d.unread.size(), c.read ? 0u : 1u);
        if (!c.read) {
            EXPECT_NE(d.unread[0].second.find(c.why), std::string::npos) << d.unread[0].second;
        }
    }
    // No line, a line of another type, an identity that is not the line's.
    fleet::ServerSeriesRecord noLine = firstRecord("a", "lapb");
    noLine.payload.remove(QStringLiteral("line"));
    fleet::ServerSeriesRecord numberLine = firstRecord("b", "lapb");
    numberLine.payload.insert(QStringLiteral("line"), 12);
    fleet::ServerSeriesRecord forged = firstRecord("c", "lapb");
    forged.chainHash = recordIdentity({}, "d");
    const DerivedSeries d = deriveSeries({noLine, numberLine, forged, firstRecord("e", "lapa")});
    EXPECT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.unread.size(), 3u);
}

// Deriving stops at the cap on chains and at its deadline, saying which, with no records.
TEST(ServerSeriesBounds, DerivingStopsAtItsBoundsWithAReason) {
    std::vector<fleet::ServerSeriesRecord> facts;
    for (int i = 0; i < 50; ++i)
        facts.push_back(firstRecord("2026/12/01 00:00:00, " + std::to_string(i), "lapb"));
    const DerivedSeries within = deriveSeries(facts, DeriveBounds{50, std::chrono::seconds(60)});
    EXPECT_TRUE(within.failed.empty()) << within.failed;
    EXPECT_EQ(within.records.size(), 50u);

    const DerivedSeries tooMany = deriveSeries(facts, DeriveBounds{49, std::chrono::seconds(60)});
    EXPECT_NE(tooMany.failed.find("too many chains"), std::string::npos) << tooMany.failed;
    EXPECT_TRUE(tooMany.records.empty());

    const DerivedSeries tooLong =
        deriveSeries(facts, DeriveBounds{1000, std::chrono::milliseconds(-1)});
    EXPECT_NE(tooLong.failed.find("took too long"), std::string::npos) << tooLong.failed;
    EXPECT_TRUE(tooLong.records.empty());
}

} // namespace
