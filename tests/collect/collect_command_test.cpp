// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-collect run as the operator's cron job runs it: a program of its own, no display, the
// program's folders in a sandbox and a simulated unit on a pty linked as a COM port. What
// counts is what it leaves on the disk and in the register, and what its exit status says.
#include "collect/collect_options.h"
#include "collect/collect_report.h"
#include "collect/collect_support.h"
#include "dialogs/scripted_dialogs.h"
#include "fleet/outbox.h"
#include "fleet/site_store.h"
#include "main/fMain.h"
#include "register/unit_register.h"
#include "serial/fSerial.h"
#include "start/program_start.h"
#include "support/child_process.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "tools/sim/data_set.h"
#include "tools/sim/pty_unit.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testsupport::warningsBesideLineErrors;
using namespace std::chrono_literals;
using collect::Exit;
using testsupport::waitUntil;

using testsupport::expectedFile;
using testsupport::readFile;

struct Finished {
    int code = -1;
    std::string err;
    QJsonObject json;
};

class CollectCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.portFolder())));
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.data())));
        // As from cron: no display to fall back on.
        if (const char* d = std::getenv("DISPLAY"))
            m_display = d;
        ::unsetenv("DISPLAY");
    }
    void TearDown() override {
        if (!m_display.empty())
            ::setenv("DISPLAY", m_display.c_str(), 1);
    }

    sim::PtyUnit& plug(int n, std::size_t sets = 3, std::size_t records = 40,
                       sim::FaultOptions faults = {}, unsigned baud = 0) {
        sim::SimOptions o;
        o.linkPath = sandbox.portFolder() + "COM" + std::to_string(n);
        o.baud = baud;
        o.dataSets = sim::generateDataSets(sets, records, 0, 1);
        o.faults = faults;
        m_units.push_back(sim::PtyUnit::start(o));
        return *m_units.back();
    }

    std::unique_ptr<testsupport::ChildProcess> start(std::vector<std::string> args) {
        args.push_back("--json");
        return std::make_unique<testsupport::ChildProcess>(XRQ_BIN_DIR "/xrq-collect", args,
                                                           outputFile());
    }
    Finished finish(testsupport::ChildProcess& child) {
        Finished f;
        EXPECT_TRUE(child.waitForExit(90s)) << child.errorOutput();
        f.code = child.exitedNormally() ? child.exitCode() : -1;
        f.err = child.errorOutput();
        QJsonParseError error{};
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray::fromStdString(readFile(outputFile())), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << readFile(outputFile());
        f.json = doc.object();
        return f;
    }
    Finished run(std::vector<std::string> args) { return finish(*start(std::move(args))); }

    // Starts a collector and returns it once its kept copy of the download holds 1000 bytes.
    // The kept copy's folder is watched as it fills (the writes come from another process).
    std::unique_ptr<testsupport::ChildProcess> startUntilKeptStarts(std::vector<std::string> args) {
        const QString folder = QString::fromStdString(sandbox.tempFiles() + "downloads/XRQ10472");
        EXPECT_TRUE(QDir().mkpath(folder));
        QFileSystemWatcher watcher{QStringList{folder}};
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, [&] {
            for (const std::string& f : keptDownloads())
                watcher.addPath(QString::fromStdString(f));
        });
        auto child = start(std::move(args));
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto kept = keptDownloads();
                return kept.size() == 1 && readFile(kept[0]).size() >= 1000;
            },
            60s))
            << child->errorOutput();
        return child;
    }

    std::string outputFile() const { return sandbox.root() + "/collect-output.json"; }
    std::vector<std::string> keptDownloads() const {
        std::vector<std::string> out;
        QDirIterator it(QString::fromStdString(sandbox.tempFiles() + "downloads"), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out.push_back(it.next().toStdString());
        return out;
    }
    int dataFiles() const {
        return int(QDir(QString::fromStdString(sandbox.data())).entryList(QDir::Files).size());
    }

    testsupport::ProgramSandbox sandbox;
    std::vector<std::unique_ptr<sim::PtyUnit>> m_units;

private:
    std::string m_display;
};

TEST_F(CollectCommand, WholeCollectionLeavesFilesKeptCopyAndRegister) {
    sim::PtyUnit& unit = plug(3);
    const auto sets = unit.memory();
    const Finished f = run({"--port", "3", "--dir", sandbox.data(), "--battery", "--set-clock"});
    ASSERT_EQ(f.code, 0) << f.err;

    // The report, as a script reads it.
    EXPECT_EQ(f.json["outcome"].toString(), "safe");
    EXPECT_TRUE(f.json["verified"].toBool());
    EXPECT_EQ(f.json["unit"].toObject()["serial"].toString(), "XRQ10472");
    EXPECT_EQ(f.json["sets"].toInt(), 3);
    // As the unit sent it, not as the window rounds it.
    EXPECT_NEAR(f.json["battery"].toObject()["volts"].toDouble(), 12.61, 1e-9);
    EXPECT_FALSE(f.json["clockSet"].isNull());
    EXPECT_EQ(unit.clockSetCount(), 1);
    EXPECT_GT(f.json["bytes"].toDouble(), 0);

    // Each data set in its file, whole; the raw download kept; nothing cleared.
    const QJsonArray files = f.json["files"].toArray();
    ASSERT_EQ(files.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readFile(files[i].toString().toStdString()), expectedFile(sets[i]));
    const std::string kept = f.json["keptFile"].toString().toStdString();
    EXPECT_EQ(keptDownloads(), std::vector<std::string>{kept});
    EXPECT_EQ(readFile(kept).size(), unit.bytesSentSinceDownload());
    EXPECT_EQ(unit.clearCount(), 0);
    EXPECT_EQ(unit.received().find('*'), std::string::npos);

    // Standard error is no terminal here: the boxes' texts, no progress line.
    EXPECT_NE(f.err.find("Data collected and placed in"), std::string::npos) << f.err;
    EXPECT_EQ(f.err.find('\r'), std::string::npos);

    // The visit as the windowed program records it.
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(sandbox.tempFiles() + unitreg::kFileName).state,
              unitreg::OpenOutcome::State::Open);
    bool visit = false, battery = false, clock = false, download = false;
    for (const unitreg::UnitEvent& e : reg.history("XRQ10472")) {
        visit |= e.kind == unitreg::EventKind::Visit;
        battery |= e.kind == unitreg::EventKind::Battery;
        clock |= e.kind == unitreg::EventKind::ClockSet;
        if (e.kind == unitreg::EventKind::Download) {
            download = true;
            EXPECT_TRUE(e.download.complete && e.download.verified);
            EXPECT_EQ(e.download.keptFile, kept);
            EXPECT_EQ(e.download.files.size(), 3u);
        }
    }
    EXPECT_TRUE(visit && battery && clock && download);

    // The run log ends with the program's end line, the outcome just before it.
    const std::string log = readFile(sandbox.runLog());
    const auto ended = log.rfind("xrq-collect: ended: safe (0)");
    ASSERT_NE(ended, std::string::npos);
    EXPECT_NE(log.find("***** Program End *****", ended), std::string::npos);
}

// --site after the download: an unknown code refused with the data safe and nothing of the
// site recorded; a known one where another unit is recorded gives the swap, with the note.
TEST_F(CollectCommand, ASiteIsRecordedAfterTheDownloadAndAnUnknownOneRefusedWithTheDataSafe) {
    plug(3);
    {
        // What this laptop learnt at its last contact: QK1 at RIVER-03.
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.tempFiles())));
        auto store = fleet::SiteStore::open(sandbox.tempFiles(), true);
        ASSERT_TRUE(store.ok()) << store.text();
        std::vector<fleet::SiteFactRecord> facts(2);
        fleet::Site river;
        river.code = QStringLiteral("RIVER-03");
        river.name = QStringLiteral("Bridge gauge");
        facts[0].kind = fleet::SiteFactKind::Site;
        facts[0].value = river;
        facts[1].kind = fleet::SiteFactKind::Deployment;
        facts[1].value = fleet::Deployment{"QK1", "RIVER-03", 1772323200000, {}, false};
        for (std::size_t i = 0; i < facts.size(); ++i) {
            facts[i].key = fleet::siteFactKey(facts[i].value);
            facts[i].arrival = std::int64_t(i + 1);
        }
        ASSERT_TRUE(store->keepLearnt(facts, {}, 1772323200000).ok());
    }
    const std::string sites = sandbox.tempFiles() + fleet::kSitesFileName;
    Finished f = run(
        {"--port", "3", "--dir", sandbox.data(), "--site", "RIVER-9", "--note", "Cable chewed"});
    EXPECT_EQ(f.code, int(Exit::SiteRefused)) << f.err;
    EXPECT_EQ(f.json["outcome"].toString(), "site-refused");
    EXPECT_TRUE(f.json["verified"].toBool()) << "the download is done and safe first";
    EXPECT_EQ(dataFiles(), 3);
    EXPECT_NE(f.err.find("unknown site \"RIVER-9\""), std::string::npos) << f.err;
    EXPECT_EQ(fleet::Outbox::waitingIn(sites), 0);

    f = run({"--port", "3", "--dir", sandbox.data(), "--site", "RIVER-03", "--note",
             "Battery low, swapped", "--note-category", "maintenance"});
    ASSERT_EQ(f.code, 0) << f.err;
    const QJsonObject site = f.json["site"].toObject();
    EXPECT_EQ(site["recorded"].toString(), "swap");
    EXPECT_EQ(site["removed"].toArray(), QJsonArray{"QK1"});
    EXPECT_TRUE(site["note"].toBool());
    EXPECT_EQ(fleet::Outbox::waitingIn(sites), 3)
        << "QK1's removal, this unit's deployment, the note";
}

// xrq-collect is no windowed program: with no Qt platform plugin to be found (a server
// without the GUI packages' plugins, a cron job's bare environment) it collects all the same.
TEST_F(CollectCommand, CollectsWithNoQtPlatformPluginReachable) {
    sim::PtyUnit& unit = plug(3);
    const std::string empty = sandbox.root() + "/no-plugins";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(empty)));
    const char* names[] = {"QT_QPA_PLATFORM", "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_PLUGIN_PATH"};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    auto restore = qScopeGuard([&] {
        for (const auto& [name, value] : saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    });
    ::unsetenv("QT_QPA_PLATFORM");
    ::setenv("QT_QPA_PLATFORM_PLUGIN_PATH", empty.c_str(), 1);
    ::setenv("QT_PLUGIN_PATH", empty.c_str(), 1);

    const Finished f = run({"--port", "3", "--dir", sandbox.data(), "--battery"});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.json["outcome"].toString(), "safe");
    EXPECT_EQ(f.json["unit"].toObject()["serial"].toString(), "XRQ10472");
    EXPECT_NEAR(f.json["battery"].toObject()["volts"].toDouble(), 12.61, 1e-9);
    EXPECT_EQ(f.json["files"].toArray().size(), 3);
    EXPECT_EQ(dataFiles(), 3);
    EXPECT_GT(unit.bytesSentSinceDownload(), 0u);
    EXPECT_EQ(f.err.find("platform plugin"), std::string::npos) << f.err;
}

TEST_F(CollectCommand, EachFailureHasItsExitStatusAndSendsNothingItShouldNot) {
    // No unit: the port answers nothing to the serial-number request.
    {
        sim::FaultOptions mute;
        mute.ignoredCommands = "R!";
        plug(4, 1, 5, mute);
        const Finished f = run({"--port", "4", "--dir", sandbox.data()});
        EXPECT_EQ(f.code, int(Exit::NoUnit)) << f.err;
        EXPECT_EQ(f.json["outcome"].toString(), "no-unit");
    }
    // A port that stands for nothing.
    EXPECT_EQ(run({"--port", "9", "--dir", sandbox.data()}).code, int(Exit::PortMissing));
    // A port another program holds with a plain open: never shared.
    {
        sim::PtyUnit& unit = plug(5);
        const int held = ::open(unit.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(held, 0);
        const Finished f = run({"--port", "5", "--dir", sandbox.data()});
        ::close(held);
        EXPECT_EQ(f.code, int(Exit::PortInUse)) << f.err;
        EXPECT_EQ(unit.received(), "");
    }
    // A device this user may not open (root may open anything, so only an ordinary user sees
    // it).
    if (::geteuid() != 0) {
        sim::PtyUnit& unit = plug(10);
        ASSERT_EQ(::chmod(unit.slavePath().c_str(), 0), 0);
        const Finished f = run({"--port", "10", "--dir", sandbox.data()});
        EXPECT_EQ(f.code, int(Exit::PermissionDenied)) << f.err;
    }
    // Without --port: the port saved in the settings, busy or not, never another one; and
    // none saved, none guessed.
    {
        EXPECT_EQ(run({"--dir", sandbox.data()}).code, int(Exit::PortMissing));
        sim::PtyUnit& saved = plug(11);
        sim::PtyUnit& other = plug(12);
        std::ofstream(sandbox.settingsFile()) << "[Serial]\r\nPort=11\r\n";
        const int held = ::open(saved.slavePath().c_str(), O_RDWR | O_NOCTTY);
        const Finished f = run({"--dir", sandbox.data()});
        ::close(held);
        EXPECT_EQ(f.code, int(Exit::PortInUse)) << f.err;
        EXPECT_EQ(other.received(), "");
    }
    // A data directory that cannot take files: refused before the unit is asked anything.
    {
        sim::PtyUnit& unit = plug(6);
        const Finished f = run({"--port", "6", "--dir", sandbox.root() + "/no/such/folder/"});
        EXPECT_EQ(f.code, int(Exit::DataDirectoryUnusable)) << f.err;
        EXPECT_EQ(unit.received(), "");
    }
    // A second collector on the port: the first one's lock is found.
    {
        sim::PtyUnit& unit = plug(7);
        // "/dev/pts/7" works in "collect/pts_7/".
        QString key = QFileInfo(QString::fromStdString(unit.slavePath())).canonicalFilePath();
        key = key.mid(int(std::strlen("/dev/"))).replace(QLatin1Char('/'), QLatin1Char('_'));
        const std::string folder = sandbox.tempFiles() + "collect/" + key.toStdString() + "/";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
        const int lock = ::open((folder + "xrq-collect.lock").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(::flock(lock, LOCK_EX), 0);
        const Finished f = run({"--port", "7", "--dir", sandbox.data()});
        ::close(lock);
        EXPECT_EQ(f.code, int(Exit::AlreadyRunning)) << f.err;
        EXPECT_EQ(unit.received(), "");
    }
    // A download cut short: not safe, and what came is kept.
    {
        sim::FaultOptions cut;
        cut.silentAfterBytes = 3000;
        plug(8, 3, 200, cut);
        const Finished f = run({"--port", "8", "--dir", sandbox.data()});
        EXPECT_EQ(f.code, int(Exit::DownloadIncomplete)) << f.err;
        EXPECT_FALSE(f.json["verified"].toBool());
        const std::string kept = f.json["keptFile"].toString().toStdString();
        EXPECT_EQ(readFile(kept).size(), 3000u);
    }
    EXPECT_EQ(dataFiles(), 0);
}

// A device named by a path of its own (a by-id link), which no COM number stands for, and a
// quiet run: nothing on standard error when all went well.
TEST_F(CollectCommand, DeviceByPathQuietly) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::generateDataSets(2, 10, 0, 1);
    m_units.push_back(sim::PtyUnit::start(o));
    const std::string byId = sandbox.root() + "/usb-XRQ_unit-if00";
    ASSERT_EQ(::symlink(m_units.back()->slavePath().c_str(), byId.c_str()), 0);
    const Finished f = run({"--device", byId, "--dir", sandbox.data(), "--quiet"});
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.json["sets"].toInt(), 2);
    EXPECT_EQ(f.json["unit"].toObject()["device"].toString().toStdString(),
              m_units.back()->slavePath());
    EXPECT_EQ(dataFiles(), 2);
}

TEST_F(CollectCommand, SigtermStopsTheDownloadAndKeepsWhatArrived) {
    // At the line's own rate the download takes some seconds: time to stop it midway.
    sim::PtyUnit& unit = plug(3, 3, 200, {}, 19200);
    auto child = startUntilKeptStarts({"--port", "3", "--dir", sandbox.data()});
    ASSERT_FALSE(HasFailure());
    ::kill(child->pid(), SIGTERM);
    const Finished f = finish(*child);
    EXPECT_EQ(f.code, int(Exit::Stopped)) << f.err;
    // What arrived is kept, and the report counts it.
    const std::string kept = readFile(keptDownloads().at(0));
    EXPECT_GE(kept.size(), 1000u);
    EXPECT_EQ(double(kept.size()), f.json["bytes"].toDouble());
    EXPECT_LT(kept.size(), unit.bytesSentSinceDownload() + 1);
    EXPECT_EQ(dataFiles(), 0);
    EXPECT_EQ(unit.clearCount(), 0);
}

// A collector killed in the middle of a download leaves the unit sending the rest of it. The
// next collector, started at once, waits for the unit to finish (it would otherwise take the
// stream for no answer and end with "no unit"), keeps what came as the tail of that earlier
// download, and then collects as usual.
TEST_F(CollectCommand, UnitStillSendingAKilledRunsDownloadIsWaitedForAndItsTailKept) {
    sim::PtyUnit& unit = plug(3, 3, 300, {}, 57600);
    {
        auto first = startUntilKeptStarts({"--port", "3", "--dir", sandbox.data()});
        ASSERT_FALSE(HasFailure());
        ::kill(first->pid(), SIGKILL);
        ASSERT_TRUE(first->waitForExit(30s));
    }
    const std::string cut = keptDownloads().at(0);
    const Finished f = run({"--port", "3", "--dir", sandbox.data()});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(f.json["sets"].toInt(), 3);
    EXPECT_NE(f.err.find("was still sending an earlier download"), std::string::npos) << f.err;
    const QJsonArray warnings = warningsBesideLineErrors(f.json["warnings"].toArray());
    ASSERT_EQ(warnings.size(), 1) << f.err;
    EXPECT_NE(warnings[0].toString().indexOf(QLatin1String("still sending an earlier download")),
              -1);

    // The tail is a kept download of its own: a later part of the same answer, up to its
    // prompt, which the new download then holds whole.
    std::string tail;
    for (const std::string& k : keptDownloads())
        if (k.size() > 9 && k.compare(k.size() - 9, 9, "_tail.txt") == 0)
            tail = readFile(k);
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), '>');
    const std::string whole = readFile(f.json["keptFile"].toString().toStdString());
    EXPECT_NE(whole.find(tail), std::string::npos);
    // The cut one is the same answer's start (its header line carries the unit's clock).
    const auto dump = [](const std::string& text) { return text.substr(text.find("FILE DUMP")); };
    EXPECT_EQ(dump(whole).rfind(dump(readFile(cut)), 0), 0u);
    EXPECT_EQ(keptDownloads().size(), 3u);
    EXPECT_EQ(unit.clearCount(), 0);
}

// A --json report that cannot be written fails the run (exit 1), however well the download
// went: to a full device, and to a standard output that was closed (where no file the run
// opens may take its place and receive the report).
TEST_F(CollectCommand, AJsonReportThatCannotBeWrittenFailsTheRun) {
    plug(3, 1, 5);
    const std::string bin = XRQ_BIN_DIR "/xrq-collect";
    const std::vector<std::string> args{"--port", "3", "--dir", sandbox.data(), "--json"};
    struct Way {
        const char* what;
        std::string program;
        std::vector<std::string> args;
        std::string output;
    };
    std::vector<std::string> closedArgs{"-c", "exec \"$0\" \"$@\" >&-", bin};
    closedArgs.insert(closedArgs.end(), args.begin(), args.end());
    const Way ways[] = {
        {"a full device", bin, args, "/dev/full"},
        {"a closed output", "/bin/sh", closedArgs, ""},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.what);
        testsupport::ChildProcess child(way.program, way.args, way.output);
        ASSERT_TRUE(child.waitForExit(90s)) << child.errorOutput();
        EXPECT_TRUE(child.exitedNormally());
        EXPECT_EQ(child.exitCode(), int(Exit::Failed)) << child.errorOutput();
        EXPECT_NE(child.errorOutput().find("cannot write the --json report"), std::string::npos)
            << child.errorOutput();
        EXPECT_NE(child.errorOutput().find("ended safe (0)"), std::string::npos);
    }
    // The report went into none of the run's own files.
    QDirIterator it(QString::fromStdString(sandbox.tempFiles()), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const std::string path = it.next().toStdString();
        EXPECT_EQ(readFile(path).find("{\"battery\""), std::string::npos) << path;
    }
    EXPECT_EQ(dataFiles(), 2);
}

// The windowed program and the collector on one port, in both orders: the second is told the
// port is in use and sends nothing; the first's download is whole.
TEST_F(CollectCommand, WindowedProgramAndCollectorRefuseEachOther) {
    ASSERT_TRUE(sandbox.enterWork());
    dialogs::ScriptedDialogs boxes;
    CreateProgramWindows(sandbox.locations());
    auto windows = qScopeGuard([] {
        if (FormSerial && FormSerial->PortOpen)
            FormSerial->iClosePort();
        if (FormXRQMain)
            FormXRQMain->close();
        DestroyProgramWindows();
    });
    FormXRQMain->show();

    sim::PtyUnit& unit = plug(3, 3, 400);
    // The program notices the new port after a settle and closes its own port on an arrival:
    // Connect once the arrival is announced, as an operator plugs in and then connects (a
    // slow run would otherwise see its port closed under it).
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            for (const auto& b : boxes.shown)
                if (b.text == "Com port COM3 added to system!")
                    return true;
            return false;
        },
        60s));
    FormSerial->ComPortNumber = 3;
    FormXRQMain->ActionConnectExecute(nullptr);
    ASSERT_TRUE(FormSerial->PortOpen);
    const std::string before = unit.received();
    const Finished refused = run({"--port", "3", "--dir", sandbox.data()});
    EXPECT_EQ(refused.code, int(Exit::PortInUse)) << refused.err;
    EXPECT_EQ(unit.received(), before);

    // Now the collector first, its download slowed by a pause; the window's Connect meanwhile.
    FormSerial->iClosePort();
    sim::FaultOptions pause;
    pause.pauseAtByte = 1000;
    pause.pauseMs = 3000;
    unit.setFaults(pause);
    auto child = start({"--port", "3", "--dir", sandbox.data()});
    ASSERT_TRUE(unit.waitForReceived("RF", 60s)) << child->errorOutput();
    const std::string during = unit.received();
    const std::size_t mark = boxes.shown.size();
    FormXRQMain->ActionConnectExecute(nullptr);
    EXPECT_FALSE(FormSerial->PortOpen);
    bool toldInUse = false;
    for (std::size_t i = mark; i < boxes.shown.size(); ++i)
        toldInUse |= boxes.shown[i].text.find("in use") != std::string::npos;
    EXPECT_TRUE(toldInUse);
    const Finished f = finish(*child);
    EXPECT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(unit.received(), during);
    EXPECT_EQ(f.json["sets"].toInt(), 3);
}

} // namespace

// Damaged downloads, as a disturbed line makes them: the files are written as the lines
// came, but the outcome is "not verified" (exit 7) with its reasons; clean downloads that
// only look unusual, behind noise before every answer, stay safe.
TEST_F(CollectCommand, DamagedDownloadsExitSevenWithTheirReasonsAndUnusualOnesStaySafe) {
    const struct {
        const char* what;
        void (*damage)(sim::FaultOptions&);
        const char* reason;
    } damaged[] = {
        {"first header", [](sim::FaultOptions& f) { f.damagedFirstHeader = true; },
         "records before the first data set's name"},
        {"'No' line", [](sim::FaultOptions& f) { f.noLineAfterFirstSet = true; },
         "a line beginning 'No' after data set"},
        {"control bytes", [](sim::FaultOptions& f) { f.controlBytesInData = true; },
         "control bytes in the download's lines"},
    };
    int port = 20;
    for (const auto& c : damaged) {
        sim::FaultOptions faults;
        c.damage(faults);
        plug(port, 3, 10, faults);
        const Finished f = run({"--port", std::to_string(port++), "--dir", sandbox.data()});
        EXPECT_EQ(f.code, int(Exit::DownloadIncomplete)) << c.what << ": " << f.err;
        EXPECT_EQ(f.json["verdict"].toString(), "not verified") << c.what;
        EXPECT_FALSE(f.json["safe"].toBool()) << c.what;
        EXPECT_EQ(f.json["lineErrors"].toString(), "not checked") << c.what;
        const QJsonArray reasons = f.json["reasons"].toArray();
        ASSERT_EQ(reasons.size(), 1) << c.what;
        EXPECT_TRUE(reasons[0].toString().contains(QString::fromLatin1(c.reason)))
            << c.what << ": " << reasons[0].toString().toStdString();
    }

    sim::SimOptions o;
    o.linkPath = sandbox.portFolder() + "COM30";
    o.baud = 0;
    o.dataSets = sim::unusualDataSets();
    for (const auto& s : sim::hostileDataSets())
        o.dataSets.push_back(s);
    for (const auto& s : sim::longLineDataSets())
        o.dataSets.push_back(s);
    o.faults.noiseBytes = 40;
    m_units.push_back(sim::PtyUnit::start(o));
    const Finished f = run({"--port", "30", "--dir", sandbox.data()});
    EXPECT_EQ(f.code, 0) << f.err << " " << f.json["message"].toString().toStdString();
    EXPECT_EQ(f.json["verdict"].toString(), "safe");
    EXPECT_TRUE(f.json["reasons"].toArray().isEmpty());
}
