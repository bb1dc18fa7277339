// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The second phase of a download: reading the intermediate file back and splitting it into
// one data file per data set, plus the small pieces it is built from (line kinds, header
// names made safe for the file system, exclusive creation of numbered names, CR LF writing)
// and the progress figures shown while the capture runs. Nothing here touches a window, so
// tests drive it directly; the main window only shows the outcome.
//
// Files are handled through plain descriptors with large buffers: the intermediate file is
// read line by line and never held whole, and a data file is created exclusively, so an
// existing file (or a link in its place) is never overwritten.

#include "series/download_lines.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace collection {

// Name of the intermediate file, in the process's working directory.
inline constexpr const char* kIntermediateFileName = "_$XRQInt.txt";

// The kinds of line and a header's name: one rule for the conversion and the series.
using series::classifyLine;
using series::headerName;
using series::LineKind;

// The name as a file-name component: its Latin-1 characters in UTF-8; control characters and
// those that Windows and FAT/exFAT memory sticks refuse (\ / : * ? " < > |) become '_', so
// the data can be copied to a stick and the name can never lead out of the data directory.
std::string safeFileName(std::string_view name);

// The longest name that still makes a file name the system accepts (numbered form included)
// after `directory`, whose last component the name is joined to. A longer name is cut there,
// never inside a UTF-8 character: a set kept under a shortened name beats a download that
// fails.
std::string fitFileName(std::string name, std::string_view directory);

// Path bytes of a directory typed by the operator (local 8-bit encoding of file names).
std::string directoryBytes(const QString& directory);

// Whether data files can be created under `directory` (a prefix: the folder is the part up
// to its last '/'). Tried for real with a file created and removed at once, since the
// permission bits alone do not tell (a read-only mount, a full disk of inodes, root). On
// false, `why` holds the reason.
bool canCreateFilesIn(const std::string& directory, std::string& why);

// The reason an open of a fixed-name file failed, in the operator's words.
std::string openErrorText(int err);

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
    // Where a file goes when its 999 numbered names are all taken: a folder of this name
    // (the download's date and time) in the data folder, made when first needed. Empty: such
    // a file is not placed (EEXIST).
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

// Identity of the intermediate file as it was written, so that the file read back is that
// same file and not one put in its place meanwhile.
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long inode = 0;
};
bool fileIdentity(int fd, FileIdentity& id);

// Reads the intermediate file line by line in pieces of bounded size, so that memory does not
// grow with the longest line: a line ends at LF, and one CR just before that LF belongs to
// the line end. What follows the last LF is not returned (it is the unit's closing prompt);
// it is counted in trailingBytes(). The file is opened by its fixed name: a link or anything
// but a regular file is refused.
class LineReader {
public:
    static constexpr std::size_t kPiece = 1 << 20;

    LineReader() = default;
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool open(const std::string& path);
    const FileIdentity& identity() const { return m_identity; }
    // The next piece of the current line, valid until the next call. `first`: the piece
    // starts a line (a first piece that does not end its line holds at least two bytes, enough
    // to tell the line's kind); `last`: it ends the line (its line end removed). False at the
    // end and on a read error (see failed()).
    bool nextPiece(std::string_view& piece, bool& first, bool& last);
    // File offset of the line that the last piece belongs to, and a way back to it.
    std::uint64_t lineStart() const { return m_lineStart; }
    void rewindTo(std::uint64_t offset);
    bool failed() const { return m_failed; }
    std::uint64_t trailingBytes() const { return m_size - m_limit; }
    // The first bytes (at most 4096) after the last LF.
    const std::string& trailingHead() const { return m_trailingHead; }

private:
    bool fill();

    int m_fd = -1;
    bool m_failed = false;
    FileIdentity m_identity;
    std::uint64_t m_size = 0;
    std::uint64_t m_limit = 0;    // one past the last LF
    std::uint64_t m_bufferAt = 0; // file offset of m_buffer[0]
    std::uint64_t m_lineStart = 0;
    bool m_atLineStart = true;
    std::string m_trailingHead;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

enum class ConvertResult {
    Collected,     // end of file reached: "Data collected and placed in " + directory
    NoData,        // the unit answered "No data"
    InvalidFormat, // header without ':', a data file not created or not written in full
    CannotReopen,  // the intermediate file could not be opened for reading
};

struct ConvertOutcome {
    ConvertResult result = ConvertResult::Collected;
    // Data files placed under their real names, synced and read back, in order (kept on
    // every outcome).
    std::vector<std::string> files;
    std::string detail; // why InvalidFormat / CannotReopen came about (for the log)
    // A data file cut by a failure, under its temporary name (empty when none).
    std::string incompleteFile;
    // Every placed file and the folder naming them are on the disk.
    bool durable = true;
    // Read back, every placed file holds exactly the lines the conversion wrote.
    bool readBack = true;
    // The intermediate file ends without the unit's prompt (a cut download): the last data
    // set, lastSet, is incomplete, and only the whole lines that arrived of it are written.
    bool cut = false;
    std::string lastSet;
    // What the conversion left out: the bytes after the file's last line end, and how many of
    // them are the prompt's own line (up to and including its '>'; 0 when they hold none).
    std::uint64_t trailingBytes = 0;
    std::uint64_t promptLineBytes = 0;
    // Data sets whose numbered names were all taken went into this folder (empty: none).
    std::string overflowFolder;
};

// Splits the intermediate file into data files named after their headers under
// `directory` (used as a plain prefix, nothing inserted). Files placed before a failure
// stay as they are, the one cut by it under its temporary name; the intermediate file is
// only read. With `written`, a file that is not
// the one written (replaced meanwhile) counts as one that cannot be reopened.
ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory,
                                       const FileIdentity* written = nullptr);

// True when the bytes the download threw away after the unit's prompt (those left out of
// the conversion, and those that arrived after the capture had ended) are more than the
// prompt's own line: the '>' then stood inside the data, and the download may be incomplete.
bool downloadMayBeIncomplete(const ConvertOutcome& outcome, std::uint64_t lateBytes);

// Figures for the status bar while a download runs.
class DownloadProgress {
public:
    void start(std::int64_t nowMs);
    void update(std::uint64_t bytes, std::int64_t nowMs);
    std::uint64_t bytes() const { return m_bytes; }
    double elapsedSeconds() const;
    double bytesPerSecond() const;
    // e.g. "Receiving data: 1.25 MB in 4.0 s (312.5 kB/s)"; "Received ..." once finished.
    QString statusText(bool finished = false) const;

private:
    std::int64_t m_startMs = 0;
    std::int64_t m_nowMs = 0;
    std::uint64_t m_bytes = 0;
};

// "12 bytes", "12.3 kB", "1.25 MB" (decimal units, C locale).
QString formatByteCount(double bytes);

} // namespace collection
