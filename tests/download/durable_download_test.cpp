// SPDX-License-Identifier: GPL-3.0-or-later
// A download is on the disk before the operator is told so, every download keeps a copy of
// its own, and a kept download (also a cut one) converts again later.
#include "download/program_fixture.h"

#include "download/download_command.h"
#include "unit/unit_status.h"
#include "setup/fSetup.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> filesUnder(const std::string& folder) {
    std::vector<std::string> out;
    if (fs::exists(folder))
        for (const auto& e : fs::recursive_directory_iterator(folder))
            if (e.is_regular_file())
                out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

class Durable : public ProgramFixture {
protected:
    void collect(const std::string& directory) {
        FormSetup->EditDataDirectory->setText(QString::fromStdString(directory));
        FormXRQMain->ActionCollectExecute(nullptr);
    }
    std::string keptFolder() const { return TempFilesPath + "downloads/"; }
    bool shown(const std::string& text) const {
        return std::any_of(script->shown.begin(), script->shown.end(),
                           [&](const auto& b) { return b.text == text; });
    }
};

// Runs inside the child that the strace test starts: one ordinary download.
TEST_F(Durable, ChildDownloadUnderStrace) {
    if (!std::getenv("XRQ_DURABLE_CHILD"))
        GTEST_SKIP() << "run by DurableOrder under strace";
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::sampleDataSets();
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    collect(dataDir);
    ASSERT_TRUE(shown("Data collected and placed in " + dataDir));
    ASSERT_EQ(FormXRQMain->LastDownload.files.size(), 3u);
    EXPECT_TRUE(FormXRQMain->LastDownload.verified);
}

// Seen from outside, as the kernel saw it: each data file is synced under its temporary
// name, then named (never replacing), then its folder is synced, and only then does the
// run log get the "Data collected" line; the intermediate file and the kept copy are synced
// before the conversion starts.
TEST(DurableOrder, DataFilesAndTheirFolderAreSyncedBeforeTheOperatorIsTold) {
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        GTEST_SKIP() << "strace is not installed";
    QTemporaryDir dir;
    const QString trace = dir.filePath(QStringLiteral("trace.txt"));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XRQ_DURABLE_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The leak checker cannot run under a tracer (it ends the traced program with a failure);
    // the suite's other downloads are leak-checked untraced.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               asan.isEmpty() ? QStringLiteral("detect_leaks=0") : asan + ":detect_leaks=0");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(strace, {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"),
                         QStringLiteral("-s"), QStringLiteral("400"), QStringLiteral("-e"),
                         QStringLiteral("trace=fsync,fdatasync,rename,renameat,renameat2,link,"
                                        "linkat,write"),
                         QStringLiteral("-o"), trace, QCoreApplication::applicationFilePath(),
                         QStringLiteral("--gtest_filter=Durable.ChildDownloadUnderStrace")});
    ASSERT_TRUE(child.waitForFinished(180000));
    const std::string output = child.readAll().toStdString();
    if (output.find("PTRACE") != std::string::npos ||
        output.find("Operation not permitted") != std::string::npos)
        GTEST_SKIP() << "tracing is not permitted here: " << output;
    ASSERT_EQ(child.exitCode(), 0) << output;
    ASSERT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;

    std::vector<std::string> lines;
    {
        std::istringstream in(readWholeFile(trace.toStdString()));
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
    }
    const auto firstIndex = [&](const std::function<bool(const std::string&)>& match) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (match(lines[i]))
                return static_cast<long>(i);
        return -1L;
    };
    const long told = firstIndex([](const std::string& l) {
        return l.find("write(") != std::string::npos &&
               l.find("XRQ_log.txt>") != std::string::npos &&
               l.find("Data collected and placed in ") != std::string::npos;
    });
    ASSERT_GE(told, 0) << "no run-log line \"Data collected\" in the trace";

    // renameat2(AT_FDCWD, "<dir>/XRQ-incomplete-abc.txt", AT_FDCWD, "<dir>/SITE1.txt", ...)
    const std::regex renamed(
        R"re(rename\w*\(.*"([^"]*XRQ-incomplete-[^"]*)".*"([^"]*\.txt)".*= 0)re");
    std::map<std::string, long> namedAt; // real name -> line
    std::string folder;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (!std::regex_search(lines[i], m, renamed))
            continue;
        const std::string temporary = m[1], real = m[2];
        namedAt[real] = static_cast<long>(i);
        folder = real.substr(0, real.rfind('/'));
        const long synced = firstIndex([&](const std::string& l) {
            return l.find("fsync(") != std::string::npos &&
                   l.find("<" + temporary + ">") != std::string::npos;
        });
        EXPECT_GE(synced, 0) << temporary << " never synced";
        EXPECT_LT(synced, static_cast<long>(i)) << temporary << " named before it was synced";
    }
    ASSERT_EQ(namedAt.size(), 3u) << "three data sets, three files named";
    const long folderSynced = firstIndex([&](const std::string& l) {
        return l.find("fsync(") != std::string::npos &&
               l.find("<" + folder + ">") != std::string::npos;
    });
    ASSERT_GE(folderSynced, 0) << "the data folder " << folder << " was never synced";
    for (const auto& [name, at] : namedAt) {
        EXPECT_LT(at, folderSynced) << name << " named after the folder was synced";
    }
    EXPECT_LT(folderSynced, told);
    const long intermediateSynced = firstIndex([](const std::string& l) {
        return l.find("fdatasync(") != std::string::npos &&
               l.find("_$XRQInt.txt>") != std::string::npos;
    });
    const long keptSynced = firstIndex([](const std::string& l) {
        return l.find("fsync(") != std::string::npos &&
               l.find("/downloads/XRQ10472/") != std::string::npos;
    });
    EXPECT_GE(intermediateSynced, 0);
    EXPECT_GE(keptSynced, 0);
    EXPECT_LT(intermediateSynced, namedAt.begin()->second);
    EXPECT_LT(keptSynced, told);
}

// Every download keeps its own copy: byte for byte what the unit sent, never overwritten
// by the next one, under the serial number the unit gives just before the download.
TEST_F(Durable, TwoDownloadsGiveTwoKeptFilesByteForByte) {
    const std::vector<std::string> sent = {
        "\r\n* XRQ data logger\r\nName: ONE\r\n1,2\r\n3,4\r\n>",
        "\r\n* XRQ data logger\r\nName: TWO\r\n5,6\r\n>",
    };
    std::vector<std::string> kept;
    for (const std::string& reply : sent) {
        sim::SimOptions o;
        o.baud = 0;
        o.rawDownload = reply;
        startUnit(o);
        ASSERT_EQ(FormSerial->iOpenPort(), 0);
        collect(dataDir);
        ASSERT_TRUE(FormXRQMain->LastDownload.verified) << FormXRQMain->LastDownload.unverified;
        kept.push_back(FormXRQMain->LastDownload.keptFile);
        EXPECT_EQ(readWholeFile(kept.back()), reply);
        EXPECT_EQ(intermediate(), reply);
        FormSerial->iClosePort();
        unit->stop();
        unit.reset();
    }
    EXPECT_NE(kept[0], kept[1]);
    EXPECT_EQ(kept[0].rfind(keptFolder() + "XRQ10472/", 0), 0u) << kept[0];
    EXPECT_EQ(filesUnder(keptFolder()),
              (std::vector<std::string>{std::min(kept[0], kept[1]), std::max(kept[0], kept[1])}));
    EXPECT_EQ(readWholeFile(kept[0]), sent[0]); // the second did not touch the first
    EXPECT_EQ(fs::status(kept[0]).permissions() & fs::perms::others_all, fs::perms::none);
}

TEST_F(Durable, KeptFolderIsNamedAfterTheSerialNumberMadeSafe) {
    const struct {
        std::string serial;
        std::string folder;
    } cases[] = {
        {"XRQ10472", "XRQ10472"}, {"", "unknown"},    {"..", "unknown"},
        {"a/b", "a_b"},           {"x\r\ny", "x__y"}, {"A:B*", "A_B_"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(collection::keptDownloadFolder("/f/", c.serial), "/f/downloads/" + c.folder + "/")
            << c.serial;
}

// A cut download converts later: the whole sets, and the whole lines of the set it was cut
// in, which is named as incomplete. Nothing existing is overwritten.
TEST_F(Durable, ConvertingAKeptCutDownloadWritesWhatArrivedAndNamesTheCutSet) {
    const std::string kept = root + "/cut.txt";
    {
        std::ofstream out(kept, std::ios::binary);
        out << "\r\nName: A\r\n1,1\r\n2,2\r\nName: B\r\n3,3\r\n4,"; // cut inside a record
    }
    { std::ofstream(dataDir + "A.txt") << "older"; }
    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    FormXRQMain->ChooseKeptDownload = [&] { return QString::fromStdString(kept); };
    FormXRQMain->ActionConvertKeptExecute(nullptr);

    EXPECT_EQ(readWholeFile(dataDir + "A.txt"), "older");
    EXPECT_EQ(readWholeFile(dataDir + "A_000.txt"), "Name: A\r\n1,1\r\n2,2\r\n");
    EXPECT_EQ(readWholeFile(dataDir + "B.txt"), "Name: B\r\n3,3\r\n");
    ASSERT_FALSE(script->shown.empty());
    const std::string told = script->shown.back().text;
    EXPECT_EQ(told, "The kept download " + kept + " was converted into:\n" + dataDir +
                        "A_000.txt\n" + dataDir +
                        "B.txt\nThe download was cut short: the data set "
                        "B is incomplete (" +
                        dataDir +
                        "B.txt holds the whole lines that arrived "
                        "of it).");
    EXPECT_TRUE(FormXRQMain->ButtonView->isVisibleTo(FormXRQMain));
    // Done: no conversion is left pending.
    EXPECT_EQ(collection::pendingConversion(TempFilesPath), "");
}

// A conversion the program did not live to finish is found at the next start and offered.
TEST_F(Durable, ConversionLeftPendingIsOfferedAndConverted) {
    const std::string kept = root + "/kept.txt";
    { std::ofstream(kept, std::ios::binary) << "Name: P\r\n9\r\n>"; }
    ASSERT_TRUE(collection::markConversionPending(TempFilesPath, kept));
    EXPECT_EQ(collection::pendingConversion(TempFilesPath), kept);
    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    script->answers.push_back(true);
    FormXRQMain->OfferPendingConversion();
    EXPECT_TRUE(shown("The last download was not converted: the program ended during its "
                      "conversion.\nIts bytes are kept in " +
                      kept + "\nConvert it now?"));
    EXPECT_EQ(readWholeFile(dataDir + "P.txt"), "Name: P\r\n9\r\n");
    EXPECT_EQ(collection::pendingConversion(TempFilesPath), "");
    // Offered once: declined or done, it is not asked again.
    const std::size_t boxes = script->shown.size();
    FormXRQMain->OfferPendingConversion();
    EXPECT_EQ(script->shown.size(), boxes);
}

// A download that is not whole does not count as downloaded: Clear Memory says why.
TEST_F(Durable, AnIncompleteDownloadMakesClearMemoryAskWhy) {
    sim::SimOptions o;
    o.baud = 0;
    o.rawDownload = "Name: A\r\n1\r\n2"; // and then silence
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    FormXRQMain->ActionConnectExecute(nullptr);
    ASSERT_TRUE(FormXRQMain->Units.current().has_value());
    collect(dataDir);
    EXPECT_FALSE(FormXRQMain->LastDownload.downloaded);
    EXPECT_EQ(FormXRQMain->LastDownload.unverified, "it did not end with the unit's prompt");
    EXPECT_EQ(readWholeFile(FormXRQMain->LastDownload.keptFile), *o.rawDownload);
    const auto question = unit_status::clearMemoryQuestion(
        FormXRQMain->Units, FormSerial->ComPortNumber, FormXRQMain->Units.current()->device);
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(*question, "The last download of XRQ10472 was incomplete: it did not end with the "
                         "unit's prompt.\nClear its memory anyway?");
}

// The series takes every safe download before the operator is told; when it cannot, the
// download is still safe on the disk, and Clear Memory asks its extra question.
TEST_F(Durable, ADownloadTheSeriesDidNotTakeMakesClearMemoryAsk) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::generateDataSets(1, 20, 0, 1);
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    FormXRQMain->ActionConnectExecute(nullptr);
    ASSERT_TRUE(FormXRQMain->Units.current().has_value());
    collect(dataDir);
    ASSERT_TRUE(FormXRQMain->LastDownload.downloaded);
    EXPECT_TRUE(FormXRQMain->LastDownload.seriesTaken) << FormXRQMain->LastDownload.series;
    EXPECT_EQ(FormXRQMain->LastDownload.series, "SITE01: 20 new records, 0 already held");
    EXPECT_FALSE(unit_status::clearMemoryQuestion(FormXRQMain->Units, FormSerial->ComPortNumber,
                                                  FormXRQMain->Units.current()->device)
                     .has_value());

    // A store that cannot be opened (a folder in its place).
    const std::string store = TempFilesPath + "series.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((store + suffix).c_str());
    ASSERT_EQ(::mkdir(store.c_str(), 0700), 0);
    collect(dataDir);
    EXPECT_TRUE(FormXRQMain->LastDownload.downloaded);
    EXPECT_FALSE(FormXRQMain->LastDownload.seriesTaken);
    const auto question = unit_status::clearMemoryQuestion(
        FormXRQMain->Units, FormSerial->ComPortNumber, FormXRQMain->Units.current()->device);
    ASSERT_TRUE(question.has_value());
    EXPECT_NE(question->find("the series has not taken it"), std::string::npos) << *question;
    ::rmdir(store.c_str());
}

} // namespace
