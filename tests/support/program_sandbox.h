// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program in a temporary folder, for tests and benchmarks: a home with its XDG folders
// (HOME and XDG_* point there while the sandbox lives), the program's folder, its device and
// sysfs folders, a working directory and a data directory, all under one temporary root that
// goes with the sandbox. The program's own folders (settings XRQ.ini, run log, port folder)
// are where the program puts them when started with locations(): below the home's data
// folder.
//
// Whatever a test points elsewhere while the sandbox lives comes back when it goes: the
// environment, the working directory, the run log's globals and the port table. A test
// that starts the program's windows frees them before the sandbox goes (a fixture member
// declared before what it runs, or a TearDown).
//
// Folders end with "/" where the program's own do (TempFilesPath, a data directory); the
// locations handed to the program are given as the system would give them, without.

#include "app/program_folders.h"
#include "platform/port_table.h"

#include <QTemporaryDir>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ProgramSandbox {
public:
    ProgramSandbox();
    ~ProgramSandbox();
    ProgramSandbox(const ProgramSandbox&) = delete;
    ProgramSandbox& operator=(const ProgramSandbox&) = delete;

    // False when the temporary root or one of its folders could not be made.
    bool ok() const { return m_ok; }

    std::string root() const { return m_root.path().toStdString(); }
    std::string home() const { return root() + "/home"; }
    std::string programDir() const { return root() + "/prog/"; }
    std::string appData() const { return home() + "/.local/share"; }
    std::string desktop() const { return home() + "/Desktop"; }
    std::string documents() const { return home() + "/Documents"; }
    std::string deviceDir() const { return root() + "/dev"; }
    std::string sysfsDir() const { return root() + "/sys"; }
    // The working directory (enterWork) that receives the intermediate file.
    std::string work() const { return root() + "/work/"; }
    // A data directory of the test's own, apart from the program's default one.
    std::string data() const { return root() + "/data/"; }

    // Where the program started with locations() keeps its files.
    std::string tempFiles() const { return appData() + "/Quorvant/XRQ/"; }
    std::string portFolder() const { return tempFiles() + "ports/"; }
    std::string settingsFile() const { return tempFiles() + "XRQ.ini"; }
    std::string runLog() const { return tempFiles() + "XRQ_log.txt"; }
    std::string defaultDataDir() const { return desktop() + "/XRQ Data/"; }

    // The locations to start the program's windows with.
    ProgramLocations locations() const;

    // The working directory becomes work() until leaveWork() or the sandbox goes.
    bool enterWork();
    void leaveWork();
    // The run log and TempFilesPath point at tempFiles() (made here), for tests that write
    // the log without starting the program.
    void useRunLog();
    // The port table looks at the sandbox's device, sysfs and port folders only (the port
    // folder made here), for tests that open ports without starting the program.
    void usePortTable();

private:
    QTemporaryDir m_root;
    bool m_ok = false;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_savedEnv;
    std::optional<std::string> m_savedCwd;
    std::string m_savedLog, m_savedTemp;
    std::int32_t m_savedLimit = 0;
    platform::PortTable m_savedTable;
};

} // namespace testsupport
