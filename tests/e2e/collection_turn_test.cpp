// SPDX-License-Identifier: GPL-3.0-or-later
// Who is on the cable and what a collection owns: the serial number read afresh before a
// download and a clearing (a cable moved to another unit, a unit that gives none), the data
// directory typed without its "/", an intermediate file that is not ours alone, and Exit
// pressed while a collection's last message is open.
#include "e2e_fixture.h"
#include "support/planted_file.h"

#include <QAction>
#include <QLabel>
#include <QStatusBar>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class CollectionTurn : public ProgramRun {
protected:
    static sim::SimOptions unitNamed(const std::string& serial, std::vector<sim::DataSet> sets) {
        sim::SimOptions o = unpaced(std::move(sets));
        o.serialNumber = serial;
        return o;
    }
    static std::string identity() { return FormXRQMain->LabelIdentity->text().toStdString(); }
    static bool startsWith(const std::string& s, const std::string& head) {
        return s.rfind(head, 0) == 0;
    }
    static bool contains(const std::string& s, const std::string& part) {
        return s.find(part) != std::string::npos;
    }
    // Clear Memory answered No at its first question; returns that question.
    std::string firstClearQuestion() {
        const std::size_t mark = boxMark();
        script->queueAnswer(false);
        FormXRQMain->ActionClearMemExecute(nullptr);
        const Boxes shown = boxesSince(mark);
        EXPECT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown.back(), Box(BoxKind::Info, "Memory not cleared"));
        return shown.empty() ? std::string() : shown.front().second;
    }
};

const std::string kStockQuestion =
    "This action is irreversible. Make sure you have saved all your data!\nContinue?";

TEST_F(CollectionTurn, ACableMovedToAnotherUnitIsNoticedBeforeADownloadAndBeforeAClearing) {
    const auto setsA = sim::generateDataSets(1, 5);
    sim::PtyUnit& unit = plugUnit(1, unitNamed("XRQAAAA1", setsA));
    startProgram();
    connectOk();
    collect(defaultDataDir);
    EXPECT_EQ(firstClearQuestion(), kStockQuestion) << "A was downloaded: the usual questions";

    // The cable goes to unit B on the same adapter; the port stays open.
    unit.becomeUnit("XRQBBBB2", sim::generateDataSets(1, 7, 0, 99));
    std::string question = firstClearQuestion();
    EXPECT_TRUE(startsWith(question, "XRQBBBB2 on COM1")) << question;
    EXPECT_TRUE(contains(question, "has not been downloaded")) << question;
    EXPECT_TRUE(startsWith(identity(), "XRQBBBB2 on COM1")) << identity();
    EXPECT_EQ(unit.clearCount(), 0);

    // B downloaded (its serial number read just before "F"): now B may be cleared.
    const std::size_t mark = logMark();
    collect(defaultDataDir);
    const auto lines = logSince(mark);
    bool fromB = false;
    for (const auto& l : lines)
        fromB = fromB || startsWith(l, "Download from XRQBBBB2 on COM1");
    EXPECT_TRUE(fromB);
    EXPECT_EQ(firstClearQuestion(), kStockQuestion);

    // Back to A, which gives no serial number before its download: the download still runs,
    // and the next clearing asks, although A itself was downloaded before.
    unit.becomeUnit("XRQAAAA1", setsA);
    sim::FaultOptions mute;
    mute.ignoredCommands = "R";
    unit.setFaults(mute);
    std::size_t boxes = boxMark();
    collect(defaultDataDir);
    EXPECT_EQ(boxesSince(boxes).back().first, BoxKind::Info);
    EXPECT_TRUE(startsWith(boxesSince(boxes).back().second, "Data collected and placed in "));
    unit.setFaults({});
    question = firstClearQuestion();
    EXPECT_TRUE(startsWith(question, "The last download came from an XRQ unit that did not give "
                                     "its serial number"))
        << question;
    EXPECT_EQ(unit.clearCount(), 0);
}

TEST_F(CollectionTurn, ADirectoryWithoutItsSlashIsTheFolderItNamesOrAPrefixThatIsNamed) {
    const auto sets = sim::generateDataSets(2, 3);
    plugUnit(1, unpaced(sets));
    startProgram();
    connectOk();
    const std::string field = root + "/Field/";
    ASSERT_TRUE(fs::create_directories(field + "typed"));

    struct Case {
        std::string typed;
        std::string filePrefix; // where each set's file goes
        std::string box;
        bool folderLine;
    };
    const Case cases[] = {
        {field + "typed", field + "typed/", "Data collected and placed in " + field + "typed/",
         true},
        {field + "site", field + "site",
         "Data collected and placed in " + field + " as site" + sets[0].name + ".txt, site" +
             sets[1].name + ".txt",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const std::size_t boxes = boxMark();
        const std::size_t mark = logMark();
        collect(c.typed);
        EXPECT_EQ(boxesSince(boxes), (Boxes{{BoxKind::Info, c.box}}));
        for (const auto& set : sets)
            EXPECT_EQ(readFile(c.filePrefix + set.name + ".txt"), expectedFile(set));
        EXPECT_EQ(logged(logSince(mark), "Data directory " + c.typed +
                                             " is a folder: the data files go into " + c.typed +
                                             "/"),
                  c.folderLine);
    }
    EXPECT_FALSE(fs::exists(field + "typed" + sets[0].name + ".txt"));
}

TEST_F(CollectionTurn, AnIntermediateFileThatIsNotOursAloneIsNeverUsed) {
    sim::PtyUnit& unit = plugUnit(1, unpaced(sim::sampleDataSets()));
    startProgram();
    connectOk();
    const std::string path = work + "_$XRQInt.txt";
    const std::string other = work + "elsewhere.txt";
    enum class Plant { Writable, Foreign, Fifo, Link };
    struct Case {
        const char* what;
        Plant plant;
        std::string logged; // part of the log line
    };
    const Case cases[] = {
        {"a file everyone may write", Plant::Writable, "mode 0666: only a file of your own"},
        {"a file of another user", Plant::Foreign, "owned by user 65534"},
        {"a FIFO", Plant::Fifo, "it is not a regular file"},
        {"a link", Plant::Link, "it is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path);
        fs::remove(other);
        if (c.plant == Plant::Foreign && ::geteuid() != 0) {
            std::printf("[ SKIPPED  ] %s: only root can plant it; the root run covers it\n",
                        c.what);
            continue;
        }
        { std::ofstream(other) << "someone else's"; }
        using testsupport::plant;
        const bool planted =
            c.plant == Plant::Writable
                ? plant(path, testsupport::Plant::OwnFile, "planted values", 0666)
            : c.plant == Plant::Foreign
                ? plant(path, testsupport::Plant::ForeignFile, "planted values", 0644)
            : c.plant == Plant::Fifo ? plant(path, testsupport::Plant::Fifo)
                                     : plant(path, testsupport::Plant::Link, {}, 0, other);
        ASSERT_TRUE(planted);
        const std::string before = unit.received();
        const std::size_t boxes = boxMark();
        const std::size_t mark = logMark();
        collect(defaultDataDir);
        EXPECT_EQ(boxesSince(boxes),
                  (Boxes{{BoxKind::Error, "Cannot open intermediate data file"}}));
        EXPECT_EQ(unit.received(), before) << "something was sent";
        bool said = false;
        for (const auto& l : logSince(mark))
            said = said || (startsWith(l, "_$XRQInt.txt: ") && contains(l, c.logged));
        EXPECT_TRUE(said);
        if (c.plant == Plant::Writable || c.plant == Plant::Foreign) {
            EXPECT_EQ(readFile(path), "planted values");
        }
        EXPECT_EQ(readFile(other), "someone else's");
    }
    fs::remove(path);
    // Our own file again: the download runs.
    const std::size_t boxes = boxMark();
    collect(defaultDataDir);
    EXPECT_EQ(boxesSince(boxes),
              (Boxes{{BoxKind::Info, "Data collected and placed in " + defaultDataDir}}));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u);
}

TEST_F(CollectionTurn, ExitWhileTheLastMessageIsOpenWaitsAndTheEndLineStaysLast) {
    plugUnit(1, unpaced(sim::sampleDataSets()));
    startProgram();
    connectOk();
    bool disabledAtBox = false, openAtBox = false;
    script->onBox = [&](const dialogs::BoxShown& box) {
        if (!startsWith(box.text, "Data collected and placed in "))
            return;
        disabledAtBox =
            !FormXRQMain->ActionConnect->isEnabled() && !FormXRQMain->ActionCheckBat->isEnabled() &&
            !FormXRQMain->ActionClearMem->isEnabled() && !FormXRQMain->ActionCollect->isEnabled();
        FormXRQMain->close(); // Exit, while the message is still open
        openAtBox = FormXRQMain->isVisible();
    };
    collect(defaultDataDir);
    script->onBox = nullptr;
    EXPECT_TRUE(disabledAtBox);
    EXPECT_TRUE(openAtBox) << "the program ended under the collection's message";
    ASSERT_TRUE(waitUntil([] { return !FormXRQMain->isVisible(); }));
    const std::string log = this->log();
    const std::string end = "***** Program End *****\r\n";
    ASSERT_GE(log.size(), end.size());
    EXPECT_EQ(log.substr(log.size() - end.size()), end);
    EXPECT_TRUE(contains(log, "Exit waits for the end of the download"));
    EXPECT_LT(log.find("Data collected and placed in "), log.find("Exit waits"));
}

// The "downloaded" mark follows the last download whatever the port did: a unit pulled in
// the middle of its second download no longer counts as downloaded, although its port (and
// with it the current unit) went before the outcome was known.
TEST_F(CollectionTurn, AUnitPulledMidDownloadAfterAGoodOneIsAskedAboutAtClearMemory) {
    const auto sets = sim::generateDataSets(3, 60);
    sim::PtyUnit& unit = plugUnit(1, unitNamed("XRQAAAA1", sets));
    startProgram();
    connectOk();
    collect(defaultDataDir);
    ASSERT_TRUE(FormXRQMain->LastDownload.downloaded);
    EXPECT_EQ(firstClearQuestion(), kStockQuestion) << "downloaded: the usual questions";

    sim::FaultOptions pulled;
    pulled.hangUpAfterBytes = 2000;
    unit.setFaults(pulled);
    collect(defaultDataDir);
    ASSERT_TRUE(waitUntil([&] { return unit.hungUp(); }));
    EXPECT_FALSE(FormXRQMain->LastDownload.downloaded);

    // The adapter comes back with the same unit: its serial number, read afresh before the
    // clearing, answers without a Connect, and the clearing asks first.
    plugUnit(1, unitNamed("XRQAAAA1", sets));
    const std::string question = firstClearQuestion();
    EXPECT_TRUE(startsWith(question, "The last download of XRQAAAA1 was incomplete: ")) << question;
}

} // namespace
