// SPDX-License-Identifier: GPL-3.0-or-later
// A download is on the disk before the operator is told so, every download keeps a copy of
// its own, and a kept download (also a cut one) converts again later.
#include "support/program_fixture.h"

#include "download/download_command.h"
#include "download/recovery_marker.h"
#include "platform/durable_file.h"
#include "setup/fSetup.h"
#include "unit/unit_status.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
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
    // What a kill -9 during a conversion leaves: the marker on the disk, its lock gone.
    void leaveOrphan(const std::string& download, const std::string& folder) {
        download::ConversionMarker marker =
            download::ConversionMarker::begin(TempFilesPath, download, folder);
        ASSERT_TRUE(marker.held());
        const std::string path = marker.path();
        fs::copy_file(path, path + ".copy");
        marker.clear();
        fs::rename(path + ".copy", path);
    }
};

// Runs inside the child that the strace test starts: one ordinary download.
TEST_F(Durable, ChildDownloadUnderStrace) {
    if (!std::getenv("XRQ_DURABLE_CHILD"))
        GTEST_SKIP() << "run by DurableOrder under strace";
    connectSampleUnit();
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
        std::istringstream in(readFile(trace.toStdString()));
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

// The same order seen from inside, through the durability seam, where no tracer is needed:
// every data file synced under its temporary name before it is named, every name made before
// the data folder is synced, the intermediate file and the kept copy synced before the
// conversion names anything, and all of it before the "Data collected" box.
class DurableProbe : public ProgramFixture, public platform::DurabilityProbe {
protected:
    struct Seen {
        Call call;
        std::string path, newPath;
        std::size_t boxesBefore; // boxes shown when the call was made
    };
    void SetUp() override {
        ProgramFixture::SetUp();
        platform::setDurabilityProbe(this);
    }
    void TearDown() override {
        platform::setDurabilityProbe(nullptr);
        ProgramFixture::TearDown();
    }
    int before(Call call, int fd, const std::string& path, const std::string& newPath) override {
        std::string named = path;
        if (fd >= 0)
            named = fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
        seen.push_back({call, named, newPath, script->shown.size()});
        if (failWhen && failWhen(seen.back()))
            return failWith;
        return 0;
    }
    // The first call that matches, from `from` on, or -1.
    long first(const std::function<bool(const Seen&)>& match, std::size_t from = 0) const {
        for (std::size_t i = from; i < seen.size(); ++i)
            if (match(seen[i]))
                return static_cast<long>(i);
        return -1;
    }
    void collectSample() {
        connectSampleUnit();
        collect(dataDir);
    }
    std::vector<Seen> seen;
    std::function<bool(const Seen&)> failWhen;
    int failWith = EIO;
};

TEST_F(DurableProbe, EveryFileAndItsFolderAreSyncedInOrderBeforeTheOperatorIsTold) {
    collectSample();
    const std::string told = "Data collected and placed in " + dataDir;
    ASSERT_TRUE(shown(told));
    std::size_t toldAt = 0;
    while (script->shown[toldAt].text != told)
        ++toldAt;
    const auto syncOf = [](const std::string& path) {
        return [path](const Seen& s) {
            return (s.call == Call::SyncFile || s.call == Call::SyncFileData) && s.path == path;
        };
    };
    std::vector<long> renames;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        if (s.call != Call::Rename || s.path.find("XRQ-incomplete-") == std::string::npos)
            continue;
        renames.push_back(static_cast<long>(i));
        const long synced = first(syncOf(fs::absolute(s.path).string()));
        EXPECT_GE(synced, 0) << s.path << " never synced";
        EXPECT_LT(synced, static_cast<long>(i)) << s.path << " named before it was synced";
        EXPECT_LE(s.boxesBefore, toldAt) << s.path << " named after the operator was told";
    }
    ASSERT_EQ(renames.size(), 3u) << "three data sets, three files named";
    std::string folder = dataDir;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const long folderSynced =
        first([&](const Seen& s) { return s.call == Call::SyncFolder && s.path == folder; },
              static_cast<std::size_t>(renames.back()));
    ASSERT_GE(folderSynced, 0) << "the data folder was not synced after the last name";
    EXPECT_LE(seen[static_cast<std::size_t>(folderSynced)].boxesBefore, toldAt);
    const long intermediate = first(syncOf(fs::absolute(work + "_$XRQInt.txt").string()));
    const long kept = first([&](const Seen& s) {
        return s.call == Call::SyncFile && s.path.find("/downloads/XRQ10472/") != std::string::npos;
    });
    ASSERT_GE(intermediate, 0);
    ASSERT_GE(kept, 0);
    EXPECT_LT(intermediate, renames.front());
    EXPECT_LT(kept, renames.front());
}

// A disk that fails one sync is a download that is not safe: never "Data collected", never
// counted as downloaded, whichever sync it is.
TEST_F(DurableProbe, AFailedSyncAnywhereIsNeverCalledCollected) {
    struct Case {
        const char* what;
        std::function<bool(const Seen&)> fails;
    };
    const Case cases[] = {
        {"a data file's sync",
         [](const Seen& s) {
             return s.call == Call::SyncFile && s.path.find("XRQ-incomplete-") != std::string::npos;
         }},
        {"the data folder's sync",
         [this](const Seen& s) {
             std::string folder = sandbox.data();
             while (folder.size() > 1 && folder.back() == '/')
                 folder.pop_back();
             return s.call == Call::SyncFolder && s.path == folder;
         }},
        {"a data file's naming", [](const Seen& s) { return s.call == Call::Rename; }},
        {"the intermediate file's sync",
         [](const Seen& s) {
             return s.call == Call::SyncFileData &&
                    s.path.find("_$XRQInt.txt") != std::string::npos;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.clear();
        const std::size_t mark = script->shown.size();
        bool failed = false;
        failWhen = [&](const Seen& s) {
            if (failed || !c.fails(s))
                return false;
            return failed = true;
        };
        collectSample();
        EXPECT_TRUE(failed) << "the call to fail was never made";
        for (std::size_t i = mark; i < script->shown.size(); ++i)
            EXPECT_NE(script->shown[i].text, "Data collected and placed in " + dataDir);
        EXPECT_FALSE(FormXRQMain->LastDownload.downloaded);
        FormSerial->iClosePort();
        unit->stop();
        unit.reset();
    }
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
        EXPECT_EQ(readFile(kept.back()), reply);
        EXPECT_EQ(intermediate(), reply);
        FormSerial->iClosePort();
        unit->stop();
        unit.reset();
    }
    EXPECT_NE(kept[0], kept[1]);
    EXPECT_EQ(kept[0].rfind(keptFolder() + "XRQ10472/", 0), 0u) << kept[0];
    EXPECT_EQ(filesUnder(keptFolder()),
              (std::vector<std::string>{std::min(kept[0], kept[1]), std::max(kept[0], kept[1])}));
    EXPECT_EQ(readFile(kept[0]), sent[0]); // the second did not touch the first
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
        EXPECT_EQ(download::keptDownloadFolder("/f/", c.serial), "/f/downloads/" + c.folder + "/")
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

    EXPECT_EQ(readFile(dataDir + "A.txt"), "older");
    EXPECT_EQ(readFile(dataDir + "A_000.txt"), "Name: A\r\n1,1\r\n2,2\r\n");
    EXPECT_EQ(readFile(dataDir + "B.txt"), "Name: B\r\n3,3\r\n");
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
    EXPECT_TRUE(download::orphanedConversions(TempFilesPath).empty());
    EXPECT_TRUE(filesUnder(download::pendingConversionsFolder(TempFilesPath)).empty());
}

// A conversion the program did not live to finish is found at the next start and offered
// once, into the data folder it was meant for (not the one set now); one that another
// instance still runs (its marker locked) is left alone; an old version's single marker is
// still read, and goes into the current data folder.
TEST_F(Durable, ConversionsLeftPendingAreOfferedOnceIntoTheirOwnFolders) {
    const std::string meant = root + "/meant/";
    fs::create_directories(meant);
    const std::string kept = root + "/kept.txt", running = root + "/running.txt",
                      old = root + "/old.txt";
    { std::ofstream(kept, std::ios::binary) << "Name: P\r\n9\r\n>"; }
    { std::ofstream(running, std::ios::binary) << "Name: R\r\n1\r\n>"; }
    { std::ofstream(old, std::ios::binary) << "Name: O\r\n2\r\n>"; }
    // Left by a process that died: nobody holds it. Twice: a recovery that was itself cut
    // short leaves a second marker of the same download.
    leaveOrphan(kept, meant);
    leaveOrphan(kept, meant);
    { std::ofstream(TempFilesPath + "conversion-pending.txt") << old << "\n"; }
    download::ConversionMarker held =
        download::ConversionMarker::begin(TempFilesPath, running, meant);
    ASSERT_TRUE(held.held());

    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    script->answers = {true, true};
    FormXRQMain->OfferPendingConversion();
    EXPECT_TRUE(shown("The last download was not converted: the program ended during its "
                      "conversion.\nIts bytes are kept in " +
                      kept + "\nConvert it now into " + meant + "?"));
    EXPECT_TRUE(shown("The last download was not converted: the program ended during its "
                      "conversion.\nIts bytes are kept in " +
                      old + "\nConvert it now into " + dataDir + "?"));
    EXPECT_EQ(readFile(meant + "P.txt"), "Name: P\r\n9\r\n");
    EXPECT_EQ(readFile(dataDir + "O.txt"), "Name: O\r\n2\r\n");
    EXPECT_FALSE(fs::exists(dataDir + "P.txt"));
    EXPECT_FALSE(fs::exists(meant + "R.txt"));
    EXPECT_FALSE(fs::exists(TempFilesPath + "conversion-pending.txt"));
    EXPECT_EQ(FormXRQMain->RecoveredConversions.size(), 2u);
    // Offered once: done, it is not asked again; the running one is still its owner's.
    const std::size_t boxes = script->shown.size();
    FormXRQMain->OfferPendingConversion();
    EXPECT_EQ(script->shown.size(), boxes);
    EXPECT_EQ(filesUnder(download::pendingConversionsFolder(TempFilesPath)),
              std::vector<std::string>{held.path()});
    // Its owner ends it; declined when it is orphaned later, it is gone all the same.
    held.clear();
    leaveOrphan(running, meant);
    script->answers = {false};
    FormXRQMain->OfferPendingConversion();
    EXPECT_FALSE(fs::exists(meant + "R.txt"));
    EXPECT_TRUE(filesUnder(download::pendingConversionsFolder(TempFilesPath)).empty());
}

// The marker's text survives any path (line ends and '\' included); a cut or foreign text is
// no marker, and so is a marker without its end.
TEST(RecoveryMarker, TextRoundTripsAndRefusesWhatIsNotWhole) {
    const download::PendingConversion cases[] = {
        {"/k/2026-01-01_10-00-00.txt", "/data/", 42, "2026-01-01 10:00:00"},
        {"/k/a\nb\\c\r.txt", "/d\\ata\n/", 7, ""},
        {"/k/x.txt", "", 0, ""},
    };
    for (const auto& p : cases) {
        const std::string text = download::markerText(p);
        const auto back = download::parseMarkerText(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(back->download, p.download);
        EXPECT_EQ(back->dataPrefix, p.dataPrefix);
        EXPECT_EQ(back->process, p.process);
        for (std::size_t cut : {std::size_t(0), std::size_t(10), text.size() - 1})
            EXPECT_FALSE(download::parseMarkerText(text.substr(0, cut))) << cut;
    }
    EXPECT_FALSE(download::parseMarkerText("/k/x.txt\n"));
    EXPECT_FALSE(
        download::parseMarkerText("XRQ conversion marker 1\ndownload=/a\\q\ndata=/d/\nend\n"));
    EXPECT_FALSE(download::parseMarkerText("XRQ conversion marker 1\ndata=/d/\nend\n"));
    // A field a later version adds is passed over.
    const auto later = download::parseMarkerText(
        "XRQ conversion marker 1\ndownload=/a\ncolour=blue\ndata=/d/\nend\n");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->download, "/a");
}

// Leftovers that are no marker: a half-written one of a process that died while writing it
// (old enough not to be on its way), a damaged one; a link or FIFO planted in the folder is
// neither followed nor waited on.
TEST_F(Durable, MarkerFolderLeftoversAreClearedAndPlantsIgnored) {
    const std::string folder = download::pendingConversionsFolder(TempFilesPath);
    fs::create_directories(folder);
    const std::string half = folder + ".20260101-000000-000-1.writing";
    { std::ofstream(half) << "XRQ conversion"; }
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(half, old);
    const std::string young = folder + ".20260101-000000-000-2.writing";
    { std::ofstream(young) << "XRQ conversion"; }
    { std::ofstream(folder + "damaged.marker") << "XRQ conversion marker 1\ndownload=/a\n"; }
    const std::string target = root + "/elsewhere.txt";
    { std::ofstream(target) << download::markerText({root + "/k.txt", dataDir, 1, ""}); }
    fs::create_symlink(target, folder + "link.marker");
    ASSERT_EQ(::mkfifo((folder + "fifo.marker").c_str(), 0600), 0);

    EXPECT_TRUE(download::orphanedConversions(TempFilesPath).empty());
    EXPECT_FALSE(fs::exists(half));
    EXPECT_TRUE(fs::exists(young));
    EXPECT_FALSE(fs::exists(folder + "damaged.marker"));
    EXPECT_TRUE(fs::is_symlink(folder + "link.marker"));
    EXPECT_TRUE(fs::exists(target));
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
    EXPECT_EQ(readFile(FormXRQMain->LastDownload.keptFile), *o.rawDownload);
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
