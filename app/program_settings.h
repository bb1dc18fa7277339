// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's settings, XRQ.ini in its files folder: the COM port ([Serial] Port) and the
// data directory ([Data] Directory). One object for the run, below the windows: the start of
// the windowed program or of the collector opens it, the main window and Setup read and write
// it, the collector reads it. UI thread.

#include "platform/ini_file.h"

#include <optional>
#include <string>

class ProgramSettings {
public:
    // XRQ.ini in `filesFolder` (ending in "/").
    explicit ProgramSettings(const std::string& filesFolder);

    platform::IniFile& file() { return m_file; }
    const platform::IniFile& file() const { return m_file; }
    const std::string& fileName() const { return m_file.FileName(); }

    // The port saved, when one is.
    std::optional<int> savedPort() const;
    // The port to start with: the saved one, else COM1.
    int port() const { return m_file.ReadInteger("Serial", "Port", 1); }
    // The data directory saved, else `fallback`.
    std::string dataDirectory(const std::string& fallback) const {
        return m_file.ReadString("Data", "Directory", fallback);
    }
    // False when the file could not be written.
    bool savePort(int port) { return m_file.WriteInteger("Serial", "Port", port); }
    bool saveDataDirectory(const std::string& directory) {
        return m_file.WriteString("Data", "Directory", directory);
    }

private:
    platform::IniFile m_file;
};

// The run's settings, null until opened.
ProgramSettings* programSettings();
// Opens the settings in `filesFolder` (in place of any before) until closed.
ProgramSettings& openProgramSettings(const std::string& filesFolder);
void closeProgramSettings();
