// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A temporary device folder, sysfs folder and port folder, installed as the process's port
// table for the life of the object, so that tests list, probe and configure ptys linked
// there and never the machine's own serial ports.

#include "platform/port_table.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <optional>
#include <string>

namespace testsupport {

class FakeDeviceTree {
public:
    FakeDeviceTree(); // installs the table; the previous one comes back on destruction
    ~FakeDeviceTree();
    FakeDeviceTree(const FakeDeviceTree&) = delete;
    FakeDeviceTree& operator=(const FakeDeviceTree&) = delete;

    std::string dev() const { return m_root.path().toStdString() + "/dev"; }
    std::string sys() const { return m_root.path().toStdString() + "/sys"; }
    std::string ports() const { return m_root.path().toStdString() + "/ports"; }
    platform::PortTable table() const { return platform::PortTable(dev(), sys(), ports()); }

    // <dev>/<name> -> target (a pty slave, usually). Returns the link's path.
    std::string linkDevice(const std::string& name, const std::string& target) const;
    // <sys>/class/tty/<name>, with a "device" folder when the tty is backed by hardware and a
    // "type" file holding the UART type when given.
    void addSysfsTty(const std::string& name, bool withDevice,
                     std::optional<int> uartType = std::nullopt) const;
    // Writes `text` into <sys>/<relative>, creating folders on the way.
    void writeSysfs(const std::string& relative, const std::string& text) const;
    // Makes <sys>/<relative> a symbolic link to `target` (relative targets allowed).
    void linkSysfs(const std::string& relative, const std::string& target) const;

private:
    QTemporaryDir m_root;
    platform::PortTable m_previous;
};

inline FakeDeviceTree::FakeDeviceTree() : m_previous(platform::PortTable::current()) {
    if (!m_root.isValid())
        ADD_FAILURE() << "no temporary folder";
    std::filesystem::create_directories(dev());
    std::filesystem::create_directories(sys() + "/class/tty");
    std::filesystem::create_directories(ports());
    platform::PortTable::setCurrent(table());
}

inline FakeDeviceTree::~FakeDeviceTree() {
    platform::PortTable::setCurrent(m_previous);
}

inline std::string FakeDeviceTree::linkDevice(const std::string& name,
                                              const std::string& target) const {
    std::string link = dev() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
    return link;
}

inline void FakeDeviceTree::addSysfsTty(const std::string& name, bool withDevice,
                                        std::optional<int> uartType) const {
    const std::string dir = sys() + "/class/tty/" + name;
    std::filesystem::create_directories(dir);
    if (withDevice)
        std::filesystem::create_directories(dir + "/device");
    if (uartType)
        writeSysfs("class/tty/" + name + "/type", std::to_string(*uartType) + "\n");
}

inline void FakeDeviceTree::writeSysfs(const std::string& relative, const std::string& text) const {
    std::filesystem::path p = sys() + "/" + relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

inline void FakeDeviceTree::linkSysfs(const std::string& relative,
                                      const std::string& target) const {
    std::filesystem::path p = sys() + "/" + relative;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::remove_all(p);
    if (::symlink(target.c_str(), p.c_str()) != 0)
        ADD_FAILURE() << "symlink " << p << ": " << strerror(errno);
}

} // namespace testsupport
