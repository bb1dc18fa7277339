// SPDX-License-Identifier: GPL-3.0-or-later
// What the site panel says and refuses, from the visit service's answers, with no window:
// where a unit is and whence that is known, the offers with their times, the operator's
// confirmation of a swap, and the checks of a note and of a deployment's time and site.
#include "site_window/site_panel_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using fleet::SiteKnowledge;
using fleet::SwapOffer;
using namespace site_window;

// 2026-03-01 09:00 UTC, 10:00 in Berlin (CET); 2026-06-01 09:00 UTC, 11:00 (CEST).
constexpr std::int64_t kMarch1 = 1772355600000;
constexpr std::int64_t kJune1 = 1780304400000;
constexpr std::int64_t kMinute = 60 * 1000;

QTimeZone berlin() {
    return QTimeZone("Europe/Berlin");
}

std::vector<fleet::Site> twoSites() {
    fleet::Site river;
    river.code = "RIVER-03";
    river.name = "Bridge gauge";
    fleet::Site lake;
    lake.code = "LAKE-1";
    return {river, lake};
}

bool has(const QString& text, const char* part) {
    return text.contains(QString::fromUtf8(part));
}

TEST(SitePanelModel, TimesAreShownInTheZoneWithItsName) {
    EXPECT_EQ(shownTime(kMarch1, berlin()), "2026-03-01 10:00 CET");
    EXPECT_EQ(shownTime(kJune1, berlin()), "2026-06-01 11:00 CEST");
    EXPECT_EQ(shownTime(kMarch1, QTimeZone::utc()), "2026-03-01 09:00 UTC");
}

TEST(SitePanelModel, WhereTheUnitIsAndWhenceItIsKnown) {
    const fleet::Site river = twoSites()[0];
    struct Case {
        const char* name;
        fleet::UnitWhereabouts w;
        std::vector<const char*> where;
        std::vector<const char*> source;
        int beside;
    };
    fleet::UnitWhereabouts deployed;
    deployed.unit = "QK7Z04M1";
    deployed.deployment = fleet::Deployment{"QK7Z04M1", "RIVER-03", kMarch1, {}, true};
    deployed.site = river;
    deployed.knowledge = {SiteKnowledge::Source::Server, kJune1, 0};
    deployed.sideBySide = {fleet::Deployment{"QK7Z04M2", "RIVER-03", kMarch1 - kMinute, {}, true}};

    fleet::UnitWhereabouts unnamedSite = deployed;
    unnamedSite.site.reset();
    unnamedSite.sideBySide.clear();
    unnamedSite.knowledge = {SiteKnowledge::Source::Learnt, kMarch1 + kMinute, 2};

    fleet::UnitWhereabouts pending = unnamedSite;
    pending.pending = true;

    fleet::UnitWhereabouts removed;
    removed.unit = "QK7Z04M1";
    removed.removedAt = fleet::Removal{"QK7Z04M1", kJune1};

    fleet::UnitWhereabouts never;
    never.unit = "QK7Z04M1";

    const std::vector<Case> cases = {
        {"deployed, from the server now",
         deployed,
         {"QK7Z04M1 is at RIVER-03, Bridge gauge, since 2026-03-01 10:00 CET."},
         {"From the server now", "2026-06-01 11:00 CEST"},
         1},
        {"site without its facts, learnt earlier, two records waiting",
         unnamedSite,
         {"QK7Z04M1 is at RIVER-03, since 2026-03-01 10:00 CET."},
         {"learnt from the server at 2026-03-01 10:01 CET", "2 record(s)"},
         0},
        {"this laptop's deployment, not sent",
         pending,
         {"at RIVER-03"},
         {"recorded on this laptop and is not sent yet"},
         0},
        {"removed", removed, {"not recorded at any site (removed 2026-06-01 11:00 CEST)"}, {}, 0},
        {"never deployed, nothing learnt",
         never,
         {"QK7Z04M1 is not recorded at any site."},
         {"Nothing learnt from the server yet"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WhereShown shown = whereShown(c.w, berlin());
        for (const char* part : c.where)
            EXPECT_TRUE(has(shown.where, part)) << shown.where.toStdString();
        for (const char* part : c.source)
            EXPECT_TRUE(has(shown.source, part)) << shown.source.toStdString();
        ASSERT_EQ(shown.beside.size(), c.beside);
        if (c.beside) {
            EXPECT_EQ(shown.beside[0],
                      "Side by side with QK7Z04M2, there since 2026-03-01 09:59 CET.");
        }
    }
}

SwapOffer offerOf(SwapOffer::Action action, std::vector<const char*> removed) {
    SwapOffer o;
    o.action = action;
    o.unit = "QK7Z04M1";
    o.site = "RIVER-03";
    o.atMs = kJune1;
    o.deployment = {"QK7Z04M1", "RIVER-03", kJune1, {}, false};
    for (const char* u : removed)
        o.removals.push_back({u, kJune1});
    return o;
}

TEST(SitePanelModel, OffersSayWhatIsRecordedAndWhen) {
    SwapOffer moved = offerOf(SwapOffer::Action::Deploy, {});
    moved.previous = fleet::Deployment{"QK7Z04M1", "LAKE-1", kMarch1, {}, false};
    struct Case {
        const char* name;
        SwapOffer offer;
        const char* button;
        std::vector<const char*> text;
        QStringList removed;
    };
    const std::vector<Case> cases = {
        {"already there", offerOf(SwapOffer::Action::Nothing, {}), "", {"already"}, {}},
        {"deploy",
         offerOf(SwapOffer::Action::Deploy, {}),
         "Record Deployment",
         {"Record QK7Z04M1 deployed at RIVER-03 from 2026-06-01 11:00 CEST."},
         {}},
        {"deploy, moved from another site",
         moved,
         "Record Deployment",
         {"ends its deployment at LAKE-1 (since 2026-03-01 10:00 CET)"},
         {}},
        {"swap with one",
         offerOf(SwapOffer::Action::Swap, {"QK7Z04M2"}),
         "Record Swap",
         {"QK7Z04M2 is recorded at RIVER-03", "QK7Z04M2 removed and QK7Z04M1 deployed",
          "2026-06-01 11:00 CEST"},
         {"Remove QK7Z04M2 at 2026-06-01 11:00 CEST"}},
        {"swap with two side by side",
         offerOf(SwapOffer::Action::Swap, {"A1", "A2"}),
         "Record Swap",
         {"A1 and A2 are recorded at RIVER-03", "A1 and A2 removed"},
         {"Remove A1 at 2026-06-01 11:00 CEST", "Remove A2 at 2026-06-01 11:00 CEST"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const OfferShown shown = offerShown(c.offer, berlin());
        EXPECT_EQ(shown.button, c.button);
        for (const char* part : c.text)
            EXPECT_TRUE(has(shown.text, part)) << shown.text.toStdString();
        EXPECT_EQ(shown.removed, c.removed);
    }
}

TEST(SitePanelModel, TheOperatorMayLeaveARemovalOut) {
    const SwapOffer two = offerOf(SwapOffer::Action::Swap, {"A1", "A2"});
    struct Case {
        const char* name;
        std::vector<bool> kept;
        SwapOffer::Action action;
        std::vector<QString> removed;
    };
    const std::vector<Case> cases = {
        {"both kept", {true, true}, SwapOffer::Action::Swap, {"A1", "A2"}},
        {"no answer counts as kept", {}, SwapOffer::Action::Swap, {"A1", "A2"}},
        {"the first left out", {false, true}, SwapOffer::Action::Swap, {"A2"}},
        {"both left out: a deployment beside them", {false, false}, SwapOffer::Action::Deploy, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SwapOffer got = confirmedOffer(two, c.kept);
        EXPECT_EQ(got.action, c.action);
        std::vector<QString> units;
        for (const fleet::Removal& r : got.removals) {
            units.push_back(r.unit);
            EXPECT_EQ(r.atMs, kJune1);
        }
        EXPECT_EQ(units, c.removed);
        EXPECT_EQ(got.deployment.fromMs, kJune1);
    }
    // A deployment's offer is taken as it is, whatever the boxes say.
    EXPECT_EQ(confirmedOffer(offerOf(SwapOffer::Action::Deploy, {}), {false}).action,
              SwapOffer::Action::Deploy);
}

TEST(SitePanelModel, BadInputIsRefusedWithWhatToDo) {
    const auto sites = twoSites();
    const std::int64_t now = kJune1;
    auto note = [&](const char* text, const char* site, const char* unit, std::int64_t at) {
        fleet::NoteDraft n;
        n.text = QString::fromUtf8(text);
        n.site = QString::fromUtf8(site);
        n.unit = QString::fromUtf8(unit);
        n.atMs = at;
        return checkNote(n, sites, now, berlin());
    };
    struct Case {
        const char* name;
        QString why;
        const char* expected; // empty: accepted
    };
    const std::string tooLong(kNoteMaxChars + 1, 'x');
    const std::string longest(kNoteMaxChars, 'x');
    const std::vector<Case> cases = {
        {"note about the unit", note("Cleaned the sensor", "", "QK7Z04M1", now), ""},
        {"note about the site", note("Fence down", "RIVER-03", "", now), ""},
        {"note with 8-bit text", note("Schlamm am Fühler \xc3\xa9", "", "Q", now), ""},
        {"note at the longest", note(longest.c_str(), "", "Q", now), ""},
        {"empty note", note("", "", "Q", now), "Write the note's text first."},
        {"blank note", note(" \n\t ", "", "Q", now), "Write the note's text first."},
        {"note too long", note(tooLong.c_str(), "", "Q", now), "at most 4000"},
        {"note about nothing", note("text", "", "", now), "the site or the unit"},
        {"note about an unknown site", note("text", "NOWHERE", "", now), "NOWHERE is not known"},
        {"note in the future", note("text", "", "Q", now + 2 * kMinute), "in the future"},
        {"a minute ahead is now", checkTime(now + kMinute, now, berlin()), ""},
        {"a minute and a second ahead", checkTime(now + kMinute + 1000, now, berlin()),
         "2026-06-01 11:01 CEST is in the future"},
        {"long ago", checkTime(kMarch1, now, berlin()), ""},
        {"no time", checkTime(0, now, berlin()), "after 1970"},
        {"no site chosen", checkSiteChosen("", sites), "Choose the site first."},
        {"no site known", checkSiteChosen("", {}), "No site is known"},
        {"unknown site", checkSiteChosen("RIVER-04", sites), "RIVER-04 is not known"},
        {"known site", checkSiteChosen("LAKE-1", sites), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (*c.expected == '\0')
            EXPECT_TRUE(c.why.isEmpty()) << c.why.toStdString();
        else
            EXPECT_TRUE(has(c.why, c.expected)) << c.why.toStdString();
    }
}

TEST(SitePanelModel, PlacedBesideTheMainWindowCoveringAsLittleAsItCan) {
    const QRect screen(0, 0, 1024, 600);
    const QSize panel(522, 495);
    struct Case {
        const char* name;
        QRect owner;
        QRect area;
        QPoint expected;
    };
    const std::vector<Case> cases = {
        {"room on the right", QRect(0, 20, 437, 591), QRect(0, 0, 1366, 768), QPoint(437, 20)},
        {"room on the left only", QRect(900, 30, 437, 591), QRect(0, 0, 1366, 768),
         QPoint(378, 30)},
        {"no room: the right edge, more room there", QRect(293, 9, 437, 591), screen,
         QPoint(502, 9)},
        {"no room: the left edge, more room there", QRect(500, 9, 437, 591), screen, QPoint(0, 9)},
        {"owner low on the screen: moved up to stay inside", QRect(0, 300, 400, 300),
         QRect(0, 0, 1366, 700), QPoint(400, 205)},
        {"an area that does not start at 0", QRect(100, 40, 400, 500), QRect(0, 30, 1024, 570),
         QPoint(500, 40)},
        {"a panel wider than the screen stays at its left edge", QRect(0, 0, 100, 100),
         QRect(0, 0, 400, 600), QPoint(0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QPoint at = placeBeside(c.owner, panel, c.area);
        EXPECT_EQ(at, c.expected) << at.x() << "," << at.y();
    }
}

TEST(SitePanelModel, ChoicesAndRefusals) {
    const auto sites = twoSites();
    EXPECT_EQ(siteChoices(sites), (QStringList{"RIVER-03  Bridge gauge", "LAKE-1"}));
    const std::vector<std::pair<QString, QString>> typed = {
        {"RIVER-03  Bridge gauge", "RIVER-03"}, // an item chosen
        {"  lake-1 ", "LAKE-1"},                // a code typed in another case
        {"river-03 at the bridge", "RIVER-03"},
        {"RIVER-04", "RIVER-04"}, // unknown: kept as typed, for the check to refuse
        {"Bridge gauge", "Bridge"},
        {"   ", ""},
    };
    for (const auto& [text, code] : typed) {
        EXPECT_EQ(siteCodeTyped(text, sites), code) << text.toStdString();
    }
    EXPECT_EQ(refusedText(platform::makeError(platform::ErrorKind::Busy, "The store is busy.")),
              "Not recorded: The store is busy. Try again in a moment.");
    EXPECT_EQ(refusedText(platform::makeError(platform::ErrorKind::Full, "Disk full.")),
              "Not recorded, nothing was kept: Disk full.");
}

} // namespace
