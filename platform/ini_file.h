// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The settings file with the Windows profile-file semantics, so that a file written by hand or
// by the Windows program reads the same here:
// - every read and write goes straight to the file (nothing cached); other lines are kept;
// - section and key names match case-insensitively; the first matching section and key win;
// - values are raw text: no escaping; surrounding blanks are dropped, and one pair of matching
//   quotes around a value is removed on reading;
// - lines starting with ';' are comments; key lines before the first section belong to none;
// - an integer that does not parse (decimal, or hex as "0x1F" / "$1F") reads as the default.
// Writes replace the file through a temporary file and rename, so a failed write never
// leaves a half-written file; new files get CR LF line ends, existing ones keep theirs.
// Writes return false when the file cannot be written or a name or value would break the
// file's layout (a line break, a key with '=', a section with ']'). A write also fails, and
// leaves the file as it is, when the file exists but cannot be read: writing it from nothing
// would lose every other setting. Section and key names are taken without surrounding
// blanks, on writing and on reading alike. Not thread-safe.

#include <string>

namespace platform {

class IniFile {
public:
    explicit IniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

    const std::string& FileName() const { return m_fileName; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    bool WriteInteger(const std::string& section, const std::string& key, int value);
    bool DeleteKey(const std::string& section, const std::string& key);

private:
    std::string m_fileName;
};

} // namespace platform
