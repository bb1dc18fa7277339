// SPDX-License-Identifier: GPL-3.0-or-later
// Collect Data end to end: the program's windows, the real session and the simulated unit.
#include "support/program_fixture.h"

#include "download/download_record.h"
#include "download/download_status.h"
#include "setup/fSetup.h"
#include "widgets/Comsignal.h"
#include "widgets/byte_text_view.h"
#include "widgets/status_panel.h"

#include <QLineEdit>
#include <QScopeGuard>
#include <QStatusBar>

#include <QElapsedTimer>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using dialogs::BoxKind;

// The boxes of the collection, without the port list's notes about ports coming and going
// (the simulator's port appears while the test runs).
std::vector<std::pair<BoxKind, std::string>> boxes(const dialogs::ScriptedDialogs& s) {
    std::vector<std::pair<BoxKind, std::string>> out;
    for (const auto& b : s.shown) {
        if (b.text.rfind("Com port ", 0) == 0 || b.text.rfind("No Comports", 0) == 0)
            continue;
        out.emplace_back(b.kind, b.text);
    }
    return out;
}

// The bytes a data set's file must hold: header and records as the unit sent them, CR LF.
std::string expectedFile(const sim::DataSet& set) {
    std::string text = "Name: " + set.name + "\r\n";
    for (const auto& r : set.records)
        text += r + "\r\n";
    return text;
}

using CollectData = ProgramFixture;

TEST_F(CollectData, SampleGivesOneExactFilePerSetAndRepeatsAreNumbered) {
    connectSampleUnit();
    const std::vector<sim::DataSet> sets = sim::sampleDataSets();
    FormXRQMain->MemoMain->setPlainText("earlier text");

    collect(dataDir);
    ASSERT_EQ(boxes(*script), (std::vector<std::pair<BoxKind, std::string>>{
                                  {BoxKind::Info, "Data collected and placed in " + dataDir}}));
    for (const auto& set : sets)
        EXPECT_EQ(readFile(dataDir + set.name + ".txt"), expectedFile(set)) << set.name;
    EXPECT_EQ(FormXRQMain->CaptureFile, nullptr);
    EXPECT_FALSE(FormXRQMain->EchoCapture);
    // The download scrolled through the main window after what was there.
    const QString memo = FormXRQMain->MemoMain->toPlainText();
    EXPECT_TRUE(memo.startsWith("earlier text"));
    EXPECT_TRUE(memo.contains(QString::fromStdString("Name: " + sets[0].name)));
    EXPECT_TRUE(FormXRQMain->StatusPanel1->progress().startsWith("Received"))
        << FormXRQMain->StatusPanel1->progress().toStdString();
    // The receive lamp sits between the port and the session, and passed every chunk on.
    EXPECT_TRUE(FormXRQMain->ComSignal->Hooked());
    EXPECT_EQ(FormXRQMain->ComSignal->ComPort(), FormSerial->SerialCom);

    collect(dataDir);
    EXPECT_EQ(boxes(*script).size(), 2u);
    for (const auto& set : sets) {
        EXPECT_EQ(readFile(dataDir + set.name + "_000.txt"), expectedFile(set));
        EXPECT_EQ(readFile(dataDir + set.name + ".txt"), expectedFile(set));
    }
}

// The intermediate file holds the unit's data: the operator's alone, whether it is made now or
// was left by an earlier version with the mode that version gave it.
TEST_F(CollectData, TheIntermediateFileIsTheOperatorsAlone) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::sampleDataSets();
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    const std::string path = work + "_$XRQInt.txt";
    for (const bool leftBefore : {true, false}) {
        SCOPED_TRACE(leftBefore ? "left by an earlier version" : "made now");
        ::unlink(path.c_str());
        if (leftBefore) {
            std::ofstream(path) << "old";
            ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        }
        collect(dataDir);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(FormXRQMain->LastDownload.verified);
    }
}

TEST_F(CollectData, NoDataAndHostileNames) {
    sim::SimOptions o;
    o.baud = 0;
    startUnit(o); // empty memory
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    collect(dataDir);
    ASSERT_EQ(boxes(*script),
              (std::vector<std::pair<BoxKind, std::string>>{{BoxKind::Info, "No data in XRQ"}}));
    EXPECT_TRUE(fs::is_empty(dataDir));

    unit->setMemory(sim::hostileDataSets());
    collect(dataDir);
    ASSERT_EQ(boxes(*script).size(), 2u);
    EXPECT_EQ(boxes(*script)[1].first, BoxKind::Info);
    // Every data file landed inside the data directory, none above or beside it.
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string path = e.path().string();
        if (!e.is_regular_file() || path.rfind(sandbox.home() + "/", 0) == 0 ||
            path.rfind(work, 0) == 0)
            continue;
        if (path.rfind(dataDir, 0) == 0 && e.path().parent_path() == fs::path(root) / "data")
            ++files;
        else
            ADD_FAILURE() << "file outside the data directory: " << path;
    }
    EXPECT_EQ(files, sim::hostileDataSets().size());
}

TEST_F(CollectData, SilenceBeforeThePromptKeepsThePartialDownloadAndEarlierFiles) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::sampleDataSets();
    o.faults.silentAfterBytes = 300;
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    const std::string earlier = dataDir + o.dataSets[0].name + ".txt";
    { std::ofstream(earlier, std::ios::binary) << "an earlier download"; }
    collect(dataDir);
    EXPECT_EQ(boxes(*script),
              (std::vector<std::pair<BoxKind, std::string>>{
                  {BoxKind::Error, "Timeout during data download"},
                  {BoxKind::Error, "Invalid file format - data in Intermediate.txt"}}));
    EXPECT_EQ(intermediate().size(), 300u);
    EXPECT_EQ(readFile(earlier), "an earlier download");
    EXPECT_EQ(std::distance(fs::directory_iterator(dataDir), fs::directory_iterator{}), 1);
    EXPECT_EQ(FormXRQMain->CaptureFile, nullptr);
}

TEST_F(CollectData, ClosedSessionSendsNothingAndTimesOut) {
    sim::SimOptions o;
    o.dataSets = sim::sampleDataSets();
    startUnit(o); // the port is never opened
    collect(dataDir);
    EXPECT_EQ(boxes(*script),
              (std::vector<std::pair<BoxKind, std::string>>{
                  {BoxKind::Error, "Timeout during data download"},
                  {BoxKind::Error, "Invalid file format - data in Intermediate.txt"}}));
    EXPECT_TRUE(fs::exists(work + "_$XRQInt.txt"));
    EXPECT_EQ(intermediate(), "");
    EXPECT_EQ(unit->received(), "");
}

TEST_F(CollectData, IntermediateFileThatCannotBeCreated) {
    fs::create_directory(work + "_$XRQInt.txt");
    connectSampleUnit();
    collect(dataDir);
    EXPECT_EQ(boxes(*script), (std::vector<std::pair<BoxKind, std::string>>{
                                  {BoxKind::Error, "Cannot open intermediate data file"}}));
    EXPECT_TRUE(unit->received().find('F') == std::string::npos);
}

TEST_F(CollectData, SecondCollectDuringADownloadIsRefusedAndLosesNothing) {
    sim::SimOptions o;
    o.baud = 19200; // paced: the download lasts long enough to press again
    o.dataSets = sim::generateDataSets(1, 40, 60);
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    bool pressedAgain = false;
    QTimer::singleShot(300, [&] {
        pressedAgain = true;
        FormXRQMain->ActionCollectExecute(nullptr);
    });
    FormXRQMain->ActionCollectExecute(nullptr);
    ASSERT_TRUE(pressedAgain);
    ASSERT_EQ(boxes(*script).size(), 1u);
    EXPECT_EQ(boxes(*script)[0].first, BoxKind::Info);
    EXPECT_EQ(readFile(dataDir + o.dataSets[0].name + ".txt"), expectedFile(o.dataSets[0]));
}

} // namespace

// A link (to a file or dangling) or a FIFO planted as "_$XRQInt.txt" in the working folder:
// refused with the usual message, nothing sent, the link's target untouched, no hang.
TEST_F(CollectData, PlantedIntermediateFileIsRefused) {
    connectSampleUnit();
    const std::string planted = work + "_$XRQInt.txt";
    const std::string target = root + "/victim.txt";
    enum class Plant { Link, Dangling, Fifo };
    for (const Plant plant : {Plant::Link, Plant::Dangling, Plant::Fifo}) {
        SCOPED_TRACE(static_cast<int>(plant));
        fs::remove(planted);
        fs::remove(target);
        if (plant == Plant::Link) {
            std::ofstream(target) << "not yours";
            fs::create_symlink(target, planted);
        } else if (plant == Plant::Dangling) {
            fs::create_symlink(target, planted);
        } else {
            ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
        }
        script->shown.clear();
        const std::string sentBefore = unit->received();
        collect(dataDir);
        EXPECT_EQ(boxes(*script), (std::vector<std::pair<BoxKind, std::string>>{
                                      {BoxKind::Error, "Cannot open intermediate data file"}}));
        EXPECT_EQ(unit->received(), sentBefore);
        if (plant == Plant::Link)
            EXPECT_EQ(readFile(target), "not yours");
        else
            EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(FormXRQMain->CaptureFile, nullptr);
    }
    fs::remove(planted);
    EXPECT_TRUE(fs::is_empty(dataDir));
}

TEST_F(CollectData, UnwritableDataFolderIsReportedBeforeAnythingIsSent) {
    connectSampleUnit();
    const std::string sentBefore = unit->received();
    // A file where the folder should be: refused for any user, root included.
    std::ofstream(root + "/notafolder") << "x";
    collect(root + "/notafolder/");
    const auto shown = boxes(*script);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, BoxKind::Error);
    EXPECT_EQ(
        shown[0].second.rfind("Cannot write into the data directory " + root + "/notafolder/\n", 0),
        0u);
    EXPECT_NE(shown[0].second.find("Not a directory"), std::string::npos);
    EXPECT_EQ(unit->received(), sentBefore);
    EXPECT_FALSE(fs::exists(work + "_$XRQInt.txt"));
}

// A '>' inside a record ends the capture as the protocol says; what came after it is lost, and
// the operator is told so after the data files are written.
TEST_F(CollectData, PromptInsideTheDataWarnsThatTheDownloadMayBeIncomplete) {
    sim::SimOptions o;
    // Paced in small writes, so that the capture ends soon after the '>' and the rest comes
    // after it, as from the unit.
    o.baud = 19200;
    o.chunkBytes = 8;
    std::string raw = "\r\nFILE DUMP\r\nName: CUT\r\n1,2,3\r\n4,5>6\r\n";
    for (int i = 0; i < 100; ++i)
        raw += "7,8," + std::to_string(i) + "\r\n";
    raw += ">";
    o.rawDownload = raw;
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    collect(dataDir);
    const auto shown = boxes(*script);
    // The '>' stands inside a converted line: a line rule says so first.
    ASSERT_EQ(shown.size(), 3u) << (shown.empty() ? "" : shown[0].second);
    EXPECT_EQ(shown[0].first, BoxKind::Warning);
    EXPECT_NE(shown[0].second.find("the unit's prompt '>' inside a line"), std::string::npos);
    EXPECT_EQ(shown[1].first, BoxKind::Warning);
    EXPECT_NE(shown[1].second.find("may be incomplete"), std::string::npos);
    EXPECT_EQ(shown[2], std::make_pair(BoxKind::Info, "Data collected and placed in " + dataDir));
    EXPECT_EQ(readFile(dataDir + "CUT.txt").rfind("Name: CUT\r\n1,2,3\r\n", 0), 0u);
    const std::string log = readFile(LogFilePath);
    EXPECT_NE(log.find("the download may be incomplete"), std::string::npos);
}

// Exit while the unit is still sending: Yes stops the download at once, closes the port,
// keeps the intermediate file with what came, and shows nothing more.
TEST_F(CollectData, ExitDuringADownloadStopsItAndKeepsTheIntermediateFile) {
    sim::SimOptions o;
    o.baud = 19200; // about 2 kB/s: the download takes far longer than the test
    o.dataSets = sim::generateDataSets(20, 2000);
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    script->queueAnswer(true);
    bool asked = false;
    // Exit once the first bytes show in the main window.
    QObject::connect(FormXRQMain->MemoMain, &ByteTextView::bytesAppended, FormXRQMain, [&] {
        if (asked)
            return;
        asked = true;
        QTimer::singleShot(0, [] { FormXRQMain->close(); });
    });
    QElapsedTimer clock;
    clock.start();
    collect(dataDir);
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_TRUE(asked);
    const auto shown = boxes(*script);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, BoxKind::Confirm);
    EXPECT_FALSE(FormSerial->PortOpen);
    EXPECT_FALSE(FormXRQMain->isVisible());
    const std::string kept = intermediate();
    EXPECT_FALSE(kept.empty());
    EXPECT_EQ(kept.find('>'), std::string::npos); // cut short, not finished
    EXPECT_TRUE(fs::is_empty(dataDir));
    DestroyProgramWindows();
    const std::string log = readFile(LogFilePath);
    const std::string end = "***** Program End *****\r\n";
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end);
}

// A damaged download: the files hold the lines as they came, and one warning box lists why
// it is not verified before the usual box; the unit is not marked downloaded.
TEST_F(CollectData, ADamagedDownloadIsToldAsNotVerifiedBeforeTheUsualBox) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::generateDataSets(2, 5);
    o.faults.controlBytesInData = true;
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    collect(dataDir);
    const auto shown = boxes(*script);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].first, BoxKind::Warning);
    EXPECT_EQ(shown[0].second.rfind("The download could not be verified:\n- control bytes in the "
                                    "download's lines (line ",
                                    0),
              0u)
        << shown[0].second;
    EXPECT_EQ(shown[1], std::make_pair(BoxKind::Info, "Data collected and placed in " + dataDir));
    const download::DownloadOutcome& last = FormXRQMain->LastDownload;
    EXPECT_FALSE(last.downloaded);
    ASSERT_EQ(last.reasons.size(), 1u);
    ASSERT_EQ(last.setLines.size(), 2u);
    EXPECT_EQ(last.setLines[0].lines, 5u);
    EXPECT_TRUE(FormXRQMain->StatusPanel1->outcome().contains("not verified: control bytes"))
        << FormXRQMain->StatusPanel1->outcome().toStdString();
    EXPECT_NE(FormXRQMain->Units.lastDownloadIncomplete(o.serialNumber).find("control bytes"),
              std::string::npos);
    // Written as they came: the damaged record whole.
    std::string record = o.dataSets[0].records[0];
    record.insert(record.size() / 2, std::string("\0\xff\x01\x1b", 4));
    EXPECT_NE(readFile(dataDir + o.dataSets[0].name + ".txt").find(record), std::string::npos);
}

// A kept copy whose writes fail is told as failed, with its path and reason, and never as a
// place of the download's bytes; the download is not called safe.
TEST_F(CollectData, AKeptCopyThatFailedIsToldAsFailedNeverAsWhereTheBytesAre) {
    sim::SimOptions o;
    o.baud = 0;
    o.dataSets = sim::generateDataSets(2, 5);
    startUnit(o);
    ASSERT_EQ(FormSerial->iOpenPort(), 0);
    download::CaptureSink::failKeptWritesForTests(ENOSPC);
    auto clearFault = qScopeGuard([] { download::CaptureSink::failKeptWritesForTests(0); });
    collect(dataDir);
    const download::DownloadOutcome& last = FormXRQMain->LastDownload;
    EXPECT_TRUE(last.keptFile.empty()) << last.keptFile;
    EXPECT_EQ(last.keptFailure.rfind("Cannot write the kept download " + TempFilesPath, 0), 0u)
        << last.keptFailure;
    EXPECT_NE(last.keptFailure.find(std::strerror(ENOSPC)), std::string::npos);
    EXPECT_FALSE(last.downloaded);
    EXPECT_EQ(last.unverified, "its kept copy could not be written");
    const unitreg::Download record = download::downloadRecord(last, "XRQ1", 1, 2);
    EXPECT_TRUE(record.keptFile.empty());
    ASSERT_FALSE(record.reasons.empty());
    EXPECT_EQ(record.reasons.back(), last.keptFailure);
    const std::string log = readFile(LogFilePath);
    EXPECT_EQ(log.find("Download kept in"), std::string::npos);
    EXPECT_NE(log.find(last.keptFailure), std::string::npos);
}
