// SPDX-License-Identifier: GPL-3.0-or-later
// The site panel on a visit service in memory (offscreen): what it shows for the connected
// unit, the swap it offers with the time filled in and what it records once confirmed, the
// refusals that record nothing, the server's late answer, and a close that loses nothing; and
// on the program's own service, what another program records on the laptop at the next show.
#include "site_window/site_panel.h"

#include "fleet/site_store.h"
#include "support/wait.h"
#include "tests/site_window/fake_visit_service.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace {

using fleet::SwapOffer;
using site_window::SitePanel;
using testsupport::FakeVisitService;

constexpr std::int64_t kNow = 1780304400000; // 2026-06-01 09:00 UTC
constexpr std::int64_t kDay = 24 * 3600 * 1000;

class SitePanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fleet::Site river;
        river.code = "RIVER-03";
        river.name = "Bridge gauge";
        fleet::Site lake;
        lake.code = "LAKE-1";
        lake.name = "<b>Lake</b> & shore";
        service.siteList = {lake, river};
        service.knowledge = {fleet::SiteKnowledge::Source::Learnt, kNow - kDay, 0};
        panel = std::make_unique<SitePanel>(service);
        panel->Now = [] { return kNow; };
        panel->Zone = QTimeZone::utc();
    }

    void choose(const QString& code) {
        panel->ComboSite->setCurrentIndex(panel->ComboSite->findData(code));
    }
    std::string text(QLabel* label) const { return label->text().toStdString(); }

    FakeVisitService service;
    std::unique_ptr<SitePanel> panel;
};

TEST_F(SitePanelTest, ShowsWhereTheUnitIsAndTheSiteItIsAt) {
    service.deployments = {{"QK7Z04M1", "RIVER-03", kNow - 90 * kDay, {}, true},
                           {"QK7Z04M9", "RIVER-03", kNow - 10 * kDay, {}, true}};
    panel->showFor("QK7Z04M1", false);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_FALSE(panel->isModal());
    EXPECT_EQ(text(panel->LabelWhere),
              "QK7Z04M1 is at RIVER-03, Bridge gauge, since 2026-03-03 09:00 UTC.");
    EXPECT_NE(text(panel->LabelSource).find("learnt from the server at 2026-05-31 09:00 UTC"),
              std::string::npos);
    EXPECT_NE(text(panel->LabelBeside).find("Side by side with QK7Z04M9"), std::string::npos);
    // The site it is at is chosen: nothing to record there.
    EXPECT_EQ(panel->ComboSite->currentData().toString(), "RIVER-03");
    ASSERT_TRUE(panel->offer());
    EXPECT_EQ(panel->offer()->action, SwapOffer::Action::Nothing);
    EXPECT_FALSE(panel->ButtonDeploy->isEnabled());
    // Another's text is shown as text.
    EXPECT_EQ(panel->LabelWhere->textFormat(), Qt::PlainText);
    EXPECT_TRUE(panel->ComboSite->itemText(0).contains("<b>Lake</b> & shore"));
}

TEST_F(SitePanelTest, NoUnitOrNoSiteOffersNothing) {
    panel->showFor("", true);
    EXPECT_NE(text(panel->LabelWhere).find("Connect to a unit first"), std::string::npos);
    EXPECT_FALSE(panel->DeployBox->isEnabled());

    service.siteList.clear();
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(text(panel->LabelWhere), "QK7Z04M1 is not recorded at any site.");
    EXPECT_NE(text(panel->LabelOffer).find("No site is known"), std::string::npos);
    EXPECT_FALSE(panel->ButtonDeploy->isEnabled());
}

TEST_F(SitePanelTest, FoundWhereAnotherIsRecordedTheSwapIsOfferedAndRecordedOnConfirm) {
    service.deployments = {{"QK7Z04M2", "RIVER-03", kNow - 90 * kDay, {}, false}};
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(panel->ComboSite->currentIndex(), -1) << "nothing chosen for a unit at no site";
    panel->ComboSite->setEditText("river-03"); // typed, in another case
    ASSERT_TRUE(panel->offer());
    EXPECT_EQ(panel->offer()->site, "RIVER-03");
    EXPECT_EQ(panel->offer()->action, SwapOffer::Action::Swap);
    EXPECT_EQ(panel->ButtonDeploy->text(), "Record Swap");
    ASSERT_EQ(panel->RemovalBoxes.size(), 1u);
    EXPECT_EQ(panel->RemovalBoxes[0]->text(), "Remove QK7Z04M2 at 2026-06-01 09:00 UTC");
    EXPECT_TRUE(service.swaps.empty()) << "offered, not recorded";

    // An earlier time: the offer follows it, and the swap is recorded at it.
    const std::int64_t earlier = kNow - 2 * 3600 * 1000;
    panel->EditDeployTime->setDateTime(QDateTime::fromMSecsSinceEpoch(earlier));
    ASSERT_TRUE(panel->offer());
    EXPECT_EQ(panel->offer()->atMs, earlier);
    EXPECT_EQ(panel->RemovalBoxes[0]->text(), "Remove QK7Z04M2 at 2026-06-01 07:00 UTC");
    panel->ButtonDeploy->click();
    ASSERT_EQ(service.swaps.size(), 1u);
    const SwapOffer& s = service.swaps[0];
    EXPECT_EQ(s.action, SwapOffer::Action::Swap);
    ASSERT_EQ(s.removals.size(), 1u);
    EXPECT_EQ(s.removals[0].unit, "QK7Z04M2");
    EXPECT_EQ(s.removals[0].atMs, earlier);
    EXPECT_EQ(s.deployment.unit, "QK7Z04M1");
    EXPECT_EQ(s.deployment.fromMs, earlier);
    EXPECT_FALSE(panel->messageIsRefusal());
    EXPECT_NE(text(panel->LabelMessage).find("QK7Z04M2 removed"), std::string::npos);
    // Shown afresh: the unit is there now, nothing more to record.
    EXPECT_NE(text(panel->LabelWhere).find("QK7Z04M1 is at RIVER-03"), std::string::npos);
    EXPECT_FALSE(panel->ButtonDeploy->isEnabled());
}

TEST_F(SitePanelTest, TwoSideBySideOneLeftInPlace) {
    service.deployments = {{"A1", "LAKE-1", kNow - 9 * kDay, {}, true},
                           {"A2", "LAKE-1", kNow - 8 * kDay, {}, true}};
    panel->showFor("QK7Z04M1", false);
    choose("LAKE-1");
    ASSERT_EQ(panel->RemovalBoxes.size(), 2u);
    panel->RemovalBoxes[0]->setChecked(false);
    panel->recordDeployment();
    ASSERT_EQ(service.swaps.size(), 1u);
    ASSERT_EQ(service.swaps[0].removals.size(), 1u);
    EXPECT_EQ(service.swaps[0].removals[0].unit, "A2");
}

TEST_F(SitePanelTest, RefusalsRecordNothingAndSayWhy) {
    panel->showFor("QK7Z04M1", false);
    struct Case {
        const char* name;
        std::function<void()> act;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"no site chosen", [&] { panel->recordDeployment(); }, "Choose the site first."},
        {"an unknown site typed",
         [&] {
             panel->ComboSite->setEditText("RIVER-04");
             EXPECT_FALSE(panel->ButtonDeploy->isEnabled());
             EXPECT_EQ(panel->LabelOffer->text(), "The site RIVER-04 is not known to this laptop.");
             panel->recordDeployment();
         },
         "The site RIVER-04 is not known"},
        {"a time an hour ahead",
         [&] {
             choose("RIVER-03");
             panel->EditDeployTime->setDateTime(QDateTime::fromMSecsSinceEpoch(kNow + 3600 * 1000));
             EXPECT_FALSE(panel->ButtonDeploy->isEnabled());
             panel->recordDeployment();
         },
         "is in the future"},
        {"an empty note",
         [&] {
             panel->EditNote->setPlainText("   ");
             panel->recordNote();
         },
         "Write the note's text first."},
        {"the service refuses a deployment",
         [&] {
             panel->EditDeployTime->setDateTime(QDateTime::fromMSecsSinceEpoch(kNow));
             service.refuseRecords = platform::makeError(platform::ErrorKind::Invalid,
                                                         "The deployment ends before it starts.");
             panel->recordDeployment();
         },
         "Not recorded: The deployment ends before it starts."},
        {"the service refuses a note",
         [&] {
             panel->EditNote->setPlainText("Battery swapped");
             panel->recordNote();
         },
         "Not recorded: The deployment ends"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        EXPECT_TRUE(panel->messageIsRefusal());
        EXPECT_NE(text(panel->LabelMessage).find(c.said), std::string::npos)
            << text(panel->LabelMessage);
        EXPECT_TRUE(service.swaps.empty());
        EXPECT_TRUE(service.notes.empty());
    }
    // A refused note is still there to record once the service takes it.
    EXPECT_EQ(panel->EditNote->toPlainText(), "Battery swapped");
    service.refuseRecords.reset();
    panel->recordNote();
    ASSERT_EQ(service.notes.size(), 1u);
    EXPECT_EQ(panel->EditNote->toPlainText(), "");
}

TEST_F(SitePanelTest, NotesAboutTheUnitOrTheSite) {
    service.deployments = {{"QK7Z04M1", "RIVER-03", kNow - kDay, {}, false}};
    panel->showFor("QK7Z04M1", false);
    ASSERT_EQ(panel->ComboAbout->count(), 2);
    panel->ComboCategory->setCurrentIndex(panel->ComboCategory->findText("Damage"));
    panel->EditNote->setPlainText("Cable chewed");
    panel->recordNote();
    panel->ComboAbout->setCurrentIndex(1);
    panel->EditNote->setPlainText("Fence down\nsecond line");
    panel->recordNote();
    ASSERT_EQ(service.notes.size(), 2u);
    EXPECT_EQ(service.notes[0].unit, "QK7Z04M1");
    EXPECT_EQ(service.notes[0].site, "");
    EXPECT_EQ(service.notes[0].category, fleet::NoteCategory::Damage);
    EXPECT_EQ(service.notes[0].atMs, kNow);
    EXPECT_EQ(service.notes[1].site, "RIVER-03");
    EXPECT_EQ(service.notes[1].unit, "");
    EXPECT_EQ(service.notes[1].text, "Fence down\nsecond line");
    EXPECT_NE(text(panel->LabelMessage).find("by field-laptop (tester)"), std::string::npos);
}

TEST_F(SitePanelTest, TheServersLateAnswerIsShownAndAGonePanelIsNotCalled) {
    panel->showFor("QK7Z04M1", false);
    ASSERT_EQ(service.learnAsks, 1);
    // Asked once at a time: showing it again while the server is asked asks nothing more.
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(service.learnAsks, 1);

    service.knowledge = {fleet::SiteKnowledge::Source::Server, kNow, 0};
    service.deployments = {{"QK7Z04M1", "LAKE-1", kNow - kDay, {}, false}};
    int learnt = 0;
    QObject::connect(panel.get(), &SitePanel::learnt, [&] { ++learnt; });
    fleet::SiteFactsLearnt answer;
    answer.shared = true;
    answer.reached = true;
    service.answer(answer);
    EXPECT_EQ(learnt, 1);
    EXPECT_NE(text(panel->LabelWhere).find("at LAKE-1"), std::string::npos);
    EXPECT_NE(text(panel->LabelSource).find("From the server now"), std::string::npos);

    // Not reached: said beside what is kept.
    panel->showFor("QK7Z04M1", false);
    answer.reached = false;
    answer.why = "The server did not answer within 15 s.";
    service.answer(answer);
    EXPECT_NE(text(panel->LabelSource).find("not reached: The server did not answer"),
              std::string::npos);

    panel->showFor("QK7Z04M1", false);
    panel.reset();
    service.answer(answer); // the panel has gone: nothing runs
}

TEST_F(SitePanelTest, EscapeHidesAndLosesNothing) {
    panel->showFor("QK7Z04M1", true);
    choose("RIVER-03");
    panel->recordDeployment();
    panel->EditNote->setPlainText("half written");
    ASSERT_TRUE(panel->isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(panel.get(), &escape);
    EXPECT_TRUE(testsupport::waitUntil([&] { return !panel->isVisible(); }, 5000));
    EXPECT_EQ(service.swaps.size(), 1u);
    panel->showFor("QK7Z04M1", true);
    EXPECT_EQ(panel->EditNote->toPlainText(), "half written");
    EXPECT_NE(text(panel->LabelWhere).find("at RIVER-03"), std::string::npos);
    // Another unit: its own panel, no message of the last one's.
    panel->showFor("QK7Z04M5", false);
    EXPECT_EQ(text(panel->LabelMessage), "");
}

// A failed look at what the laptop keeps is said beside what is shown, and asked at every show.
TEST_F(SitePanelTest, WhatIsKeptIsLookedAtAgainAtEveryShow) {
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(service.keptReads, 1);
    service.refuseKeptRead = platform::makeError(platform::ErrorKind::Busy, "the store is busy");
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(service.keptReads, 2);
    EXPECT_NE(text(panel->LabelBeside).find("not read again: the store is busy"),
              std::string::npos);
    service.refuseKeptRead.reset();
    panel->showFor("QK7Z04M1", false);
    EXPECT_EQ(text(panel->LabelBeside).find("not read again"), std::string::npos);
}

// The program's own service over a files folder that does not share: what another program on
// the laptop records (xrq-collect --site, its own connection to the store) shows when the panel
// is shown again, with no restart.
TEST(SitePanelOnTheLaptop, WhatAnotherProgramRecordsShowsAtTheNextShow) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    {
        auto store = fleet::SiteStore::open(folder, true);
        ASSERT_TRUE(store.ok()) << store.text();
        fleet::Site river;
        river.code = "RIVER-03";
        river.name = "Bridge gauge";
        fleet::SiteFactRecord site;
        site.kind = fleet::SiteFactKind::Site;
        site.value = river;
        site.key = fleet::siteFactKey(site.value);
        site.arrival = 1;
        ASSERT_TRUE(store->keepLearnt({site}, {}, kNow - kDay).ok());
    }
    const std::unique_ptr<site_window::VisitService> service =
        site_window::programVisitService([folder] { return folder; });
    SitePanel panel(*service);
    panel.Now = [] { return kNow; };
    panel.Zone = QTimeZone::utc();
    panel.showFor("QK7Z04M1", false);
    const auto where = [&] { return panel.LabelWhere->text().toStdString(); };
    EXPECT_NE(where().find("not recorded at any site"), std::string::npos) << where();

    {
        fleet::SiteVisit other(folder);
        auto recorded = other.recordDeployment("QK7Z04M1", "RIVER-03", kNow - 3600000);
        ASSERT_TRUE(recorded.ok()) << recorded.text();
    }
    panel.showFor("QK7Z04M1", false);
    EXPECT_NE(where().find("QK7Z04M1 is at RIVER-03, Bridge gauge"), std::string::npos) << where();
    EXPECT_EQ(panel.LabelBeside->text().toStdString(), "");
}

} // namespace
