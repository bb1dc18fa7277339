// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/program_sandbox.h"

#include "dialogs/run_log.h"

#include <QDir>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace testsupport {

namespace {

bool makeFolder(const std::string& path) {
    std::error_code e;
    std::filesystem::create_directories(path, e);
    return !e && std::filesystem::is_directory(path);
}

std::optional<std::string> environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

} // namespace

ProgramSandbox::ProgramSandbox()
    : m_savedLog(LogFilePath), m_savedTemp(TempFilesPath), m_savedLimit(LogSizeLimit),
      m_savedTable(platform::PortTable::current()) {
    if (!m_root.isValid())
        return;
    m_ok = true;
    for (const std::string& d :
         {home() + "/.config", home() + "/.cache", appData(), desktop(), documents(),
          home() + "/runtime", programDir(), deviceDir(), sysfsDir(), work(), data()})
        m_ok = makeFolder(d) && m_ok;
    // Qt refuses a runtime folder that others may enter.
    std::filesystem::permissions(home() + "/runtime", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    const std::pair<const char*, std::string> env[] = {
        {"HOME", home()},
        {"XDG_CONFIG_HOME", home() + "/.config"},
        {"XDG_DATA_HOME", appData()},
        {"XDG_CACHE_HOME", home() + "/.cache"},
        {"XDG_RUNTIME_DIR", home() + "/runtime"},
    };
    for (const auto& [name, value] : env) {
        m_savedEnv.emplace_back(name, environment(name));
        ::setenv(name, value.c_str(), 1);
    }
}

ProgramSandbox::~ProgramSandbox() {
    for (const auto& [name, value] : m_savedEnv) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    leaveWork();
    LogFilePath = m_savedLog;
    TempFilesPath = m_savedTemp;
    LogSizeLimit = m_savedLimit;
    platform::PortTable::setCurrent(m_savedTable);
}

ProgramLocations ProgramSandbox::locations() const {
    ProgramLocations where;
    where.programDir = programDir();
    where.appData = appData();
    where.desktop = desktop();
    where.documents = documents();
    where.deviceDir = deviceDir();
    where.sysfsDir = sysfsDir();
    return where;
}

bool ProgramSandbox::enterWork() {
    if (!m_savedCwd)
        m_savedCwd = QDir::currentPath().toStdString();
    return QDir::setCurrent(QString::fromStdString(work()));
}

void ProgramSandbox::leaveWork() {
    if (m_savedCwd)
        QDir::setCurrent(QString::fromStdString(*m_savedCwd));
    m_savedCwd.reset();
}

void ProgramSandbox::useRunLog() {
    makeFolder(tempFiles());
    TempFilesPath = tempFiles();
    LogFilePath = runLog();
}

void ProgramSandbox::usePortTable() {
    makeFolder(portFolder());
    platform::PortTable::setCurrent(platform::PortTable(deviceDir(), sysfsDir(), portFolder()));
}

} // namespace testsupport
