// SPDX-License-Identifier: GPL-3.0-or-later
// The site panel in the running program with a simulated unit and the laptop's own visit
// service: the main window's menus keep theirs with Site after them, the panel comes once
// Connect has ended (nothing of it inside Connect, nothing modal), says where the unit is from
// what the laptop keeps, records a note, and opens again from its menu after Escape.
#include "site_window/site_panel.h"
#include "support/program_fixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

namespace {

using site_window::SitePanel;
using testsupport::waitUntil;

class SitePanelAfterConnect : public testsupport::ProgramFixture {
protected:
    static SitePanel* panel() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* p = qobject_cast<SitePanel*>(w))
                return p;
        return nullptr;
    }
    static QStringList items(const QMenu* menu) {
        QStringList names;
        for (const QAction* a : menu->actions())
            names << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
        return names;
    }
};

TEST_F(SitePanelAfterConnect, MenusKeepTheirItemsWithSiteAfterThem) {
    QStringList titles;
    for (const QAction* a : FormXRQMain->menuBar()->actions())
        titles << a->text();
    EXPECT_EQ(titles, (QStringList{"&Tools", "&Help", "&Site"}));
    EXPECT_EQ(items(FormXRQMain->MenuTools),
              (QStringList{"ActionSetup", "ActionCheckBat", "ActionSetClock", "-", "ActionTeminal",
                           "ActionClearMem", "-", "ActionViewData", "ActionUnits",
                           "ActionOpenDataFolder", "ActionOpenRunLog", "ActionConvertKept"}));
    EXPECT_EQ(items(FormXRQMain->MenuHelp),
              (QStringList{"ActionGuide", "ActionUpdate", "-", "ActionExit"}));
    EXPECT_EQ(items(FormXRQMain->MenuSite), (QStringList{"ActionSite"}));
}

TEST_F(SitePanelAfterConnect, ShownOnceConnectHasEndedAndAgainFromItsMenu) {
    ASSERT_NE(panel(), nullptr);
    EXPECT_FALSE(panel()->isVisible());
    connectSampleUnit();
    FormXRQMain->ActionConnect->trigger();
    ASSERT_TRUE(FormXRQMain->ActionCollect->isEnabled()) << "not connected";
    // Connect has returned before anything of the panel ran.
    EXPECT_FALSE(panel()->isVisible());
    ASSERT_TRUE(waitUntil([] { return panel()->isVisible(); }));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(panel()->unit(), "XRQ10472");
    EXPECT_EQ(panel()->LabelWhere->text(), "XRQ10472 is not recorded at any site.");
    EXPECT_TRUE(panel()->LabelSource->text().startsWith("Nothing learnt from the server yet"))
        << panel()->LabelSource->text().toStdString();

    // A note through the laptop's own service: recorded, the box emptied.
    panel()->EditNote->setPlainText("Desiccant replaced");
    panel()->recordNote();
    EXPECT_FALSE(panel()->messageIsRefusal()) << panel()->LabelMessage->text().toStdString();
    EXPECT_TRUE(panel()->LabelMessage->text().startsWith("Note recorded about XRQ10472"));
    EXPECT_TRUE(panel()->EditNote->toPlainText().isEmpty());

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(panel(), &escape);
    ASSERT_TRUE(waitUntil([] { return !panel()->isVisible(); }));
    FormXRQMain->ActionSite->trigger();
    EXPECT_TRUE(panel()->isVisible());
    EXPECT_EQ(panel()->unit(), "XRQ10472");
}

} // namespace
