// SPDX-License-Identifier: GPL-3.0-or-later
// Two collectors on two units, their conversions overlapping, each killed with SIGKILL in the
// middle of one: a survivor never touches the other's download, and the next start offers an
// orphan once, into the data folder it was meant for. The conversions are held in their
// middle from outside: strace delays the call that gives a data file its name.
#include "collect/collect_support.h"
#include "download/recovery_marker.h"
#include "support/child_process.h"
#include "support/program_sandbox.h"
#include "support/wait.h"
#include "tools/sim/data_set.h"
#include "tools/sim/pty_unit.h"

#include <QDir>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

using testsupport::warningsBesideLineErrors;
using namespace std::chrono_literals;
using testsupport::waitUntil;
namespace fs = std::filesystem;

using testsupport::expectedFile;
using testsupport::readFile;

// Data files in a folder (a conversion cut in its middle leaves its temporary file too).
std::vector<std::string> dataFiles(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().rfind("XRQ-incomplete-", 0) != 0)
            out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class CollectRecovery : public ::testing::Test {
protected:
    struct Unit {
        std::unique_ptr<sim::PtyUnit> sim;
        int port;
        std::string data;
    };

    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        m_strace = QStandardPaths::findExecutable(QStringLiteral("strace")).toStdString();
        for (int i = 0; i < 2; ++i) {
            Unit& u = units[i];
            u.port = 3 + i;
            u.data = sandbox.root() + (i == 0 ? "/dataA/" : "/dataB/");
            fs::create_directories(u.data);
            sim::SimOptions o;
            o.linkPath = sandbox.portFolder() + "COM" + std::to_string(u.port);
            o.baud = 0;
            o.serialNumber = i == 0 ? "XRQAAAAA" : "XRQBBBBB";
            o.dataSets = sim::generateDataSets(1, 30, 0, 1 + i);
            u.sim = sim::PtyUnit::start(o);
        }
        fs::create_directories(markers());
        m_watcher.addPath(QString::fromStdString(markers()));
    }
    void TearDown() override {
        for (pid_t pid : m_collectors)
            ::kill(pid, SIGKILL);
    }

    std::string markers() const { return download::pendingConversionsFolder(sandbox.tempFiles()); }

    // A collector for unit i; with a delay, every data file's naming waits that long.
    std::unique_ptr<testsupport::ChildProcess> start(int i, std::chrono::seconds delay = 0s) {
        std::vector<std::string> args{XRQ_BIN_DIR "/xrq-collect",
                                      "--port",
                                      std::to_string(units[i].port),
                                      "--dir",
                                      units[i].data,
                                      "--json"};
        std::string program = args.front();
        if (delay.count() > 0) {
            program = m_strace;
            const std::string us = std::to_string(
                std::chrono::duration_cast<std::chrono::microseconds>(delay).count());
            // The leak checker cannot run under a tracer (it ends the traced program with a
            // failure); the suite's other runs are leak-checked untraced.
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string noLeaks = std::string("ASAN_OPTIONS=") +
                                        (asan && *asan ? std::string(asan) + ":" : "") +
                                        "detect_leaks=0";
            args.insert(args.begin(),
                        {"-f", "-qq", "--seccomp-bpf", "-o", "/dev/null", "-E", noLeaks, "-e",
                         "trace=renameat2", "-e", "inject=renameat2:delay_enter=" + us});
        } else {
            args.erase(args.begin());
        }
        return std::make_unique<testsupport::ChildProcess>(program, args, output(++m_runs));
    }
    std::string output(int run) const {
        return sandbox.root() + "/run" + std::to_string(run) + ".json";
    }
    QJsonObject json(int run) const {
        return QJsonDocument::fromJson(QByteArray::fromStdString(readFile(output(run)))).object();
    }

    // The markers on the disk, as they read.
    std::vector<download::PendingConversion> pending() const {
        std::vector<download::PendingConversion> out;
        for (const auto& e : fs::directory_iterator(markers()))
            if (e.path().filename().string().front() != '.')
                if (auto p = download::parseMarkerText(readFile(e.path().string())))
                    out.push_back(*p);
        return out;
    }
    // Waits until a collector converts into unit i's folder; its process number.
    pid_t convertingInto(int i, testsupport::ChildProcess& child) {
        pid_t pid = 0;
        const bool seen = waitUntil(
            [&] {
                for (const auto& p : pending())
                    if (p.dataPrefix == units[i].data)
                        pid = pid_t(p.process);
                return pid != 0 || child.waitForExit(0ms);
            },
            90s);
        EXPECT_TRUE(seen && pid != 0) << child.errorOutput();
        if (pid)
            m_collectors.push_back(pid);
        return pid;
    }

    testsupport::ProgramSandbox sandbox;
    Unit units[2];
    std::string m_strace;

private:
    QFileSystemWatcher m_watcher;
    std::vector<pid_t> m_collectors;
    int m_runs = 0;
};

TEST_F(CollectRecovery, KilledConversionsStayTheirOwnAndAreOfferedOnceIntoTheirFolders) {
    if (m_strace.empty())
        GTEST_SKIP() << "strace is not installed";
    // Tracing may be refused (a container without ptrace).
    {
        testsupport::ChildProcess probe(m_strace, {"-qq", "-o", "/dev/null", "true"});
        ASSERT_TRUE(probe.waitForExit(30s));
        if (probe.exitCode() != 0)
            GTEST_SKIP() << "tracing is not permitted here: " << probe.errorOutput();
    }
    const std::string setA = expectedFile(units[0].sim->memory().at(0));
    const std::string setB = expectedFile(units[1].sim->memory().at(0));

    // A converts, held in its middle. B starts meanwhile: A's marker is held, so B leaves it
    // alone; B converts in its turn, and A is killed while both are in their middle.
    auto a = start(0, 120s);
    const pid_t pidA = convertingInto(0, *a);
    ASSERT_NE(pidA, 0);
    auto b = start(1, 6s);
    ASSERT_NE(convertingInto(1, *b), 0);
    ASSERT_EQ(::kill(pidA, SIGKILL), 0);
    ::kill(a->pid(), SIGKILL); // the tracer would sit out its delay first
    ASSERT_TRUE(a->waitForExit(60s));
    ASSERT_TRUE(b->waitForExit(90s));
    EXPECT_EQ(b->exitCode(), 0) << b->errorOutput();
    EXPECT_TRUE(warningsBesideLineErrors(json(2)["warnings"].toArray()).isEmpty())
        << b->errorOutput();
    EXPECT_EQ(b->errorOutput().find("was not converted"), std::string::npos);
    EXPECT_EQ(dataFiles(units[1].data).size(), 1u);
    EXPECT_TRUE(dataFiles(units[0].data).empty());
    // A's marker outlived it, naming its own download and folder.
    auto left = pending();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].dataPrefix, units[0].data);
    EXPECT_EQ(left[0].process, long(pidA));
    const std::string keptA = left[0].download;
    EXPECT_NE(keptA.find("/downloads/XRQAAAAA/"), std::string::npos) << keptA;

    // B starts again: A's orphan is offered once and goes into A's folder, not B's. Then B is
    // killed in the middle of its own conversion.
    auto b2 = start(1, 10s);
    const pid_t pidB2 = convertingInto(1, *b2);
    ASSERT_NE(pidB2, 0);
    ASSERT_EQ(::kill(pidB2, SIGKILL), 0);
    ::kill(b2->pid(), SIGKILL);
    ASSERT_TRUE(b2->waitForExit(60s));
    const auto offers = [](const std::string& err) {
        std::size_t n = 0;
        for (auto at = err.find("was not converted"); at != std::string::npos;
             at = err.find("was not converted", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(offers(b2->errorOutput()), 1u) << b2->errorOutput();
    EXPECT_NE(b2->errorOutput().find(keptA), std::string::npos);
    ASSERT_EQ(dataFiles(units[0].data).size(), 1u);
    EXPECT_EQ(readFile(units[0].data + dataFiles(units[0].data)[0]), setA);
    EXPECT_EQ(dataFiles(units[1].data).size(), 1u);
    left = pending();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].dataPrefix, units[1].data);
    EXPECT_EQ(left[0].process, long(pidB2));

    // A's next run offers B's orphan once, into B's folder, and collects its own as usual.
    auto a2 = start(0);
    ASSERT_TRUE(a2->waitForExit(90s));
    EXPECT_EQ(a2->exitCode(), 0) << a2->errorOutput();
    EXPECT_EQ(offers(a2->errorOutput()), 1u) << a2->errorOutput();
    const QJsonArray warnings = warningsBesideLineErrors(json(4)["warnings"].toArray());
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_NE(warnings[0].toString().toStdString().find("converted into " + units[1].data),
              std::string::npos);
    EXPECT_EQ(dataFiles(units[0].data).size(), 2u);
    const auto filesB = dataFiles(units[1].data);
    ASSERT_EQ(filesB.size(), 2u);
    for (const std::string& f : filesB)
        EXPECT_EQ(readFile(units[1].data + f), setB) << f;
    EXPECT_TRUE(pending().empty());
    EXPECT_TRUE(QDir(QString::fromStdString(markers())).isEmpty());
}

} // namespace
