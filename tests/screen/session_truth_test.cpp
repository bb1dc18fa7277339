// SPDX-License-Identifier: GPL-3.0-or-later
// One truth at a time, on the running program with a simulated unit: the guidance goes with a
// successful Connect, the identity names only a unit that answered on the open port, the port
// label says when the chosen port is not there, Setup's list follows a port that arrives while
// it is open and refuses a typed port it does not list, and a download's summary names the
// files it wrote with their records.
#include "setup/fSetup.h"
#include "support/program_fixture.h"
#include "widgets/status_panel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using dialogs::BoxKind;
using testsupport::waitUntil;

class SessionTruth : public testsupport::ProgramFixture {
protected:
    static std::string identity() { return FormXRQMain->LabelIdentity->text().toStdString(); }
    static QString state() { return FormXRQMain->StatusPanel1->state(); }
    bool logged(const std::string& text) const {
        return testsupport::readFile(LogFilePath).find(text) != std::string::npos;
    }
    void typePort(const QString& text) {
        FormSetup->ComPortCombo->setEditText(text);
        emit FormSetup->ComPortCombo->lineEdit()->editingFinished();
    }
    std::size_t warnings() const {
        std::size_t n = 0;
        for (const auto& b : script->shown)
            n += b.kind == BoxKind::Warning;
        return n;
    }
};

TEST_F(SessionTruth, EachContradictionOfTheScreenIsGone) {
    // No port at all: the guidance says so, the label says the saved port is not there.
    EXPECT_TRUE(state().startsWith("No serial port found on this computer"))
        << state().toStdString();
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM1 @ 19200 - not present");

    // Setup open while the unit's adapter is plugged in: its list follows.
    FormXRQMain->ActionSetup->trigger();
    ASSERT_TRUE(FormSetup->isVisible());
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::generateDataSets(2, 30);
    startUnit(o);
    ASSERT_TRUE(waitUntil([] { return FormSetup->ComPortCombo->currentText() == "COM7"; }))
        << FormSetup->ComPortCombo->currentText().toStdString();
    EXPECT_EQ(FormXRQMain->LabelComPort->text(), "COM7 @ 19200");

    // Typed text: a listed port in any case is taken, one the list lacks is refused.
    std::size_t before = warnings();
    typePort("COM9");
    EXPECT_EQ(warnings(), before + 1);
    EXPECT_EQ(script->shown.back().text.rfind("COM9 is not a port of this computer's list", 0), 0u)
        << script->shown.back().text;
    EXPECT_EQ(FormSetup->ComPortCombo->currentText(), "COM7");
    EXPECT_EQ(FormSerial->ComPortNumber, 7);
    typePort("com7");
    EXPECT_EQ(warnings(), before + 1);
    EXPECT_EQ(FormSetup->ComPortCombo->currentText(), "COM7");
    FormSetup->close();

    // The port opened without a Connect (as a key in the terminal opens it), then a download:
    // the identity is neither "not connected" nor a unit.
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    EXPECT_EQ(identity(), "unit not identified on COM7");
    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    FormXRQMain->ActionCollectExecute(nullptr);
    // The download asks the unit's serial number afresh first, so it names the unit.
    EXPECT_TRUE(logged("Download from XRQ"));
    StatusPanel* panel = FormXRQMain->StatusPanel1;
    EXPECT_TRUE(panel->outcome().startsWith(
        QString::fromStdString("Data collected and placed in " + dataDir)))
        << panel->outcome().toStdString();
    EXPECT_TRUE(panel->progress().startsWith("Received 2 data sets, 60 records"))
        << panel->progress().toStdString();
    ASSERT_EQ(panel->SummaryList()->topLevelItemCount(), 2);
    EXPECT_EQ(panel->SummaryList()->topLevelItem(0)->text(0), "SITE01.txt");
    EXPECT_EQ(panel->SummaryList()->topLevelItem(0)->text(1), "30");
    const std::string folder = dataDir.substr(0, dataDir.size() - 1);
    EXPECT_EQ(panel->pathToCopy().toStdString(), folder);
    panel->SummaryList()->setCurrentItem(panel->SummaryList()->topLevelItem(1));
    EXPECT_EQ(panel->pathToCopy().toStdString(), dataDir + "SITE02.txt");
    std::vector<QUrl> opened;
    FormXRQMain->OpenUrl = [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    };
    panel->OpenFolderButton()->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString(), folder);

    // A successful Connect clears the guidance and names the unit.
    FormXRQMain->ShowGuidance();
    FormXRQMain->ActionConnectExecute(nullptr);
    EXPECT_TRUE(state().isEmpty()) << state().toStdString();
    EXPECT_EQ(identity().rfind("XRQ10472 on COM7", 0), 0u) << identity();
    // The summary stays until the next download.
    EXPECT_EQ(panel->SummaryList()->topLevelItemCount(), 2);

    // A Connect that fails: the old unit is not named any more.
    sim::FaultOptions mute;
    mute.ignoredCommands = "R";
    unit->setFaults(mute);
    FormXRQMain->ActionConnectExecute(nullptr);
    EXPECT_EQ(identity().find("XRQ10472"), std::string::npos) << identity();
    EXPECT_EQ(identity(), "unit not identified on COM7");
}

} // namespace
