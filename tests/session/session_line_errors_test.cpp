// SPDX-License-Identifier: GPL-3.0-or-later
// The line errors a device reports during a capture are counted by the session, on the
// in-memory device (a pty has no line errors); a pty's capture says they were not checked.
#include "session_fixture.h"

#include "download/capture_sink.h"
#include "main/fMain.h"
#include "platform/testing/memory_port.h"
#include "platform/win_comm.h"
#include "support/wait.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

using platform::MemoryNullModem;

class LineErrors : public sessiontest::SessionFixture {
protected:
    void SetUp() override {
        ProgramLocations where;
        where.programDir = sandbox.programDir();
        window = std::make_unique<TFormXRQMain>(where);
        m_savedMain = FormXRQMain;
        FormXRQMain = window.get();
        window->AttachWindow(*form); // as the program's start does
        const std::string path = sandbox.work() + "capture.txt";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        sink.attachIntermediate(fd, path);
        window->CaptureFile = &sink;
    }
    void TearDown() override {
        if (far != win::INVALID_HANDLE_VALUE)
            win::CloseHandle(far);
        window->CaptureFile = nullptr;
        FormXRQMain = m_savedMain;
        window.reset();
    }
    // The session on the cable's side A, linked as the port; the test is the unit on side B.
    void openOnCable() {
        const std::string link = tree.ports() + "/COM" + std::to_string(sessiontest::kPort);
        ASSERT_EQ(::symlink(cable.name(MemoryNullModem::A).c_str(), link.c_str()), 0);
        ASSERT_EQ(form->iOpenPort(), 0) << lastBox();
        far = win::CreateFileA(cable.name(MemoryNullModem::B).c_str(),
                               win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                               win::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(far, win::INVALID_HANDLE_VALUE);
    }
    std::string readFar(std::size_t n) {
        std::string got(n, '\0');
        win::DWORD done = 0;
        EXPECT_TRUE(win::ReadFile(far, got.data(), win::DWORD(n), &done, nullptr));
        got.resize(done);
        return got;
    }
    void writeFar(const std::string& bytes) {
        win::DWORD done = 0;
        EXPECT_TRUE(win::WriteFile(far, bytes.data(), win::DWORD(bytes.size()), &done, nullptr));
        EXPECT_EQ(done, bytes.size());
    }

    MemoryNullModem cable;
    win::HANDLE far = win::INVALID_HANDLE_VALUE;
    std::unique_ptr<TFormXRQMain> window;
    download::CaptureSink sink;

private:
    TFormXRQMain* m_savedMain = nullptr;
};

} // namespace

TEST_F(LineErrors, ThoseReportedDuringACaptureAreCountedEachCaptureAfresh) {
    openOnCable();
    const struct {
        unsigned flags;
        const char* counted;
    } cases[] = {
        {win::CE_FRAME | win::CE_OVERRUN, "1 framing, 1 overrun"},
        {win::CE_RXPARITY, "1 parity"},
        {0, "none"},
    };
    for (const auto& c : cases) {
        sessiontest::soon([&] {
            EXPECT_EQ(readFar(1), "F");
            writeFar("\r\nName: A\r\n1,2\r\n");
            if (c.flags != 0) {
                cable.injectLineError(MemoryNullModem::A, c.flags);
                // The prompt follows only once the session has heard of the error.
                EXPECT_TRUE(
                    testsupport::waitUntil([&] { return form->CaptureLineErrors().total() > 0; }));
            }
            writeFar("3,4\r\n>");
        });
        EXPECT_EQ(form->iCaptureTo("F", '>', 10000), 0) << c.counted;
        const LineErrorCounts errors = form->CaptureLineErrors();
        EXPECT_TRUE(errors.checked) << c.counted;
        EXPECT_EQ(errors.text(), c.counted);
    }
}

TEST_F(LineErrors, APtyCaptureSaysTheyWereNotChecked) {
    openSession();
    sessiontest::soon([&] {
        EXPECT_EQ(pty.readMaster(1), "F");
        pty.writeMaster("\r\nName: A\r\n1,2\r\n>");
    });
    EXPECT_EQ(form->iCaptureTo("F", '>', 10000), 0);
    EXPECT_FALSE(form->CaptureLineErrors().checked);
    EXPECT_EQ(form->CaptureLineErrors().text(), "not checked");
}
