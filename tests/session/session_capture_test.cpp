// SPDX-License-Identifier: GPL-3.0-or-later
// The capture primitive writes whole chunks into the main window's capture file and times
// out on silence only.
#include "session_fixture.h"

#include "download/capture_sink.h"
#include "main/fMain.h"
#include "support/read_file.h"

#include <QPlainTextEdit>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>

namespace {

class Capture : public sessiontest::SessionFixture {
protected:
    void SetUp() override {
        openSession();
        ProgramLocations where;
        where.programDir = sandbox.programDir();
        window = std::make_unique<TFormXRQMain>(where);
        m_savedMain = FormXRQMain;
        FormXRQMain = window.get();
        window->AttachWindow(*form); // as the program's start does
        path = sandbox.work() + "capture.txt";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        sink.attachIntermediate(fd, path);
        window->CaptureFile = &sink;
    }
    void TearDown() override {
        window->CaptureFile = nullptr;
        FormXRQMain = m_savedMain;
        window.reset();
    }
    std::string captured() { return testsupport::readFile(path); }

    std::unique_ptr<TFormXRQMain> window;
    download::CaptureSink sink;
    std::string path;

private:
    TFormXRQMain* m_savedMain = nullptr;
};

TEST_F(Capture, TheTerminatingChunkIsWrittenWholeAndLaterChunksNotAtAll) {
    window->EchoCapture = true;
    sessiontest::soon([&] {
        EXPECT_EQ(pty.readMaster(1), "F");
        pty.writeMaster("line 1\r\nline 2\r\n>tail");
    });
    EXPECT_EQ(form->iCaptureTo("F", '>', 10000), 0);
    // The far end's bytes may come in more than one chunk: all up to the prompt are there,
    // and whatever came with the prompt in its chunk.
    std::string got = captured();
    EXPECT_EQ(got.rfind("line 1\r\nline 2\r\n>", 0), 0u) << got;
    EXPECT_EQ(std::string("line 1\r\nline 2\r\n>tail").rfind(got, 0), 0u) << got;
    EXPECT_TRUE(window->MemoMain->toPlainText().startsWith("line 1\nline 2\n>"));

    pty.writeMaster("after the end");
    EXPECT_EQ(form->iWaitForChar("", 'd', 0, 10000), 1); // the late chunk has been scanned
    EXPECT_EQ(captured(), got);
    EXPECT_EQ(form->Match.Capturing, false);

    std::string log = sessiontest::readLog(LogFilePath).at(2);
    EXPECT_EQ(log, "(:00448) iCaptureTo to \">\"; Command: F (delay 10000)");
}

TEST_F(Capture, ASteadyStreamWithoutPromptTimesOutOnlyAfterItStops) {
    // Twenty-five chunks 100 ms apart outlast the 1500 ms delay several times over; each one
    // starts a fresh period, so all of them are captured before the silence ends the wait.
    int sent = 0;
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        if (sent == 25) {
            feeder.stop();
            return;
        }
        pty.writeMaster("chunk" + std::to_string(sent++) + ";");
    });
    feeder.start(100);
    EXPECT_EQ(form->iCaptureTo("", '>', 1500), 1);
    EXPECT_EQ(sent, 25);
    const std::string got = captured();
    EXPECT_NE(got.find("chunk24;"), std::string::npos) << got;
    EXPECT_EQ(got.rfind("chunk0;", 0), 0u) << got;
}

} // namespace
