// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/program_settings.h"

#include <memory>

namespace {

std::unique_ptr<ProgramSettings>& current() {
    static std::unique_ptr<ProgramSettings> settings;
    return settings;
}

} // namespace

ProgramSettings::ProgramSettings(const std::string& filesFolder)
    : m_file(filesFolder + "XRQ.ini") {}

std::optional<int> ProgramSettings::savedPort() const {
    if (!m_file.ValueExists("Serial", "Port"))
        return std::nullopt;
    return m_file.ReadInteger("Serial", "Port", 0);
}

ProgramSettings* programSettings() {
    return current().get();
}

ProgramSettings& openProgramSettings(const std::string& filesFolder) {
    current() = std::make_unique<ProgramSettings>(filesFolder);
    return *current();
}

void closeProgramSettings() {
    current().reset();
}
