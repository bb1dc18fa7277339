// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Points the process's port table at a program sandbox's port folder (with empty device and
// sysfs folders, so no port of the machine is ever looked at), gives the test a fresh serial form
// as FormSerial, and records the message boxes instead of showing them.

#include "dialogs/scripted_dialogs.h"
#include "platform/port_table.h"
#include "serial/fSerial.h"
#include "support/program_sandbox.h"
#include "support/pty_pair.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace setuptest {

using testsupport::waitUntil;

class PortFolderTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Without its trailing "/".
    std::string portFolder() const {
        const std::string folder = m_sandbox.portFolder();
        return folder.substr(0, folder.size() - 1);
    }
    std::string root() const { return m_sandbox.root(); }

    // A pty linked as COMn in the port folder.
    testsupport::PtyPair& addPort(int n);
    // Holds COMn the way another program would: its own open with an exclusive flock.
    void holdPort(int n);
    // A COMn link whose target does not exist.
    void addDanglingLink(int n);

    // Drops every port, holder and box: a fresh start inside one test.
    void resetPorts();

    // The boxes shown so far, and their texts of one kind.
    const std::vector<dialogs::BoxShown>& boxes() const { return m_script->shown; }
    std::vector<std::string> texts(dialogs::BoxKind kind) const;
    dialogs::ScriptedDialogs& script() { return *m_script; }

    TFormSerial* serial = nullptr;

private:
    testsupport::ProgramSandbox m_sandbox; // puts the port table back when it goes
    std::vector<std::unique_ptr<testsupport::PtyPair>> m_ptys;
    std::vector<int> m_holders;
    TFormSerial* m_previousForm = nullptr;
    std::unique_ptr<dialogs::ScriptedDialogs> m_script;
};

} // namespace setuptest
