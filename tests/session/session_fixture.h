// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A serial session form over a pty linked as COM5 in a temporary port folder, with its run
// log in a program sandbox and every message box scripted.

#include "dialogs/Dialogs.h"
#include "dialogs/scripted_dialogs.h"
#include "serial/fSerial.h"
#include "support/fake_device_tree.h"
#include "support/program_sandbox.h"
#include "support/pty_pair.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace sessiontest {

constexpr int kPort = 5;

// The run log's lines without their time stamp: "(:00517) iWaitForChar to ...".
inline std::vector<std::string> readLog(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line.size() > 18 ? line.substr(18) : line);
    }
    return lines;
}

// Runs `f` once on the UI thread as soon as the event loop turns (inside a primitive's wait).
inline void soon(std::function<void()> f, int ms = 0) {
    QTimer::singleShot(ms, QCoreApplication::instance(), std::move(f));
}

class SessionFixture : public ::testing::Test {
protected:
    SessionFixture() {
        EXPECT_TRUE(sandbox.ok());
        sandbox.useRunLog();
        LogSizeLimit = 200000;
        form = std::make_unique<TFormSerial>();
        m_savedForm = FormSerial;
        FormSerial = form.get();
        form->ComPortNumber = kPort;
        form->BaudRate = 19200;
    }
    ~SessionFixture() override {
        form.reset();
        FormSerial = m_savedForm;
    }

    // Links the pty as COM5 and opens the session on it.
    void openSession() {
        ASSERT_TRUE(pty.ok());
        pty.linkAs(tree.ports(), kPort);
        ASSERT_EQ(form->iOpenPort(), 0) << lastBox();
        ASSERT_TRUE(form->PortOpen);
    }

    std::vector<std::string> log() const { return readLog(LogFilePath); }
    // The log lines written since the last call.
    std::vector<std::string> newLog() {
        auto all = log();
        std::vector<std::string> fresh(
            all.begin() + static_cast<long>(std::min(m_seen, all.size())), all.end());
        m_seen = all.size();
        return fresh;
    }
    std::string lastBox() const {
        return dialogs.shown.empty() ? std::string("(no box)") : dialogs.shown.back().text;
    }

    testsupport::ProgramSandbox sandbox; // first in, last out
    testsupport::FakeDeviceTree tree;
    testsupport::PtyPair pty;
    dialogs::ScriptedDialogs dialogs;
    std::unique_ptr<TFormSerial> form;

private:
    TFormSerial* m_savedForm = nullptr;
    std::size_t m_seen = 0;
};

} // namespace sessiontest
