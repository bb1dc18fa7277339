// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_folder_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace setuptest {

void PortFolderTest::SetUp() {
    ASSERT_TRUE(m_sandbox.ok());
    // Empty device and sysfs folders: only the port folder's links exist as ports.
    m_sandbox.usePortTable();
    m_script = std::make_unique<dialogs::ScriptedDialogs>();
    m_previousForm = FormSerial;
    serial = new TFormSerial;
    FormSerial = serial;
}

void PortFolderTest::TearDown() {
    FormSerial = m_previousForm;
    delete serial;
    serial = nullptr;
    resetPorts();
    m_script.reset();
}

void PortFolderTest::resetPorts() {
    for (int fd : m_holders)
        ::close(fd);
    m_holders.clear();
    m_ptys.clear();
    QDir ports(QString::fromStdString(portFolder()));
    for (const QString& entry : ports.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        ports.remove(entry);
    if (m_script)
        m_script->shown.clear();
}

testsupport::PtyPair& PortFolderTest::addPort(int n) {
    m_ptys.push_back(std::make_unique<testsupport::PtyPair>());
    m_ptys.back()->linkAs(portFolder(), n);
    return *m_ptys.back();
}

void PortFolderTest::holdPort(int n) {
    const std::string path = portFolder() + "/COM" + std::to_string(n);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << path;
    m_holders.push_back(fd);
}

void PortFolderTest::addDanglingLink(int n) {
    const std::string link = portFolder() + "/COM" + std::to_string(n);
    ASSERT_EQ(::symlink((root() + "/dev/gone").c_str(), link.c_str()), 0);
}

std::vector<std::string> PortFolderTest::texts(dialogs::BoxKind kind) const {
    std::vector<std::string> out;
    for (const auto& box : m_script->shown)
        if (box.kind == kind)
            out.push_back(box.text);
    return out;
}

} // namespace setuptest
