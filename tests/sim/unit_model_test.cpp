// SPDX-License-Identifier: GPL-3.0-or-later
// The unit's command logic without a line: replies, clock entry, clear sequence, download.
#include "tools/sim/unit_model.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using sim::DataSet;
using sim::SimOptions;
using sim::UnitModel;

namespace {

using Steady = std::chrono::steady_clock;

// Every byte of the reply, the download drained in small pieces as the line does.
std::string drain(const sim::Reply& r, std::size_t piece = 7) {
    std::string out = r.text;
    if (r.download) {
        for (std::string s = r.download->read(piece); !s.empty(); s = r.download->read(piece))
            out += s;
    }
    return out;
}

std::string send(UnitModel& unit, std::string_view bytes, Steady::time_point t = Steady::now()) {
    std::string out;
    for (char c : bytes)
        out += drain(unit.receive(c, t));
    return out;
}

// Reads a download back the way the program does: lines split at LF with CR dropped, then
// classified by their first characters. Returns the data sets it would write, or the
// answer "No data" as a set of that name.
struct Readback {
    std::vector<DataSet> sets;
    bool noData = false;
    std::string lastPiece; // what follows the last line end (the prompt)
};
Readback readBack(const std::string& download) {
    Readback rb;
    std::size_t pos = 0;
    for (std::size_t lf; (lf = download.find('\n', pos)) != std::string::npos; pos = lf + 1) {
        std::string line = download.substr(pos, lf - pos);
        EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line without CR LF: " << line;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '*' || line[0] == 'F')
            continue;
        if (line[0] == 'N' && line.size() > 1 && line[1] == 'o') {
            rb.noData = true;
            continue;
        }
        if (line[0] == 'N') {
            std::size_t colon = line.find(':');
            rb.sets.push_back({colon + 2 <= line.size() ? line.substr(colon + 2) : "", {}});
            continue;
        }
        EXPECT_FALSE(rb.sets.empty()) << "record before a header: " << line;
        if (!rb.sets.empty())
            rb.sets.back().records.push_back(line);
    }
    rb.lastPiece = download.substr(pos);
    return rb;
}

SimOptions options(std::vector<DataSet> sets = {}) {
    SimOptions o;
    o.dataSets = std::move(sets);
    return o;
}

} // namespace

TEST(UnitModel, AnswersEachCommand) {
    struct Case {
        std::string bytes, reply;
    } cases[] = {
        {"R", "\r\nXRQ S/N #XRQ10472>"},
        {"!", "\r\n>"},
        {"A", "\r\nBat: 12.61 V  Temp: 21.4 C\r\n>"},
        {"*", "~"},
        {"C", "\r\n>"}, // outside the clear sequence: nothing asked
        {"Y", "\r\n>"},
        {"x", "\r\nUnknown command\r\n>"},
        {" \r\n", ""},
    };
    for (const Case& c : cases) {
        UnitModel unit(options());
        EXPECT_EQ(send(unit, c.bytes), c.reply) << "command " << c.bytes;
    }
}

TEST(UnitModel, BatteryReplyParsesAsTheProgramReadsIt) {
    SimOptions o;
    o.batteryVolts = 12.25;
    o.temperatureC = -3.96;
    UnitModel unit(o);
    std::string reply = send(unit, "A");
    std::size_t first = reply.find(':');
    ASSERT_NE(first, std::string::npos);
    std::size_t second = reply.find(':', first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_DOUBLE_EQ(std::stod(reply.substr(first + 1)), 12.25);
    EXPECT_DOUBLE_EQ(std::stod(reply.substr(second + 1)), -4.0); // one decimal in the reply
    EXPECT_EQ(reply.back(), '>');

    sim::FaultOptions f;
    f.malformedBattery = true;
    unit.setFaults(f);
    reply = send(unit, "A");
    EXPECT_EQ(std::count(reply.begin(), reply.end(), ':'), 1) << reply;
    EXPECT_EQ(reply.back(), '>');
}

TEST(UnitModel, ClearNeedsTheWholeSequence) {
    UnitModel unit(options(sim::generateDataSets(2, 3)));
    // Broken sequences leave the memory alone.
    for (std::string_view broken : {"Y", "CY", "*Y", "*RCY", "*C!Y", "**Y"}) {
        send(unit, broken);
        EXPECT_EQ(unit.memory().size(), 2u) << broken;
    }
    EXPECT_EQ(send(unit, "*"), "~");
    EXPECT_EQ(send(unit, "C"), "?");
    EXPECT_EQ(send(unit, "Y"), "\r\nMemory cleared\r\n>");
    EXPECT_TRUE(unit.memory().empty());
    EXPECT_EQ(unit.clearCount(), 1);
    EXPECT_TRUE(unit.takeChanged());
}

TEST(UnitModel, ClockTextSetsTheClock) {
    UnitModel unit(options());
    EXPECT_EQ(send(unit, "S"), "\r\n>");
    EXPECT_EQ(send(unit, "26-03-21 07:05:09"), "");
    EXPECT_EQ(unit.clockSetCount(), 1);
    EXPECT_EQ(unit.lastClockText(), "26-03-21 07:05:09");
    auto want = sim::parseClockText("26-03-21 07:05:09");
    ASSERT_TRUE(want);
    auto diff = unit.clock() - *want;
    EXPECT_GE(diff, -1s);
    EXPECT_LE(diff, 5s);
    // The clock runs on: a later download's comment shows it.
    std::string dl = send(unit, "F");
    EXPECT_NE(dl.find("* Clock 26-03-21 07:05:"), std::string::npos) << dl;
}

TEST(UnitModel, BadClockTextLeavesTheClockAlone) {
    auto t0 = Steady::now();
    struct Case {
        const char* what;
        std::string first, rest;
        std::chrono::seconds gap;
        std::string reply; // of the bytes after the gap
    } cases[] = {
        {"impossible date", "26-13-21 07:0", "5:09", 0s, ""},
        {"31 February", "26-02-31 07:0", "5:09", 0s, ""},
        {"hour 24", "26-03-21 24:0", "5:09", 0s, ""},
        // A byte that does not fit ends the entry and counts as a command.
        {"command inside", "26-03-2", "R", 0s, "\r\nXRQ S/N #XRQ10472>"},
        // After a long gap the rest is read as commands (digits are unknown commands).
        {"gap", "26-03-21 07:0", "!", 6s, "\r\n>"},
    };
    for (const Case& c : cases) {
        UnitModel unit(options());
        send(unit, "S", t0);
        send(unit, c.first, t0);
        EXPECT_EQ(send(unit, c.rest, t0 + c.gap), c.reply) << c.what;
        EXPECT_EQ(unit.clockSetCount(), 0) << c.what;
        EXPECT_EQ(unit.clockOffset(), 0s) << c.what;
        EXPECT_EQ(send(unit, "!", t0 + c.gap), "\r\n>") << c.what << ": back to commands";
    }
}

TEST(UnitModel, DownloadReadsBackAsTheMemory) {
    std::vector<DataSet> memory = sim::generateDataSets(3, 20);
    for (auto& s : sim::hostileDataSets())
        memory.push_back(s);
    for (auto& s : sim::longLineDataSets())
        memory.push_back(s);
    UnitModel unit(options(memory));
    for (std::size_t piece : {1u, 7u, 4096u}) {
        Readback rb = readBack(drain(unit.receive('F'), piece));
        EXPECT_FALSE(rb.noData);
        EXPECT_EQ(rb.lastPiece, ">") << "piece " << piece;
        EXPECT_EQ(rb.sets, memory) << "piece " << piece;
    }
}

TEST(UnitModel, EmptyMemoryAnswersNoData) {
    UnitModel unit(options());
    std::string dl = send(unit, "F");
    Readback rb = readBack(dl);
    EXPECT_TRUE(rb.noData);
    EXPECT_TRUE(rb.sets.empty());
    EXPECT_EQ(rb.lastPiece, ">");
    // The comment and command lines come first, as the program expects to skip them.
    EXPECT_NE(dl.find("\r\n* XRQ data logger"), std::string::npos);
    EXPECT_NE(dl.find("\r\nFILE DUMP\r\n"), std::string::npos);
}

TEST(UnitModel, DownloadKeepsItsSnapshotWhenMemoryIsCleared) {
    UnitModel unit(options(sim::generateDataSets(1, 50)));
    sim::Reply reply = unit.receive('F');
    std::string dl = reply.text + reply.download->read(10);
    send(unit, "*CY");
    EXPECT_TRUE(unit.memory().empty());
    dl += drain({"", reply.download});
    EXPECT_EQ(readBack(dl).sets.at(0).records.size(), 50u);
}

TEST(UnitModel, RawDownloadIsSentUnchanged) {
    SimOptions o;
    o.rawDownload = std::string("Name: X\r\nline\rwith CR\r\n\x01\xff", 23);
    UnitModel unit(o);
    EXPECT_EQ(send(unit, "F"), *o.rawDownload);
}

TEST(UnitModel, FaultsNoiseAndIgnoredCommands) {
    SimOptions o;
    o.faults.noiseBytes = 40;
    o.faults.ignoredCommands = "!Y";
    UnitModel unit(o);
    std::string r = send(unit, "R");
    ASSERT_EQ(r.size(), 40 + std::string("\r\nXRQ S/N #XRQ10472>").size());
    std::string noise = r.substr(0, 40);
    EXPECT_EQ(noise.find_first_of(">#~?:NF*\r\n"), std::string::npos) << noise;
    EXPECT_EQ(r.substr(40), "\r\nXRQ S/N #XRQ10472>");
    EXPECT_EQ(send(unit, "!"), "");
    // An ignored step does nothing either: the clear is not confirmed.
    unit.setMemory(sim::generateDataSets(1, 1));
    send(unit, "*CY");
    EXPECT_EQ(unit.memory().size(), 1u);
    // The same seed gives the same noise.
    UnitModel again(o);
    EXPECT_EQ(send(again, "R").substr(0, 40), noise);
}

TEST(UnitModel, LoggingClockAddsARecordEveryNSeconds) {
    SimOptions o = options({{"SITE1", {"26-01-01 00:00:00, 1"}}});
    o.logEverySeconds = 60;
    UnitModel unit(o);
    using namespace std::chrono;
    const auto t0 = system_clock::time_point(seconds(1780272000)); // 2026-06-01 00:00:00 UTC
    unit.logUntil(t0 + seconds(30));
    EXPECT_EQ(unit.loggedUntil(), 1780272000); // started on the clock's grid, nothing logged
    EXPECT_EQ(unit.memory().size(), 1u);
    unit.logUntil(t0 + seconds(59));
    EXPECT_EQ(unit.memory().size(), 1u);
    // Ten minutes later: ten records, stamped with the unit's clock, in a set of their own.
    unit.logUntil(t0 + seconds(600));
    auto memory = unit.memory();
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory[1].name, "LOG");
    ASSERT_EQ(memory[1].records.size(), 10u);
    EXPECT_EQ(memory[1].records.back().substr(0, 17), sim::formatClockText(t0 + seconds(600)));
    EXPECT_EQ(unit.loggedUntil(), 1780272600);
    // Cleared, it logs on into a new set; a later start from the kept instant catches up.
    unit.setMemory({});
    UnitModel again(o);
    again.setMemory(unit.memory());
    again.setLoggedUntil(unit.loggedUntil());
    again.logUntil(t0 + seconds(720));
    memory = again.memory();
    ASSERT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory[0].records.size(), 2u);
}
