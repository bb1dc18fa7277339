// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which device a COM port number stands for. A number n (1..256) is, by the first rule that
// applies:
//   1. the port folder's entry "COMn" (a symbolic link or device node put there by the
//      operator or the unit simulator); like a DOS-devices folder it lets any tty serve;
//   2. n = 1..32: <deviceDir>/ttyS(n-1); 33..64: ttyUSB(n-33); 65..96: ttyACM(n-65).
// The folders are constructor arguments so that tests point the whole program at
// temporary folders holding pty links and never touch the machine's own ports.

#include <optional>
#include <string>

namespace platform {

class PortTable {
public:
    explicit PortTable(std::string deviceDir = "/dev", std::string sysfsDir = "/sys",
                       std::string portFolder = {}, std::string lockDir = "/var/lock");

    const std::string& deviceDir() const { return m_deviceDir; }
    const std::string& sysfsDir() const { return m_sysfsDir; }
    const std::string& portFolder() const { return m_portFolder; }
    // Where UUCP-style lock files ("LCK..ttyUSB0") of other programs live.
    const std::string& lockDir() const { return m_lockDir; }

    // The path that port n stands for by the rules above (the port folder entry's own path
    // when it exists, not its target), or empty for a number out of range / with no rule.
    // Says nothing about whether the device exists.
    std::string devicePath(int n) const;

    // "\\.\COMn" (or "COMn") -> n; anything else -> nullopt.
    static std::optional<int> portNumberFromName(const std::string& name);

    // The table in force for the process. The program installs one at start-up with its
    // port folder; tests install one over temporary folders. Set on the UI thread before
    // any port is opened; read from any thread.
    static PortTable current();
    static void setCurrent(const PortTable& table);

private:
    std::string m_deviceDir;
    std::string m_sysfsDir;
    std::string m_portFolder;
    std::string m_lockDir;
};

} // namespace platform
