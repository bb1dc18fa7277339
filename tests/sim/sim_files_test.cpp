// SPDX-License-Identifier: GPL-3.0-or-later
// Data files, the state file, the command line and the saved port number.
#include "support/read_file.h"
#include "tools/sim/data_set.h"
#include "tools/sim/sim_options.h"
#include "tools/sim/state_file.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <stdexcept>

using namespace std::chrono_literals;
using sim::DataSet;

namespace {

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

using testsupport::readFile;

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(DataFile, ParsesSetsAndSkipsCommentsAndBlanks) {
    auto sets = sim::parseDataText("* comment\r\n\r\nName: A\r\n1,2\r\n\nName:\nName:B\n3\n");
    std::vector<DataSet> want = {{"A", {"1,2"}}, {"", {}}, {"B", {"3"}}};
    EXPECT_EQ(sets, want);
}

TEST(DataFile, RefusesLinesThatWouldChangeTheDownload) {
    struct Case {
        std::string text, error;
    } cases[] = {
        {"1,2\n", "line 1: record before the first"},
        {"Name: A\n1\nNo data\n", "line 3: a record may not begin with 'N'"},
        {"Name: A\n\nFOO\n", "line 3: a record may not begin with 'F'"},
    };
    for (const Case& c : cases) {
        std::string err = errorOf([&] { sim::parseDataText(c.text); });
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.text << " gave: " << err;
    }
    EXPECT_NE(errorOf([] { sim::loadDataFile("/nonexistent/x.txt"); }).find("/nonexistent/x.txt"),
              std::string::npos);
}

TEST(DataFile, MadeUpSetsSurviveTheirOwnFormat) {
    std::vector<DataSet> all = sim::sampleDataSets();
    EXPECT_GE(all.size(), 2u);
    for (auto group :
         {sim::generateDataSets(3, 5, 0, 9), sim::hostileDataSets(), sim::longLineDataSets()})
        all.insert(all.end(), group.begin(), group.end());
    EXPECT_EQ(sim::parseDataText(sim::formatDataText(all)), all);
}

TEST(DataFile, GeneratedRecordsAreRepeatableAndSized) {
    EXPECT_EQ(sim::generateDataSets(2, 4, 0, 5), sim::generateDataSets(2, 4, 0, 5));
    EXPECT_NE(sim::generateDataSets(2, 4, 0, 5), sim::generateDataSets(2, 4, 0, 6));
    for (std::size_t length : {1u, 20u, 8001u}) {
        auto sets = sim::generateDataSets(1, 3, length);
        for (const auto& r : sets.at(0).records) {
            EXPECT_EQ(r.size(), length);
            EXPECT_TRUE(r[0] >= '0' && r[0] <= '9'); // never a line kind the program skips
        }
    }
    auto sets = sim::generateDataSets(12, 0);
    EXPECT_EQ(sets.at(0).name, "SITE01");
    EXPECT_EQ(sets.at(11).name, "SITE12");
}

TEST(StateFile, KeepsMemoryClockAndSerial) {
    QTemporaryDir dir;
    std::string path = dir.filePath("state.txt").toStdString();
    EXPECT_FALSE(sim::loadStateFile(path));
    sim::UnitState state{"AB12", -3725s, sim::hostileDataSets(), 1780272000};
    sim::saveStateFile(path, state);
    auto back = sim::loadStateFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->serialNumber, "AB12");
    EXPECT_EQ(back->clockOffset, -3725s);
    EXPECT_EQ(back->memory, state.memory);
    EXPECT_EQ(back->loggedUntil, 1780272000);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path + ".tmp")));
}

TEST(StateFile, RefusesDamagedFilesAndKeepsTheOldOne) {
    QTemporaryDir dir;
    std::string path = dir.filePath("state.txt").toStdString();
    for (std::string bad : {"clock-offset: 5\n", "serial: A\nclock-offset: soon\n",
                            "serial: A\nweather: fine\n", "serial: A\nName: X\nFOO\n"}) {
        writeFile(path, bad);
        EXPECT_NE(errorOf([&] { sim::loadStateFile(path); }), "") << bad;
    }
    // A state file in a folder that cannot be written: the error says so, nothing is lost.
    writeFile(path, "serial: KEEP\n");
    EXPECT_NE(errorOf([&] {
                  sim::saveStateFile(dir.filePath("no/such/state.txt").toStdString(),
                                     {"X", 0s, {}, std::nullopt});
              }),
              "");
    EXPECT_EQ(readFile(path), "serial: KEEP\n");
}

TEST(CommandLine, ReadsOptions) {
    auto cl = sim::parseCommandLine({"--port",
                                     "7",
                                     "--serial=AB12",
                                     "--baud",
                                     "9600",
                                     "--chunk",
                                     "3",
                                     "--generate",
                                     "2:4:30",
                                     "--seed",
                                     "3",
                                     "--hostile-names",
                                     "--noise",
                                     "5",
                                     "--ignore",
                                     "Y!",
                                     "--bad-battery",
                                     "--pause-at",
                                     "100:250",
                                     "--silent-after",
                                     "400",
                                     "--hangup-after",
                                     "900"});
    EXPECT_EQ(cl.port, 7);
    EXPECT_EQ(cl.sim.serialNumber, "AB12");
    EXPECT_EQ(cl.sim.baud, 9600u);
    EXPECT_EQ(cl.sim.chunkBytes, 3u);
    ASSERT_EQ(cl.sim.dataSets.size(), 6u);
    // --seed counts wherever it stands.
    EXPECT_EQ(cl.sim.dataSets[0], sim::generateDataSets(2, 4, 30, 3)[0]);
    EXPECT_EQ(cl.sim.dataSets[2].name, "../x");
    EXPECT_EQ(cl.sim.faults.noiseBytes, 5u);
    EXPECT_EQ(cl.sim.faults.ignoredCommands, "Y!");
    EXPECT_TRUE(cl.sim.faults.malformedBattery);
    EXPECT_EQ(cl.sim.faults.pauseAtByte, 100u);
    EXPECT_EQ(cl.sim.faults.pauseMs, 250u);
    EXPECT_EQ(cl.sim.faults.silentAfterBytes, 400u);
    EXPECT_EQ(cl.sim.faults.hangUpAfterBytes, 900u);

    auto defaults = sim::parseCommandLine({});
    EXPECT_EQ(defaults.sim.dataSets, sim::sampleDataSets());
    EXPECT_EQ(defaults.sim.baud, 19200u);
    EXPECT_EQ(defaults.port, 1);
    EXPECT_TRUE(sim::parseCommandLine({"--empty"}).sim.dataSets.empty());
    EXPECT_EQ(sim::parseCommandLine({"--unpaced"}).sim.baud, 0u);
    EXPECT_TRUE(sim::parseCommandLine({"--port", "settings"}).portFromSettings);
}

TEST(CommandLine, DamageKindsAddUp) {
    const sim::FaultOptions f =
        sim::parseCommandLine({"--damage", "no-line,control-bytes"}).sim.faults;
    EXPECT_FALSE(f.damagedFirstHeader);
    EXPECT_TRUE(f.noLineAfterFirstSet);
    EXPECT_TRUE(f.controlBytesInData);
    EXPECT_TRUE(sim::parseCommandLine({"--damage", "first-header"}).sim.faults.damagedFirstHeader);
}

TEST(CommandLine, RefusesBadValuesWithAReason) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--port", "0"}, "--port wants"},
        {{"--port", "257"}, "--port wants"},
        {{"--port", "3x"}, "--port wants a whole number"},
        {{"--baud"}, "--baud needs a value"},
        {{"--battery", "12,6"}, "--battery wants a number"},
        {{"--serial", "AB>1"}, "--serial may not"},
        {{"--generate", "1:2:3:4"}, "--generate wants"},
        {{"--pause-at", "100"}, "--pause-at wants"},
        {{"--chunk", "0"}, "--chunk wants"},
        {{"--empty=yes"}, "--empty takes no value"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--data", "/nonexistent/d.txt"}, "cannot read data file"},
        {{"--data", "/"}, "cannot read data file"}, // a folder, not an empty memory
        {{"--download-file", "/"}, "cannot read download file"},
        {{"--damage", "first-header,bad"}, "--damage: unknown kind \"bad\""},
    };
    for (const Case& c : cases) {
        std::string err = errorOf([&] { sim::parseCommandLine(c.args); });
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.args[0] << " gave: " << err;
    }
}

TEST(CommandLine, HelpNamesEveryOption) {
    std::string help = sim::usageText();
    for (const char* opt :
         {"--port",          "--folder",       "--link",          "--serial",       "--battery",
          "--temperature",   "--state",        "--data",          "--generate",     "--long-lines",
          "--hostile-names", "--empty",        "--download-file", "--print-sample", "--baud",
          "--unpaced",       "--chunk",        "--noise",         "--ignore",       "--bad-battery",
          "--pause-at",      "--silent-after", "--hangup-after",  "--seed",         "--verbose",
          "--help",          "--damage",       "--unusual"}) {
        EXPECT_NE(help.find(std::string("  ") + opt), std::string::npos) << opt;
    }
}
