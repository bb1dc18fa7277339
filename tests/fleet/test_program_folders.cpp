// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing as the programs do it: xrq-collect downloads a simulated unit in a program folder of
// its own (its own home, files folder and laptop name), writes its facts into the register's
// and the series' outboxes, and pushes them at its end; xrq-series reads a series back from
// the server. Two folders meet on one server, which stops and starts between them.
#include "fleet_fixture.h"

#include "collect/collect_support.h"
#include "fleet/fleet_settings.h"
#include "fleet/server_history.h"
#include "series/series_store.h"
#include "support/child_process.h"
#include "support/program_sandbox.h"
#include "support/result_assert.h"
#include "tools/sim/data_set.h"
#include "tools/sim/pty_unit.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>

namespace fleettest {
namespace {

constexpr const char* kSerial = "XRQ10472"; // the simulator's

struct Finished {
    int code = -1;
    std::string err;
    QJsonObject json;
    std::string out;
};

// One program folder: a sandbox's home (its files folder, port folder, data directory), the
// laptop name in its fleet.ini, and the simulated unit on its COM3.
class Folder {
public:
    // `seed`: the unit's records (another seed, other records: the memory after a clear).
    explicit Folder(const std::string& laptop, const std::string& service = {}, unsigned seed = 1) {
        ok = sandbox.ok() && QDir().mkpath(QString::fromStdString(sandbox.portFolder())) &&
             QDir().mkpath(QString::fromStdString(sandbox.data())) &&
             fleet::writeFleetSettings(sandbox.tempFiles(), {QString::fromStdString(service),
                                                             QString::fromStdString(laptop)});
        sim::SimOptions o;
        o.linkPath = sandbox.portFolder() + "COM3";
        o.dataSets = sim::generateDataSets(2, 30, 0, seed);
        unit = sim::PtyUnit::start(o);
    }

    // A program of the build run in this folder's home (the environment of the sandbox made
    // last is the process's; each child gets its own folder's).
    Finished run(const std::string& program, std::vector<std::string> args) {
        std::vector<std::string> all{
            "HOME=" + sandbox.home(),
            "XDG_CONFIG_HOME=" + sandbox.home() + "/.config",
            "XDG_DATA_HOME=" + sandbox.appData(),
            "XDG_CACHE_HOME=" + sandbox.home() + "/.cache",
            "XDG_RUNTIME_DIR=" + sandbox.home() + "/runtime",
            std::string(XRQ_BIN_DIR "/") + program,
        };
        all.insert(all.end(), args.begin(), args.end());
        const std::string output = sandbox.root() + "/output";
        testsupport::ChildProcess child("/usr/bin/env", all, output);
        Finished f;
        EXPECT_TRUE(child.waitForExit(120s)) << child.errorOutput();
        f.code = child.exitedNormally() ? child.exitCode() : -1;
        f.err = child.errorOutput();
        f.out = testsupport::readFile(output);
        f.json = QJsonDocument::fromJson(QByteArray::fromStdString(f.out)).object();
        return f;
    }

    Finished collect(std::vector<std::string> extra) {
        std::vector<std::string> args{"--port", "3", "--dir", sandbox.data(), "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run("xrq-collect", args);
    }

    std::string files() const { return sandbox.tempFiles(); }

    // The series this laptop holds, read from its own series.sqlite.
    std::vector<series::SeriesInfo> seriesHere() const {
        series::SeriesStore store;
        EXPECT_TRUE(done(store.open(files() + series::kFileName)));
        return store.list();
    }

    testsupport::ProgramSandbox sandbox;
    std::unique_ptr<sim::PtyUnit> unit;
    bool ok = false;
};

class FleetPrograms : public FleetServerTest {
protected:
    // Visits of the unit in the organisation's history as `laptop` reads it: by its
    // recorder, and whether marked as another laptop's.
    std::map<std::pair<std::string, bool>, int> visits(const std::string& service,
                                                       const std::string& laptop) {
        const fleet::ServerHistory h =
            fleet::readUnitHistory(fleet::serviceConninfo(service), QString::fromLatin1(kSerial),
                                   QString::fromStdString(laptop));
        EXPECT_TRUE(h.ok) << h.message.toStdString();
        std::map<std::pair<std::string, bool>, int> out;
        for (const fleet::HistoryEntry& e : h.entries)
            if (e.kind == QLatin1String("visit"))
                ++out[{e.laptop.toStdString(), e.otherLaptop}];
        return out;
    }
};

TEST_F(FleetPrograms, TwoFoldersSeeEachOthersVisitsAcrossAServerRestart) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    Folder a("laptop-a");
    Folder b("laptop-b", "laptop_b"); // its service chosen in Setup (fleet.ini)
    ASSERT_TRUE(a.ok && b.ok);

    // A pushes at its end (the service given on its command line).
    Finished f = a.collect({"--service", "laptop_a", "--push-wait", "60"});
    ASSERT_EQ(f.code, 0) << f.err;
    QJsonObject shared = f.json["shared"].toObject();
    EXPECT_EQ(shared["status"].toString(), "shared: up to date") << f.out;
    EXPECT_EQ(shared["waiting"].toInt(), 0);
    // The visit, the download and its kept copy, and two data sets' records.
    EXPECT_GE(shared["pushed"].toInt(), 3 + 60);

    // The server goes down; B's collection is as safe as ever, its facts wait.
    ASSERT_TRUE(server.stop());
    f = b.collect({"--push-wait", "2"});
    ASSERT_EQ(f.code, 0) << "a push that cannot finish changes nothing of the status\n" << f.err;
    shared = f.json["shared"].toObject();
    EXPECT_GT(shared["waiting"].toInt(), 0) << f.out;
    EXPECT_EQ(shared["pushed"].toInt(), 0);
    EXPECT_TRUE(shared["status"].toString().contains("server not reachable")) << f.out;

    // Back up: B's next run pushes what waited too.
    ASSERT_TRUE(server.start());
    f = b.collect({"--push-wait", "60"});
    ASSERT_EQ(f.code, 0) << f.err;
    shared = f.json["shared"].toObject();
    EXPECT_EQ(shared["waiting"].toInt(), 0) << f.out;
    EXPECT_EQ(shared["status"].toString(), "shared: up to date");

    // Each laptop reads the other's visits, marked with its name.
    using Seen = std::map<std::pair<std::string, bool>, int>;
    EXPECT_EQ(visits("laptop_a", "laptop-a"),
              (Seen{{{"laptop-a", false}, 1}, {{"laptop-b", true}, 2}}));
    EXPECT_EQ(visits("laptop_b", "laptop-b"),
              (Seen{{{"laptop-a", true}, 1}, {{"laptop-b", false}, 2}}));
    // The same unit's records, brought by both, are kept once and told as no conflict.
    EXPECT_EQ(count("xrq.series_facts"), 60);
    EXPECT_EQ(count("xrq.kept_downloads"), 3);

    // Not shared: the report says so.
    Folder c("laptop-c");
    ASSERT_TRUE(c.ok);
    f = c.collect({});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_TRUE(f.json.contains("shared") && f.json["shared"].isNull()) << f.out;
}

TEST_F(FleetPrograms, AnOutboxPushedTwiceAddsNothingAndTheServersExportIsTheLocalOne) {
    addLaptop("laptop_a");
    Folder a("laptop-a");
    ASSERT_TRUE(a.ok);
    Finished f = a.collect({"--service", "laptop_a"}); // no wait: everything stays waiting
    ASSERT_EQ(f.code, 0) << f.err;
    const int waiting = f.json["shared"].toObject()["waiting"].toInt();
    EXPECT_GE(waiting, 3 + 60) << f.out;

    // A copy of the outboxes as they are (the collector has ended: no log beside them).
    const std::string copy = file("copy/");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(copy)));
    const std::vector<std::string> names{"units.sqlite", "series.sqlite"};
    for (const std::string& n : names)
        std::filesystem::copy_file(a.files() + n, copy + n);

    auto push = [&](const std::string& folder) {
        fleet::Pusher p(config("laptop_a", {folder + names[0], folder + names[1]}));
        p.start();
        EXPECT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
        const fleet::PushStatus s = p.status();
        p.stop();
        return s;
    };
    const fleet::PushStatus first = push(a.files());
    EXPECT_EQ(first.pushed, waiting);
    const auto events = count("xrq.events"), records = count("xrq.series_facts"),
               kept = count("xrq.kept_downloads");
    EXPECT_EQ(records, 60);
    const fleet::PushStatus second = push(copy);
    EXPECT_EQ(second.conflicts, 0) << "the same facts, the same content";
    EXPECT_EQ(count("xrq.events"), events);
    EXPECT_EQ(count("xrq.series_facts"), records);
    EXPECT_EQ(count("xrq.kept_downloads"), kept);

    // Each series read back from the server exports as the local one does (the classic
    // layout, whose comment lines count the records and segments).
    const std::vector<series::SeriesInfo> all = a.seriesHere();
    ASSERT_EQ(all.size(), 2u);
    for (const series::SeriesInfo& info : all) {
        SCOPED_TRACE(info.name);
        const Finished local = a.run("xrq-series", {"--files-folder", a.files(), "export",
                                                    "--layout", "classic", info.serial, info.name});
        ASSERT_EQ(local.code, 0) << local.err;
        const Finished fromServer =
            a.run("xrq-series", {"--files-folder", a.files(), "export", "--layout", "classic",
                                 "--service", "laptop_a", info.serial, info.name});
        ASSERT_EQ(fromServer.code, 0) << fromServer.err;
        EXPECT_EQ(fromServer.out, local.out);
        EXPECT_NE(local.out.find("# records: 30 in 1 segment"), std::string::npos) << local.out;
    }
    // The server's administration from the same program: the schema is up to date.
    const Finished admin =
        a.run("xrq-series", {"admin", "init-server", "--service", ownerService()});
    EXPECT_EQ(admin.code, 0) << admin.err;
    EXPECT_NE(admin.out.find("up to date"), std::string::npos) << admin.out;
    EXPECT_EQ(a.run("xrq-series", {"admin", "init-server"}).code, 1) << "no service: usage";
    // A series the server does not hold is said so.
    const Finished none = a.run("xrq-series", {"export", "--service", "laptop_a", "NOUNIT", "X"});
    EXPECT_EQ(none.code, 7) << none.err;
}

// Laptop A downloads the unit and clears it; laptop B, which never heard of that clear,
// downloads what the unit logged since. Both push: the server's series, read from either
// laptop, holds both laptops' records, each once.
TEST_F(FleetPrograms, AClearOneLaptopMissedLeavesBothLaptopsRecordsInTheServersSeries) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    Folder a("laptop-a", "laptop_a");
    Folder b("laptop-b", "laptop_b", 2);
    ASSERT_TRUE(a.ok && b.ok);
    Finished f = a.collect({"--clear", "--push-wait", "60"});
    ASSERT_EQ(f.code, 0) << f.err;
    f = b.collect({"--push-wait", "60"});
    ASSERT_EQ(f.code, 0) << f.err;
    EXPECT_EQ(count("xrq.series_facts"), 120);
    const std::vector<series::SeriesInfo> all = a.seriesHere();
    ASSERT_EQ(all.size(), 2u);
    for (const series::SeriesInfo& info : all) {
        SCOPED_TRACE(info.name);
        const Finished fromA = a.run("xrq-series", {"export", "--layout", "classic", "--service",
                                                    "laptop_a", info.serial, info.name});
        ASSERT_EQ(fromA.code, 0) << fromA.err;
        EXPECT_NE(fromA.out.find("# records: 60 in 2 segments, 0 provisional\r\n"),
                  std::string::npos)
            << fromA.out.substr(0, 1500);
        const Finished fromB = b.run("xrq-series", {"export", "--layout", "classic", "--service",
                                                    "laptop_b", info.serial, info.name});
        ASSERT_EQ(fromB.code, 0) << fromB.err;
        EXPECT_EQ(fromB.out, fromA.out);
    }
}

} // namespace
} // namespace fleettest
