// SPDX-License-Identifier: GPL-3.0-or-later
// The unit register as the operator's round fills it: connect, battery, clock, download and
// clear against a simulated unit, each in the register with the values the unit and the
// program saw; the captions beside the battery reading and Collect Data; the Units window;
// and a register that cannot be used, which changes nothing else.
#include "e2e_fixture.h"

#include "register/register_texts.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "units_window/units_window.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QPushButton>
#include <QScatterSeries>
#include <QTableWidget>
#include <QTime>
#include <QUrl>
#include <QValueAxis>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/stat.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class RegisterRound : public ProgramRun {
protected:
    std::string registerPath() const { return tempFiles + unitreg::kFileName; }
    // The register's thread has written all it was handed.
    void settleRegister() { ASSERT_TRUE(unitRegister().waitIdle(std::chrono::seconds(20))); }
    // What the register file holds, read as another program would.
    std::vector<unitreg::UnitEvent> historyOnDisk(const std::string& serial) {
        unitreg::UnitRegister reg;
        EXPECT_NE(reg.open(registerPath()).state, unitreg::OpenOutcome::State::Unavailable);
        return reg.history(serial);
    }
};

TEST_F(RegisterRound, EveryEventOfARoundIsRecordedWithItsValues) {
    const auto sets = sim::sampleDataSets();
    sim::SimOptions o = unpaced(sets);
    o.serialNumber = "AB12CD34";
    sim::PtyUnit& unit = plugUnit(1, o);
    startProgram();
    const std::int64_t start = unitreg::nowMs();

    connectOk();
    checkBat();
    EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V") << "the caption keeps its text";
    const QString readAt = FormXRQMain->LabelBatRead->text();
    EXPECT_TRUE(readAt == "read " + QTime::currentTime().toString("HH:mm") ||
                readAt == "read " + QTime::currentTime().addSecs(-60).toString("HH:mm"))
        << readAt.toStdString();
    script->queueAnswer(true);
    FormXRQMain->ActionSetClockExecute(nullptr);
    ASSERT_TRUE(unit.waitForReceived("S" + unit.lastClockText(), std::chrono::seconds(10)));
    std::size_t mark = boxMark();
    collect(defaultDataDir);
    ASSERT_EQ(boxesSince(mark),
              (Boxes{{BoxKind::Info, "Data collected and placed in " + defaultDataDir}}));
    const std::uint64_t downloaded = intermediate().size();
    script->queueAnswer(true);  // irreversible, continue?
    script->queueAnswer(false); // abort? no
    FormXRQMain->ActionClearMemExecute(nullptr);
    ASSERT_EQ(unit.clearCount(), 1);
    settleRegister();

    const auto events = historyOnDisk("AB12CD34");
    ASSERT_EQ(events.size(), 5u);
    const unitreg::UnitEvent& clear = events[0];
    const unitreg::UnitEvent& download = events[1];
    const unitreg::UnitEvent& clock = events[2];
    const unitreg::UnitEvent& battery = events[3];
    const unitreg::UnitEvent& visit = events[4];
    EXPECT_EQ(visit.kind, unitreg::EventKind::Visit);
    EXPECT_EQ(visit.port, 1);
    EXPECT_EQ(visit.device, fs::canonical(unit.slavePath()).string());
    EXPECT_GE(visit.at, start);
    EXPECT_EQ(battery.kind, unitreg::EventKind::Battery);
    EXPECT_DOUBLE_EQ(battery.volts, o.batteryVolts);
    EXPECT_DOUBLE_EQ(battery.celsius, o.temperatureC);
    EXPECT_NE(battery.reply.find("12.61"), std::string::npos) << battery.reply;
    EXPECT_EQ(battery.reply.back(), '>');
    EXPECT_EQ(clock.kind, unitreg::EventKind::ClockSet);
    EXPECT_EQ(clock.sent, unit.lastClockText());
    ASSERT_EQ(download.kind, unitreg::EventKind::Download);
    const unitreg::Download& d = download.download;
    EXPECT_TRUE(d.complete);
    EXPECT_TRUE(d.verified);
    EXPECT_TRUE(d.why.empty()) << d.why;
    EXPECT_EQ(d.bytes, downloaded);
    EXPECT_EQ(d.sets, int(sets.size()));
    ASSERT_EQ(d.files.size(), sets.size());
    for (std::size_t i = 0; i < sets.size(); ++i)
        EXPECT_EQ(d.files[i], defaultDataDir + sets[i].name + ".txt");
    EXPECT_LE(d.started, d.ended);
    EXPECT_EQ(clear.kind, unitreg::EventKind::Clear);
    EXPECT_TRUE(clear.confirmed);
    for (std::size_t i = 1; i < events.size(); ++i)
        EXPECT_LE(events[i].at, events[i - 1].at) << "newest first";

    // The next Connect says when the unit was last downloaded.
    connectOk();
    const QString expected =
        "last downloaded " + QDate::currentDate().toString("yyyy-MM-dd") + ", complete";
    EXPECT_TRUE(waitUntil([&] { return FormXRQMain->LabelLastDownload->text() == expected; }))
        << FormXRQMain->LabelLastDownload->text().toStdString();

    // The Units window: the unit's row, its history, its battery plot; Open Files shows the
    // data folder.
    FormXRQMain->ActionUnits->trigger();
    UnitsWindow* window = FormXRQMain->FormUnits;
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitUntil([&] { return window->history().size() == 6; }));
    ASSERT_EQ(window->UnitsTable->rowCount(), 1);
    EXPECT_EQ(window->UnitsTable->item(0, 0)->text(), "AB12CD34");
    EXPECT_TRUE(window->UnitsTable->item(0, 2)->text().endsWith(", complete"));
    EXPECT_TRUE(window->UnitsTable->item(0, 3)->text().startsWith("12.6 V, 21.4 C on "));
    EXPECT_EQ(window->UnitsTable->item(0, 4)->text(), "2");
    EXPECT_EQ(window->batteryPoints(), 1);
    {
        // The one reading a point one sees, inside both axes rather than on an edge.
        QChart* chart = window->BatteryChart->chart();
        int points = 0;
        for (QAbstractSeries* s : chart->series())
            if (const auto* scatter = qobject_cast<QScatterSeries*>(s))
                points += int(scatter->count());
        EXPECT_EQ(points, 2); // volts and degrees
        const auto* volts = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).front());
        ASSERT_NE(volts, nullptr);
        EXPECT_LT(volts->min(), 12.6 - 0.1);
        EXPECT_GT(volts->max(), 12.6 + 0.1);
        const auto* time = qobject_cast<QDateTimeAxis*>(chart->axes(Qt::Horizontal).front());
        ASSERT_NE(time, nullptr);
        const auto reading =
            std::find_if(window->history().begin(), window->history().end(),
                         [](const auto& e) { return e.kind == unitreg::EventKind::Battery; });
        ASSERT_NE(reading, window->history().end());
        const std::int64_t read = reading->at;
        EXPECT_LT(time->min().toMSecsSinceEpoch(), read - 3600 * 1000);
        EXPECT_GT(time->max().toMSecsSinceEpoch(), read + 3600 * 1000);
        EXPECT_EQ(time->format(), "yyyy-MM-dd HH:mm");
    }
    std::vector<QUrl> opened;
    window->OpenUrl = [&](const QUrl& url) {
        opened.push_back(url);
        return true;
    };
    window->HistoryTable->selectRow(2); // the download, below the second visit and the clear
    ASSERT_EQ(window->history()[2].kind, unitreg::EventKind::Download);
    EXPECT_TRUE(window->ButtonOpenFiles->isEnabled());
    window->ButtonOpenFiles->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString() + "/", defaultDataDir);
    // Export CSV writes the history where the operator chose.
    const std::string csvPath = root + "/history.csv";
    window->AskSavePath = [&](const QString&) { return QString::fromStdString(csvPath); };
    window->ButtonExport->click();
    const std::string csv = readFile(csvPath);
    const QByteArray shown = unitreg::historyCsv("AB12CD34", window->history());
    EXPECT_EQ(csv, shown.toStdString());
    EXPECT_EQ(csv.rfind("Serial,Time,Event,", 0), 0u);
    EXPECT_NE(csv.find(",Download,\"complete, 3 data sets,"), std::string::npos) << csv;
}

TEST_F(RegisterRound, AnIncompleteDownloadAndAnUnconfirmedClearAreRecordedAsSuch) {
    sim::SimOptions o = unpaced(sim::generateDataSets(2, 200));
    o.serialNumber = "XRQ20001";
    sim::PtyUnit& unit = plugUnit(1, o);
    startProgram();
    connectOk();
    // The unit falls silent part-way: the download times out.
    sim::FaultOptions faults;
    faults.silentAfterBytes = 300;
    faults.ignoredCommands = "Y"; // and never confirms a clearing
    unit.setFaults(faults);
    std::size_t mark = boxMark();
    collect(defaultDataDir);
    ASSERT_EQ(boxesSince(mark),
              (Boxes{{BoxKind::Error, "Timeout during data download"},
                     {BoxKind::Error, "Invalid file format - data in Intermediate.txt"}}));
    script->queueAnswer(true); // not downloaded since connected: clear anyway
    script->queueAnswer(true);
    script->queueAnswer(false);
    FormXRQMain->ActionClearMemExecute(nullptr);
    settleRegister();

    const auto events = historyOnDisk("XRQ20001");
    ASSERT_EQ(events.size(), 3u);
    ASSERT_EQ(events[0].kind, unitreg::EventKind::Clear);
    EXPECT_FALSE(events[0].confirmed);
    ASSERT_EQ(events[1].kind, unitreg::EventKind::Download);
    const unitreg::Download& d = events[1].download;
    EXPECT_FALSE(d.complete);
    EXPECT_FALSE(d.verified);
    EXPECT_EQ(d.why, "it did not end with the unit's prompt");
    EXPECT_EQ(d.bytes, 300u);
    EXPECT_EQ(d.bytes, intermediate().size());
    EXPECT_TRUE(d.files.empty());
    EXPECT_GE(d.ended - d.started, 4000) << "the four seconds of silence";

    unit.setFaults({});
    connectOk();
    const QString expected =
        "last downloaded " + QDate::currentDate().toString("yyyy-MM-dd") + ", incomplete";
    EXPECT_TRUE(waitUntil([&] { return FormXRQMain->LabelLastDownload->text() == expected; }))
        << FormXRQMain->LabelLastDownload->text().toStdString();
}

TEST_F(RegisterRound, ARegisterThatCannotBeOpenedChangesNothingElse) {
    struct Case {
        const char* name;
        bool needsOrdinaryUser;
        std::function<void(const std::string& path)> prepare;
        const char* toldHas;
        bool recordsAfter; // a new register is made and used
    };
    const Case cases[] = {
        {"damaged", false,
         [](const std::string& p) { std::ofstream(p, std::ios::binary) << "garbage, not SQL"; },
         "was damaged. It has been kept as ", true},
        {"unreadable", true,
         [](const std::string& p) {
             std::ofstream(p, std::ios::binary) << "";
             ::chmod(p.c_str(), 0);
         },
         "cannot be used", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsOrdinaryUser && ::geteuid() == 0) {
            std::printf("[ skipped  ] %s: needs an ordinary user\n", c.name);
            continue;
        }
        // Nothing left from a former case.
        for (const auto& e : fs::directory_iterator(tempFiles))
            if (e.path().filename().string().rfind("units", 0) == 0)
                fs::remove(e.path());
        c.prepare(registerPath());
        const std::string before = readFile(registerPath());
        sim::SimOptions o = unpaced();
        o.serialNumber = "XRQ10472";
        plugUnit(1, o);
        startProgram();
        ASSERT_TRUE(waitUntil([&] { return boxMark() > 0; }));
        ASSERT_EQ(script->shown.size(), 1u);
        EXPECT_EQ(script->shown[0].kind, BoxKind::Warning);
        const std::string told = script->shown[0].text;
        EXPECT_NE(told.find(c.toldHas), std::string::npos) << told;
        EXPECT_NE(told.find(registerPath()), std::string::npos) << told;

        // The program works as before: a connect and a battery reading, no more boxes about
        // the register.
        connectOk();
        std::size_t mark = boxMark();
        checkBat();
        EXPECT_TRUE(boxesSince(mark).empty());
        EXPECT_EQ(FormXRQMain->LabelBatV->text(), "12.6 V");
        settleRegister();
        stopProgram();
        EXPECT_EQ(countShown(told), 1) << "told once";

        if (c.recordsAfter) {
            // The old file is kept where the message says, as it was.
            const std::string kept = told.substr(told.find(c.toldHas) + std::strlen(c.toldHas));
            const std::string keptPath = kept.substr(0, kept.find(" and a new"));
            EXPECT_EQ(readFile(keptPath), before) << keptPath;
            EXPECT_EQ(historyOnDisk("XRQ10472").size(), 2u);
        } else {
            struct stat st {};
            ASSERT_EQ(::stat(registerPath().c_str(), &st), 0);
            EXPECT_EQ(st.st_size, 0) << "left as it was";
            ::chmod(registerPath().c_str(), 0644);
        }
        units.clear();
        script.reset(); // the old script leaves before the new one takes over the boxes
        script = std::make_unique<dialogs::ScriptedDialogs>();
    }
}

} // namespace
