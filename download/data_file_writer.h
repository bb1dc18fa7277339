// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One data file as the conversion writes it.

#include <cstdint>
#include <string>
#include <string_view>

namespace download {

// Buffered writer of a data file: every line ends with CR LF. The file is written under a
// temporary name in the data folder and given its real name only by place(), once it is
// complete and on the disk, so that no half file ever carries a data set's name. Write
// failures (a full disk, a removed medium) are remembered and reported by ok(), close() and
// place(), never swallowed.
class DataFileWriter {
public:
    DataFileWriter() = default;
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    // Starts the file of the data set whose names are base.txt, base_000.txt ...
    // base_998.txt, under a temporary name in base's folder; false when it cannot be created
    // (errno tells why).
    bool create(const std::string& base);

    bool isOpen() const { return m_fd >= 0; }
    // The temporary name while open or cut short; the real name once placed.
    const std::string& path() const { return m_path; }
    const std::string& base() const { return m_base; }
    bool writeLine(std::string_view line);
    // A line in pieces: its parts in order, then its end.
    bool writePart(std::string_view part);
    bool endLine();
    bool ok() const { return !m_failed; }
    // Where a file goes when its 1000 names are all taken: a folder of this name (the
    // download's date and time) in the data folder, made when first needed. Empty: such a
    // file is not placed (EEXIST).
    void setOverflowFolder(std::string name) { m_overflowFolder = std::move(name); }
    // The file went into that folder.
    bool overflowed() const { return m_overflowed; }
    // Syncs and closes the file, then gives it the first of its names that does not exist
    // (an existing file, directory or link is never replaced) and reads it back. False when a
    // write, the sync or the naming failed (errno tells why; EEXIST: every name taken), or
    // when the file read back differs from what was written (errno 0, then).
    bool place();
    // Flushes and closes under the temporary name, which then marks the file as incomplete;
    // false when any write or the close failed. The file stays.
    bool close();

private:
    bool flush();
    bool placeAs(const std::string& base);
    bool readBackMatches() const;

    int m_fd = -1;
    bool m_failed = false;
    std::string m_base;
    std::string m_path;
    std::string m_buffer;
    std::uint64_t m_size = 0;
    std::uint64_t m_hash = 0;
    void* m_hashState = nullptr;
    std::string m_overflowFolder;
    bool m_overflowed = false;
};

} // namespace download
