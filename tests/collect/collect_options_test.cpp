// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collect_options.h"
#include "collect/collect_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

using collect::parseCommandLine;

TEST(CollectOptions, RefusesWhatItCannotMeanAndTakesTheRest) {
    struct Case {
        std::vector<std::string> args;
        bool refused;
    };
    const Case cases[] = {
        {{"--port", "0"}, true},
        {{"--port", "257"}, true},
        {{"--port", "3x"}, true},
        {{"--port", "3", "--device", "/dev/ttyUSB0"}, true},
        {{"--port", "3", "--port", "4"}, true},
        {{"--dir="}, true},
        {{"COM3"}, true},
        {{"--clear", "yes"}, true},
        {{"--service", "field office"}, true}, // not a service name libpq can look up
        {{"--service", ""}, true},
        {{"--push-wait", "-1"}, true},
        {{"--push-wait", "soon"}, true},
        {{"--push-wait", "5", "--push-wait", "6"}, true},
        {{"--service", "field-office.1", "--push-wait", "30"}, false},
        {{"--port=256", "--dir", "/d/", "--set-clock", "--battery", "--json", "--quiet", "--clear"},
         false},
        {{}, false},
    };
    for (const Case& c : cases) {
        const auto parsed = parseCommandLine(c.args);
        EXPECT_EQ(!parsed.error.empty(), c.refused)
            << (c.args.empty() ? "" : c.args[0]) << ": " << parsed.error;
    }
    const auto all = parseCommandLine(cases[14].args).options;
    EXPECT_EQ(all.port, 256);
    EXPECT_EQ(all.dir, "/d/");
    EXPECT_TRUE(all.setClock && all.battery && all.json && all.quiet && all.clear);
    const auto none = parseCommandLine({}).options;
    EXPECT_FALSE(none.port || none.dir || none.setClock || none.battery || none.clear);
    EXPECT_TRUE(none.service.empty()) << "fleet.ini's service, if any";
    EXPECT_EQ(none.pushWait, 0) << "no wait unless asked";
    const auto shared = parseCommandLine(cases[13].args).options;
    EXPECT_EQ(shared.service, "field-office.1");
    EXPECT_EQ(shared.pushWait, 30);
    // Every exit status is documented where the operator looks.
    for (int code = 0; code <= 12; ++code)
        EXPECT_NE(collect::helpText().find("\n  " + std::to_string(code) + " "), std::string::npos)
            << code;
}

TEST(CollectOptions, ASiteAndANoteAreCheckedAsTheServerChecksThem) {
    struct Case {
        std::vector<std::string> args;
        bool refused;
    };
    const Case cases[] = {
        {{"--site", "RIVER-03", "--note", "Wiper cleaned", "--note-category", "maintenance"},
         false},
        {{"--note", "line one\nline two"}, false}, // a note may hold line ends
        {{"--site", "bad code"}, true},
        {{"--site", ""}, true},
        {{"--site", std::string(41, 'A')}, true},
        {{"--site", "A", "--site", "B"}, true},
        {{"--note", ""}, true},
        {{"--note", "   "}, true},
        {{"--note", "bell\x07"}, true},
        {{"--note", std::string(4001, 'x')}, true},
        {{"--note-category", "damage"}, true}, // without a note
        {{"--note", "n", "--note-category", "fun"}, true},
    };
    for (const Case& c : cases) {
        const auto parsed = parseCommandLine(c.args);
        EXPECT_EQ(!parsed.error.empty(), c.refused)
            << c.args[0] << " " << c.args[1].substr(0, 20) << ": " << parsed.error;
    }
    const auto o = parseCommandLine(cases[0].args).options;
    EXPECT_EQ(o.site, "RIVER-03");
    EXPECT_EQ(o.note, "Wiper cleaned");
    EXPECT_EQ(o.noteCategory, "maintenance");
    EXPECT_EQ(parseCommandLine(cases[1].args).options.note, "line one\nline two");
}

TEST(CollectReport, JsonStaysValidForAnyPathAndTheProgressLineFits) {
    collect::CollectReport r;
    r.exit = collect::Exit::DownloadIncomplete;
    r.files = {"/data/caf\xe9.txt"}; // a Latin-1 name: not UTF-8
    r.serial = "XRQ\"1\\";
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString(collect::reportJson(r))).object();
    EXPECT_EQ(o["outcome"].toString(), "download-incomplete");
    EXPECT_EQ(o["exit"].toInt(), 7);
    EXPECT_EQ(o["files"].toArray().at(0).toString(), QString::fromLatin1("/data/caf\xe9.txt"));
    EXPECT_EQ(o["unit"].toObject()["serial"].toString(), "XRQ\"1\\");
    EXPECT_TRUE(o["battery"].isNull());
    EXPECT_TRUE(o.contains("shared") && o["shared"].isNull()) << "not shared";
    r.shared = collect::CollectReport::Shared{12, 3, "3 facts waiting: server not reachable"};
    const QJsonObject s = QJsonDocument::fromJson(QByteArray::fromStdString(collect::reportJson(r)))
                              .object()["shared"]
                              .toObject();
    EXPECT_EQ(s["pushed"].toInt(), 12);
    EXPECT_EQ(s["waiting"].toInt(), 3);
    EXPECT_EQ(s["status"].toString(), "3 facts waiting: server not reachable");

    const QString progress = QStringLiteral("Receiving SITE02: 40 records\n1.2 MB, 1.9 kB/s");
    EXPECT_EQ(collect::progressLine(progress, 200),
              "Receiving SITE02: 40 records | 1.2 MB, 1.9 kB/s");
    const std::string cut = collect::progressLine(progress, 20);
    EXPECT_EQ(cut.size(), 20u);
    EXPECT_NE(cut.find("..."), std::string::npos);
}

TEST(CollectReport, AVerdictCarriesItsReasonsAndAFailedKeptCopyIsNoPlaceOfTheBytes) {
    collect::CollectReport r;
    r.exit = collect::Exit::DownloadIncomplete;
    r.downloadStarted = true;
    r.reasons = {"control bytes in data lines (line 7 of data set \"A\", byte 0x00)"};
    r.lineErrors = "not checked";
    r.keptFileFailed = "Cannot write the kept download /k/1.txt: No space left on device";
    QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString(collect::reportJson(r))).object();
    EXPECT_EQ(o["verdict"].toString(), "not verified");
    EXPECT_EQ(o["reasons"].toArray().size(), 1);
    EXPECT_EQ(o["lineErrors"].toString(), "not checked");
    EXPECT_TRUE(o["keptFile"].isNull());
    EXPECT_TRUE(o["keptFileFailed"].toString().contains("/k/1.txt: No space left on device"));

    r = {};
    r.exit = collect::Exit::NoUnit;
    o = QJsonDocument::fromJson(QByteArray::fromStdString(collect::reportJson(r))).object();
    EXPECT_TRUE(o["verdict"].isNull()) << "no download, no verdict";
    EXPECT_TRUE(o["lineErrors"].isNull());
}

} // namespace
