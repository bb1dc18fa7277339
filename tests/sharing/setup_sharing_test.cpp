// SPDX-License-Identifier: GPL-3.0-or-later
// Setup's sharing fields: refused as typed with the reason under them, saved to fleet.ini (XRQ.ini
// keeps its two keys), a changed service restarts the pusher, and a new laptop name counts from
// the next event on.
#include "sharing_fixture.h"

#include "setup/fSetup.h"
#include "support/read_file.h"

#include <QLabel>
#include <QLineEdit>

#include <fstream>
#include <iterator>

namespace sharingtest {
namespace {

using testsupport::readFile;

using SharingSetup = SharingProgram;

TEST_F(SharingSetup, RefusesWhatLibpqCannotLookUpSavesTheRestAndRestartsThePusher) {
    addLaptop("laptop_a");
    startProgram();
    FormSetup->show();
    EXPECT_EQ(FormSetup->EditService->text(), QString());
    EXPECT_FALSE(FormSetup->EditLaptop->text().isEmpty()) << "the host name stands in";
    EXPECT_NE(FormSetup->EditService->toolTip().indexOf(QStringLiteral(".pgpass")), -1)
        << "the tooltip says where the password comes from";
    const std::string ini = sandbox.tempFiles() + "fleet.ini";

    // Refused as typed: the reason under the fields, OK keeps the dialog open, nothing saved.
    for (const char* bad : {"field office", "office]", "host=elsewhere"}) {
        SCOPED_TRACE(bad);
        FormSetup->EditService->setText(QString::fromLatin1(bad));
        EXPECT_FALSE(FormSetup->LabelSharingProblem->isHidden());
        EXPECT_NE(FormSetup->LabelSharingProblem->text().indexOf(QStringLiteral("pg_service.conf")),
                  -1);
        FormSetup->ButtonOKClick();
        EXPECT_TRUE(FormSetup->isVisible());
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(ini)));

    // Saved: the pusher starts with the new service.
    FormSetup->EditService->setText(QStringLiteral("laptop_a"));
    FormSetup->EditLaptop->setText(QStringLiteral("laptop-a"));
    EXPECT_TRUE(FormSetup->LabelSharingProblem->isHidden());
    FormSetup->ButtonOKClick();
    EXPECT_FALSE(FormSetup->isVisible());
    const std::string saved = readFile(ini);
    EXPECT_NE(saved.find("Service=laptop_a"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Laptop=laptop-a"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("assword"), std::string::npos) << saved;
    const std::string settings = readFile(sandbox.settingsFile());
    EXPECT_EQ(settings.find("Service"), std::string::npos) << "XRQ.ini keeps its two keys";
    ASSERT_NE(fleet::sharing().pusher(), nullptr);
    EXPECT_EQ(fleet::sharing().settings().service.toStdString(), "laptop_a");
    ASSERT_TRUE(lineIs("shared: up to date")) << sharingLine().toStdString();

    // A new laptop name counts from the next event on, without a restart.
    unitRegister().recordVisit({"XRQ00041", 1765188000000, 3, ""});
    ASSERT_TRUE(unitRegister().waitIdle(30s));
    FormSetup->show();
    FormSetup->EditLaptop->setText(QStringLiteral("laptop-b"));
    FormSetup->ButtonOKClick();
    unitRegister().recordVisit({"XRQ00041", 1765188060000, 3, ""});
    ASSERT_TRUE(testsupport::waitUntil([&] { return count("xrq.events") == 2; }, 60s))
        << sharingLine().toStdString();
    EXPECT_EQ(server.value("SELECT string_agg(laptop, ',' ORDER BY occurred_at) FROM xrq.events"),
              std::optional<std::string>("laptop-a,laptop-b"));

    // No service: not shared, no pusher.
    FormSetup->show();
    EXPECT_EQ(FormSetup->EditService->text().toStdString(), "laptop_a");
    FormSetup->EditService->clear();
    FormSetup->ButtonOKClick();
    EXPECT_EQ(fleet::sharing().pusher(), nullptr);
    EXPECT_EQ(sharingLine().toStdString(), "not shared");
    EXPECT_EQ(fleet::readFleetSettings(sandbox.tempFiles()).service, QString());
}

} // namespace
} // namespace sharingtest
