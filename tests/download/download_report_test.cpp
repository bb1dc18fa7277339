// SPDX-License-Identifier: GPL-3.0-or-later
// A download reports to whoever its owner hands it, and shows nothing itself: run over a
// session without a window (the in-memory cable, the unit answering on its far side), every
// word, box and question goes to the report, in the download's order, no box is raised from
// below (the recorded boxes stay empty) and no widget is made.
#include "dialogs/scripted_dialogs.h"
#include "download/download_command.h"
#include "download/download_report.h"
#include "platform/testing/memory_port.h"
#include "platform/win_comm.h"
#include "session/byte_sink.h"
#include "session/serial_session.h"
#include "support/fake_device_tree.h"
#include "support/program_sandbox.h"
#include "support/read_file.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using platform::MemoryNullModem;

constexpr int kPort = 7;

// Every call in order, as "kind: text".
class RecordingReport : public download::DownloadReport {
public:
    void begin() override { said.push_back("begin"); }
    void progress(const QString& text) override {
        ++progressLines;
        lastProgress = text;
    }
    void note(const QString& text) override { said.push_back("note: " + text.toStdString()); }
    void outcome(const QString& text) override { said.push_back("outcome: " + text.toStdString()); }
    void error(const std::string& text) override { said.push_back("error: " + text); }
    void warning(const std::string& text) override { said.push_back("warning: " + text); }
    void info(const std::string& text) override { said.push_back("info: " + text); }
    bool confirm(const std::string& text, bool defaultYes) override {
        said.push_back("confirm: " + text);
        return defaultYes;
    }

    std::vector<std::string> said;
    int progressLines = 0;
    QString lastProgress;
};

class DownloadReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        sandbox.useRunLog();
        ASSERT_TRUE(sandbox.enterWork());
        std::filesystem::create_directories(sandbox.data());
        widgetsBefore = QApplication::allWidgets().size();
        session.ComPortNumber = kPort;
        session.BaudRate = 19200;
        const std::string link = tree.ports() + "/COM" + std::to_string(kPort);
        ASSERT_EQ(::symlink(cable.name(MemoryNullModem::A).c_str(), link.c_str()), 0);
        ASSERT_EQ(session.iOpenPort(), 0);
        far = win::CreateFileA(cable.name(MemoryNullModem::B).c_str(),
                               win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(far, win::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (far != win::INVALID_HANDLE_VALUE)
            win::CloseHandle(far);
        session.iClosePort();
        EXPECT_TRUE(boxes.shown.empty())
            << "a box was raised from below: " << boxes.shown.front().text;
        EXPECT_EQ(QApplication::allWidgets().size(), widgetsBefore);
    }
    // The unit on side B answers "F" with `reply` once the session waits.
    void unitAnswers(std::string reply) {
        QTimer::singleShot(0, [this, reply = std::move(reply)] {
            char command = 0;
            win::DWORD done = 0;
            EXPECT_TRUE(win::ReadFile(far, &command, 1, &done, nullptr));
            EXPECT_TRUE(
                win::WriteFile(far, reply.data(), win::DWORD(reply.size()), &done, nullptr));
        });
    }
    download::DownloadOutcome download(const std::string& dataDirectory) {
        download::DownloadHooks hooks;
        hooks.report = &report;
        hooks.dataDirectory = dataDirectory;
        hooks.unitText = "QK7Z04M1 on COM7";
        hooks.unitSerial = "QK7Z04M1";
        return download::runDownload(session, noEcho, hooks);
    }

    testsupport::ProgramSandbox sandbox; // first in, last out
    testsupport::FakeDeviceTree tree;
    dialogs::ScriptedDialogs boxes;
    MemoryNullModem cable;
    session::SerialSession session;
    session::NullSink noEcho;
    RecordingReport report;
    win::HANDLE far = win::INVALID_HANDLE_VALUE;
    qsizetype widgetsBefore = 0;
};

} // namespace

// What the unit answers, and what the report is told, in order (progress aside).
TEST_F(DownloadReportTest, EveryWordOfADownloadGoesToItsReportInOrder) {
    struct Case {
        const char* name;
        std::string reply;
        std::vector<std::string> said; // "@" stands for the data folder
        bool placed;
    };
    const std::string notVerified = " - not verified: its kept copy could not be written";
    const std::vector<Case> cases = {
        {"two data sets",
         "\r\nName: SITE1\r\n26/11/30 10:00:00,1.5\r\nName: SITE2\r\n26/11/30 11:00:00,2.5\r\n>",
         // No kept copy without a files folder: the outcome line says so, the Part's box not.
         {"begin", "outcome: Data collected and placed in @" + notVerified,
          "info: Data collected and placed in @"},
         true},
        {"no data",
         "\r\nNo data\r\n>",
         {"begin", "outcome: No data in XRQ" + notVerified, "info: No data in XRQ"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        report.said.clear();
        report.progressLines = 0;
        const std::string folder = sandbox.data() + c.name + "/";
        std::filesystem::create_directories(folder);
        unitAnswers(c.reply);
        const download::DownloadOutcome outcome = download(folder);
        std::vector<std::string> expected;
        for (std::string line : c.said) {
            if (const auto at = line.find('@'); at != std::string::npos)
                line.replace(at, 1, folder);
            expected.push_back(line);
        }
        EXPECT_EQ(report.said, expected);
        EXPECT_TRUE(outcome.started);
        EXPECT_TRUE(outcome.captured);
        EXPECT_EQ(outcome.placed, c.placed);
        // The figures came while it ran, and the last counted every byte of the answer.
        EXPECT_GE(report.progressLines, 2);
        EXPECT_TRUE(report.lastProgress.contains(QStringLiteral("%1 bytes").arg(c.reply.size())))
            << report.lastProgress.toStdString();
        session.AwaitReplyTail();
    }
}

// Refused before anything is sent: the box is the report's, and nothing was begun.
TEST_F(DownloadReportTest, ADataFolderThatCannotTakeFilesIsToldBeforeAnythingIsSent) {
    const std::string folder = sandbox.data() + "locked/";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);
    if (::access(folder.c_str(), W_OK) == 0) {
        ::chmod(folder.c_str(), 0700);
        GTEST_SKIP() << "root writes into any folder: run as the test user";
    }
    const download::DownloadOutcome outcome = download(folder);
    ::chmod(folder.c_str(), 0700);
    EXPECT_FALSE(outcome.started);
    ASSERT_EQ(report.said.size(), 1u);
    EXPECT_EQ(report.said[0].rfind("error: Cannot write into the data directory " + folder, 0), 0u)
        << report.said[0];
    EXPECT_EQ(report.progressLines, 0);
}

// A kept download converted by hand: its words go to the report handed in, not a box.
TEST_F(DownloadReportTest, AKeptDownloadConvertedByHandTellsItsReport) {
    const std::string kept = sandbox.root() + "/kept.txt";
    {
        std::FILE* f = std::fopen(kept.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("\r\nName: SITE9\r\n26/11/30 10:00:00,1.5\r\n>", f);
        std::fclose(f);
    }
    const std::string folder = sandbox.data();
    const download::ConvertOutcome converted =
        download::convertKeptDownload(kept, folder, std::string(), report);
    ASSERT_EQ(converted.files.size(), 1u);
    EXPECT_EQ(report.said,
              (std::vector<std::string>{"info: The kept download " + kept +
                                        " was converted into:\n" + converted.files[0]}));
    EXPECT_EQ(testsupport::readFile(converted.files[0]),
              "Name: SITE9\r\n26/11/30 10:00:00,1.5\r\n");
}
