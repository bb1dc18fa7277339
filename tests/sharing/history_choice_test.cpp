// SPDX-License-Identifier: GPL-3.0-or-later
// Which history the Units window shows, whichever answer comes first, and what its rows say.
#include "register/register_outbox.h"
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

// This laptop's events still in its outbox stay in the organisation's history, among the
// server's by time; bounded to the server's newest, not below the oldest of them.
TEST(UnitHistoryChoice, ThisLaptopsUnpushedEventsStayWhenTheServerAnswers) {
    std::vector<unitreg::UnitEvent> local = localHistory();
    unitreg::UnitEvent battery; // recorded since the last push
    battery.kind = unitreg::EventKind::Battery;
    battery.at = 3500;
    local.insert(local.begin(), battery);
    unitreg::UnitEvent clear; // older than the bounded answer's oldest
    clear.kind = unitreg::EventKind::Clear;
    clear.at = 500;
    local.push_back(clear);
    for (const bool bounded : {false, true}) {
        SCOPED_TRACE(bounded);
        UnitHistoryChoice c;
        c.begin(true);
        c.localArrived(local);
        fleet::ServerHistory h = serverHistory();
        h.more = bounded;
        c.serverAnswered(h);
        std::vector<std::pair<std::int64_t, int>> rows;
        for (const HistoryRow& r : c.rows())
            rows.emplace_back(r.at, r.localIndex);
        std::vector<std::pair<std::int64_t, int>> expected = {
            {3500, 0}, {3000, -1}, {1900, 1}, {1000, 2}, {900, -1}};
        if (!bounded)
            expected.emplace_back(500, 3);
        EXPECT_EQ(rows, expected);
    }
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
    // Facts the read left out are said beside the source, with who pushed them.
    newest.unread.add(QStringLiteral("role lapb"), QStringLiteral("visit: a time at infinity"));
    newest.unread.add(QStringLiteral("role lapb"), QStringLiteral("visit: a time at infinity"));
    choice.serverAnswered(newest);
    EXPECT_EQ(choice.sourceLine().toStdString(),
              "organisation's history (server), the newest 4 events; 2 facts not read: pushed "
              "by role lapb (2); visit: a time at infinity");
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

// The server's row of an event says what this laptop's own row of it says: the fact the
// register wrote, read back, through the same text.
TEST(UnitHistoryChoice, ServerRowsDetailEachEventAsThisLaptopsOwnRowsDo) {
    using unitreg::EventKind;
    const QString laptop = QStringLiteral("laptop-b");
    const std::string id = "6f1c2a4e-8d3b-4c5a-9e7f-0a1b2c3d4e5f";
    unitreg::Download good;
    good.serial = "XRQ00034";
    good.started = 1765188000000;
    good.ended = 1765188060000;
    good.bytes = 5120;
    good.sets = 2;
    good.complete = true;
    good.verified = true;
    good.setLines = {{"SITE1", 12}, {"SITE2", 1}};
    good.lineErrors = "none";
    good.files = {"/data/SITE1.txt", "/data/SITE2.txt"};
    good.port = 3;
    unitreg::Download cut = good;
    cut.complete = false;
    cut.why = "the unit stopped answering";
    cut.verified = false;
    cut.sets = 1;
    cut.bytes = 999;
    cut.reasons = {"The capture ended before the unit's prompt.", "SITE2 was not read back."};
    cut.lineErrors = "2 framing errors";

    auto eventOf = [](EventKind kind, auto fill) {
        unitreg::UnitEvent e;
        e.kind = kind;
        fill(e);
        return e;
    };
    const unitreg::JudgedAgain judged{
        id,         "0a0b0c0d-0000-4000-8000-000000000002",
        "XRQ00034", 2000,
        1000,       {"the last line before the prompt was cut: \"5\""}};
    const std::string judgedText =
        "judged again: not verified: the last line before the prompt was cut: \"5\" (the "
        "download of " +
        unitreg::localTimeText(1000, true).toStdString() + ", called verified when it was made)";
    struct Case {
        const char* name;
        fleet::Fact fact;
        std::optional<unitreg::UnitEvent> local; // the same event as this laptop shows it
        const char* details;
    };
    const Case cases[] = {
        {"visit", unitreg::visitFact({"XRQ00034", 1000, 3, "/dev/ttyUSB0"}, id, laptop),
         eventOf(EventKind::Visit,
                 [](auto& e) {
                     e.port = 3;
                     e.device = "/dev/ttyUSB0";
                 }),
         "COM3 (/dev/ttyUSB0)"},
        {"visit without a port", unitreg::visitFact({"XRQ00034", 1000, -1, ""}, id, laptop),
         eventOf(EventKind::Visit, [](auto&) {}), "no port"},
        {"battery",
         unitreg::batteryFact({"XRQ00034", 1000, 12.46, 21.04, "A:12.46:21.04"}, id, laptop),
         eventOf(EventKind::Battery,
                 [](auto& e) {
                     e.volts = 12.46;
                     e.celsius = 21.04;
                 }),
         "12.5 V, 21.0 C"},
        {"clock set",
         unitreg::clockSetFact({"XRQ00034", 1000, "26/12/08 10:42:00", 3600, "Europe/Berlin"}, id,
                               laptop),
         eventOf(EventKind::ClockSet, [](auto& e) { e.sent = "26/12/08 10:42:00"; }),
         "set to 26/12/08 10:42:00"},
        {"download, safe", unitreg::downloadFact(good, id, laptop),
         eventOf(EventKind::Download, [&](auto& e) { e.download = good; }),
         "complete, 2 data sets, 5.1 kB, verified, line errors: none"},
        {"download, not safe, with its reasons", unitreg::downloadFact(cut, id, laptop),
         eventOf(EventKind::Download, [&](auto& e) { e.download = cut; }),
         "incomplete (the unit stopped answering), 1 data set, 999 bytes, not verified: The "
         "capture ended before the unit's prompt.; SITE2 was not read back., line errors: 2 "
         "framing errors"},
        {"clear, confirmed", unitreg::clearFact({"XRQ00034", 1000, true}, id, laptop),
         eventOf(EventKind::Clear, [](auto& e) { e.confirmed = true; }), "confirmed by the unit"},
        {"clear, unconfirmed", unitreg::clearFact({"XRQ00034", 1000, false}, id, laptop),
         eventOf(EventKind::Clear, [](auto&) {}), "not confirmed by the unit"},
        {"judged again", unitreg::judgedAgainFact(judged, id, laptop),
         eventOf(EventKind::JudgedAgain,
                 [&](auto& e) {
                     e.download.id = judged.downloadId;
                     e.download.started = judged.downloadStarted;
                     e.download.reasons = judged.reasons;
                 }),
         judgedText.c_str()},
        {"link",
         unitreg::linkFact({id, "0a0b0c0d-0000-4000-8000-000000000001", "XRQ00034", 1000}, id,
                           laptop),
         std::nullopt,
         "download 0a0b0c0d-0000-4000-8000-000000000001 of a unit that gave no serial number, "
         "named this unit"},
        {"kept download",
         fleet::keptDownloadFact(QString::fromStdString(id), QStringLiteral("XRQ00034"),
                                 QString(64, QLatin1Char('a')), 2048, QStringLiteral("/kept/x"),
                                 1000, laptop),
         std::nullopt,
         "raw download kept, 2.0 kB, SHA-256 "
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
        {"a kind of a newer program: its payload",
         fleet::eventFact(QString::fromStdString(id), QStringLiteral("XRQ00034"),
                          QStringLiteral("calibration"), {{QStringLiteral("offset"), 2}}, 1000,
                          laptop),
         std::nullopt, "offset: 2"},
        {"an older program's download without most keys",
         fleet::eventFact(QString::fromStdString(id), QStringLiteral("XRQ00034"),
                          QStringLiteral("download"), {{QStringLiteral("bytes"), 5120}}, 1000,
                          laptop),
         std::nullopt, "incomplete, 0 data sets, 5.1 kB, not verified"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fleet::HistoryEntry e =
            entry(c.fact.type.toLatin1().constData(), c.fact.occurredAt, "laptop-b", true);
        e.payload = c.fact.payload;
        EXPECT_EQ(serverEntryDetails(e).toStdString(), c.details);
        if (c.local) {
            EXPECT_EQ(serverEntryDetails(e), unitreg::eventDetails(*c.local));
        }
    }
}

TEST(UnitHistoryChoice, AnotherLaptopsDownloadDetailsAreOneBoundedLine) {
    QJsonArray reasons;
    for (int i = 0; i < 100000; ++i)
        reasons.append(QStringLiteral("reason %1").arg(i));
    fleet::HistoryEntry e = entry("download", 1000, "laptop-b", true);
    e.payload = {{QStringLiteral("why"), QStringLiteral("two\nlines")},
                 {QStringLiteral("reasons"), reasons},
                 {QStringLiteral("port"), QStringLiteral("not a number")}};
    const auto event = unitreg::eventOfFact(e.kind, e.payload, e.occurredAt);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->download.reasons.size(), std::size_t(unitreg::kFactListMost));
    EXPECT_EQ(event->download.port, -1);
    const QString details = serverEntryDetails(e);
    EXPECT_LE(details.size(), 403);
    EXPECT_FALSE(details.contains(QLatin1Char('\n')));
    EXPECT_TRUE(details.startsWith(QStringLiteral("incomplete (two lines)")));
}

} // namespace
