// SPDX-License-Identifier: GPL-3.0-or-later
// Which history the Units window shows, whichever answer comes first, and what its rows say.
#include "register/register_texts.h"
#include "register/unit_history_choice.h"

#include <QJsonArray>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unitreg::UnitEvent> localHistory() {
    unitreg::UnitEvent download;
    download.kind = unitreg::EventKind::Download;
    download.at = 2000;
    download.download.started = 1900;
    download.download.files = {"/data/SITE1.txt"};
    unitreg::UnitEvent visit;
    visit.kind = unitreg::EventKind::Visit;
    visit.at = 1000;
    return {download, visit};
}

fleet::HistoryEntry entry(const char* kind, std::int64_t at, const char* laptop, bool other) {
    fleet::HistoryEntry e;
    e.kind = QString::fromLatin1(kind);
    e.occurredAt = at;
    e.laptop = QString::fromLatin1(laptop);
    e.otherLaptop = other;
    return e;
}

fleet::ServerHistory serverHistory() {
    fleet::ServerHistory h;
    h.ok = true;
    h.entries = {entry("download", 3000, "laptop-b", true), entry("download", 1900, "a", false),
                 entry("visit", 1000, "a", false), entry("link", 900, "laptop-b", true)};
    return h;
}

fleet::ServerHistory failed(const char* why) {
    fleet::ServerHistory h;
    h.message = QString::fromLatin1(why);
    return h;
}

TEST(UnitHistoryChoice, ShowsTheServersWhenItAnswersOtherwiseThisLaptopsAndSaysWhich) {
    using Source = UnitHistoryChoice::Source;
    enum class Step { Local, Server, Unreachable, Refused };
    struct Case {
        const char* name;
        bool sharing;
        std::vector<Step> steps;
        Source shown;
        const char* line;
    };
    const Case cases[] = {
        {"not shared", false, {Step::Local}, Source::Local, "this laptop's history"},
        {"not shared, nothing yet", false, {}, Source::Nothing, "this laptop's history"},
        {"asking, this laptop's meanwhile",
         true,
         {Step::Local},
         Source::Local,
         "this laptop's history; asking the server..."},
        {"the server answered",
         true,
         {Step::Local, Step::Server},
         Source::Server,
         "organisation's history (server)"},
        {"the server answered first",
         true,
         {Step::Server, Step::Local},
         Source::Server,
         "organisation's history (server)"},
        {"the server before any local answer",
         true,
         {Step::Server},
         Source::Server,
         "organisation's history (server)"},
        {"not reachable",
         true,
         {Step::Local, Step::Unreachable},
         Source::Local,
         "this laptop's history: server not reachable"},
        {"refused: the reason is the operator's",
         true,
         {Step::Unreachable, Step::Refused},
         Source::Nothing,
         "this laptop's history: the server's schema is version 3, newer than this program's"},
        {"a server answer while not sharing is no answer",
         false,
         {Step::Local, Step::Server},
         Source::Local,
         "this laptop's history"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnitHistoryChoice choice;
        choice.begin(c.sharing);
        for (Step s : c.steps) {
            switch (s) {
            case Step::Local:
                choice.localArrived(localHistory());
                break;
            case Step::Server:
                choice.serverAnswered(serverHistory());
                break;
            case Step::Unreachable:
                choice.serverAnswered(failed("server not reachable: connection refused"));
                break;
            case Step::Refused:
                choice.serverAnswered(
                    failed("the server's schema is version 3, newer than this program's"));
                break;
            }
        }
        EXPECT_EQ(choice.shown(), c.shown);
        EXPECT_EQ(choice.sourceLine().toStdString(), c.line);
        const std::size_t rows = choice.rows().size();
        EXPECT_EQ(rows, c.shown == Source::Server ? 4u : c.shown == Source::Local ? 2u : 0u);
    }
}

TEST(UnitHistoryChoice, ServerRowsMarkOtherLaptopsAndFindThisLaptopsOwnEvents) {
    UnitHistoryChoice choice;
    choice.begin(true);
    choice.localArrived(localHistory());
    choice.serverAnswered(serverHistory());
    const std::vector<HistoryRow> rows = choice.rows();
    ASSERT_EQ(rows.size(), 4u);
    struct Expected {
        const char* event;
        bool other;
        int local; // the row's event in this laptop's history (its files open from there)
    };
    const Expected expected[] = {{"Download (laptop-b)", true, -1},
                                 {"Download", false, 0},
                                 {"Connect", false, 1},
                                 {"Identified (laptop-b)", true, -1}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].event.toStdString(), expected[i].event);
        EXPECT_EQ(rows[i].otherLaptop, expected[i].other);
        EXPECT_EQ(rows[i].localIndex, expected[i].local);
    }
    // More on the server than asked for: the line says how many are shown.
    fleet::ServerHistory newest = serverHistory();
    newest.more = true;
    choice.serverAnswered(newest);
    EXPECT_EQ(choice.sourceLine().toStdString(),
              "organisation's history (server), the newest 4 events");
    // A new choice forgets the last unit's answers.
    choice.begin(true);
    EXPECT_EQ(choice.shown(), UnitHistoryChoice::Source::Nothing);
}

TEST(UnitHistoryChoice, AnotherLaptopsPayloadIsOneBoundedLine) {
    const QJsonObject payload{{QStringLiteral("bytes"), 5120},
                              {QStringLiteral("complete"), true},
                              {QStringLiteral("files"), QJsonArray{1, 2, 3}},
                              {QStringLiteral("why"), QStringLiteral("line\nbreak")},
                              {QStringLiteral("nested"), QJsonObject{{QStringLiteral("a"), 1}}}};
    EXPECT_EQ(payloadSummary(payload).toStdString(),
              "bytes: 5120, complete: yes, files: 3 items, nested: ..., why: line break");
    const QString huge = payloadSummary({{QStringLiteral("x"), QString(100000, QLatin1Char('y'))}});
    EXPECT_LE(huge.size(), 410);
    EXPECT_TRUE(huge.endsWith(QStringLiteral("...")));
}

} // namespace
