// SPDX-License-Identifier: GPL-3.0-or-later
// Which units the Units window lists: this laptop's, or the organisation's with this laptop's
// own summary beside the units it knows, whichever answer comes first.
#include "register/unit_list_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

unitreg::UnitSummary local(const char* serial, std::int64_t lastVisit, int visits) {
    unitreg::UnitSummary u;
    u.serial = serial;
    u.lastSeen = lastVisit;
    u.lastVisit = lastVisit;
    u.visits = visits;
    return u;
}

fleet::ServerUnits server(std::vector<fleet::ServerUnit> units) {
    fleet::ServerUnits s;
    s.ok = true;
    s.units = std::move(units);
    return s;
}

fleet::ServerUnits failed(const char* why) {
    fleet::ServerUnits s;
    s.message = QString::fromLatin1(why);
    return s;
}

struct Row {
    std::string serial;
    std::int64_t lastSeen;
    std::int64_t visits;
    int laptops;
    bool seenHere;
};

std::vector<Row> rowsOf(const UnitListChoice& choice) {
    std::vector<Row> out;
    for (const UnitListRow& r : choice.rows())
        out.push_back({r.serial, r.lastSeen, r.visits, r.laptops, r.seenHere()});
    return out;
}

bool operator==(const Row& a, const Row& b) {
    return a.serial == b.serial && a.lastSeen == b.lastSeen && a.visits == b.visits &&
           a.laptops == b.laptops && a.seenHere == b.seenHere;
}

void PrintTo(const Row& r, std::ostream* os) {
    *os << "{" << r.serial << ", " << r.lastSeen << ", " << r.visits << ", " << r.laptops << ", "
        << r.seenHere << "}";
}

TEST(UnitListChoice, MergesTheServersUnitsWithThisLaptopsAndMarksThoseNeverSeenHere) {
    const std::vector<unitreg::UnitSummary> mine = {
        local("XRQ00002", 5000, 2), // on the server too, newer there
        local("XRQ00003", 9000, 4), // visits not all pushed yet: this laptop's count stands
        local("XRQ00009", 7000, 1), // not pushed at all yet
        local("", 3000, 1),         // a unit that gave no serial number
    };
    const fleet::ServerUnits organisation = server({
        {QStringLiteral("(no serial number)"), 3500, 3, 2},
        {QStringLiteral("XRQ00001"), 8000, 6, 3}, // another laptop's alone
        {QStringLiteral("XRQ00002"), 6000, 5, 2},
        {QStringLiteral("XRQ00003"), 9000, 1, 1},
        {QStringLiteral("XRQ\u00e900"), 1000, 1, 1}, // Latin-1 bytes of a unit
    });
    using Source = UnitListChoice::Source;
    struct Case {
        const char* name;
        bool sharing;
        bool localFirst;
        std::optional<fleet::ServerUnits> answer;
        Source shown;
        const char* line;
        std::vector<Row> rows;
    };
    const std::vector<Row> mineOnly = {{"XRQ00003", 9000, 4, 0, true},
                                       {"XRQ00009", 7000, 1, 0, true},
                                       {"XRQ00002", 5000, 2, 0, true},
                                       {"", 3000, 1, 0, true}};
    const std::vector<Row> merged = {{"XRQ00003", 9000, 4, 1, true},
                                     {"XRQ00001", 8000, 6, 3, false},
                                     {"XRQ00009", 7000, 1, 0, true},
                                     {"XRQ00002", 6000, 5, 2, true},
                                     {"", 3500, 3, 2, true},
                                     {"XRQ\xe9"
                                      "00",
                                      1000, 1, 1, false}};
    const Case cases[] = {
        {"not shared", false, true, std::nullopt, Source::Local, "this laptop's units", mineOnly},
        {"a server answer while not sharing is no answer", false, true, organisation, Source::Local,
         "this laptop's units", mineOnly},
        {"asking", true, true, std::nullopt, Source::Local,
         "this laptop's units; asking the server...", mineOnly},
        {"the server answered", true, true, organisation, Source::Server,
         "organisation's units (server): 6, 2 never seen by this laptop", merged},
        {"the server answered first", true, false, organisation, Source::Server,
         "organisation's units (server): 6, 2 never seen by this laptop", merged},
        {"not reachable", true, true, failed("server not reachable: connection refused"),
         Source::Local, "this laptop's units: server not reachable", mineOnly},
        {"refused: the reason is the operator's", true, true,
         failed("the server's schema is version 3, newer than this program's"), Source::Local,
         "this laptop's units: the server's schema is version 3, newer than this program's",
         mineOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnitListChoice choice;
        choice.begin(c.sharing);
        if (!c.localFirst && c.answer) {
            choice.serverAnswered(*c.answer);
            // The organisation's list waits for this laptop's: it says which units are new here.
            EXPECT_EQ(choice.shown(), Source::Nothing);
            EXPECT_TRUE(choice.rows().empty());
        }
        choice.localArrived(mine);
        if (c.localFirst && c.answer)
            choice.serverAnswered(*c.answer);
        EXPECT_EQ(choice.shown(), c.shown);
        EXPECT_EQ(choice.sourceLine().toStdString(), c.line);
        EXPECT_EQ(rowsOf(choice), c.rows);
    }
}

TEST(UnitListChoice, NewAnswersReplaceTheOldAndANewChoiceForgetsThem) {
    UnitListChoice choice;
    choice.begin(true);
    choice.localArrived({local("XRQ00002", 5000, 2)});
    choice.serverAnswered(server({{QStringLiteral("XRQ00001"), 8000, 6, 3}}));
    ASSERT_EQ(choice.rows().size(), 2u);
    // This laptop's list read again after a record: the server's answer still stands.
    choice.localArrived({local("XRQ00002", 5000, 2), local("XRQ00001", 9000, 1)});
    EXPECT_EQ(rowsOf(choice),
              (std::vector<Row>{{"XRQ00001", 9000, 6, 3, true}, {"XRQ00002", 5000, 2, 0, true}}));
    choice.begin(false);
    EXPECT_EQ(choice.shown(), UnitListChoice::Source::Nothing);
    EXPECT_FALSE(choice.askingServer());
}

} // namespace
