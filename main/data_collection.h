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

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace collection {

// Name of the intermediate file, in the process's working directory.
inline constexpr const char* kIntermediateFileName = "_$XRQInt.txt";

enum class LineKind { Blank, Comment, Command, NoData, Header, Data };

// Kind of a line whose line end has been removed, judged by its first one or two bytes.
LineKind classifyLine(std::string_view line);

// The data-set name of a header: the text that starts two bytes after the first ':' (empty
// when fewer than two bytes follow it). Returns false when the line holds no ':'.
bool headerName(std::string_view header, std::string& name);

// The name as a file-name component: '/' and control bytes become '_', so the result can
// never lead out of the data directory; every other byte stays as the unit sent it.
std::string safeFileName(std::string_view name);

// The longest name that still makes a file name the system accepts (numbered form included)
// after `directory`, whose last component the name is joined to. A longer name is cut there:
// a set kept under a shortened name beats a download that fails.
std::string fitFileName(std::string name, std::string_view directory);

// Path bytes of a directory typed by the operator (local 8-bit encoding of file names).
std::string directoryBytes(const QString& directory);

// Buffered writer of a data file: every line ends with CR LF. Write failures (a full disk,
// a removed medium) are remembered and reported by ok() and close(), never swallowed.
class DataFileWriter {
public:
    DataFileWriter() = default;
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter&) = delete;
    DataFileWriter& operator=(const DataFileWriter&) = delete;

    // Creates the first name of base.txt, base_000.txt ... base_998.txt that does not exist
    // yet. Creation is exclusive, so nothing is ever overwritten; false when no name is free
    // or the file cannot be created (errno tells why).
    bool create(const std::string& base);

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    bool writeLine(std::string_view line);
    bool ok() const { return !m_failed; }
    // Flushes and closes; false when any write or the close failed. The file stays.
    bool close();

private:
    bool flush();

    int m_fd = -1;
    bool m_failed = false;
    std::string m_path;
    std::string m_buffer;
};

// Reads a file line by line: a line ends at LF, and one CR just before that LF belongs to
// the line end. Lines of any length come back whole.
class LineReader {
public:
    LineReader() = default;
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool open(const std::string& path);
    // The next complete line, without its line end. False at the end of the file and on a
    // read error (see failed()); a last line without a line end is not returned (it is the
    // unit's closing prompt) but is counted in trailingBytes().
    bool next(std::string& line);
    bool failed() const { return m_failed; }
    std::size_t trailingBytes() const { return m_trailing; }

private:
    bool fill();

    int m_fd = -1;
    bool m_eof = false;
    bool m_failed = false;
    std::size_t m_trailing = 0;
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
    std::vector<std::string> files; // data files created, in order (kept on every outcome)
    std::string detail;             // why InvalidFormat / CannotReopen came about (for the log)
};

// Splits the intermediate file into data files named after their headers under
// `directory` (used as a plain prefix, nothing inserted). Files written before a failure
// stay as they are; the intermediate file is only read.
ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory);

// Data files that the latest download in this process wrote, in order (also those of a
// download that failed part-way); the data viewer opens them by default.
std::vector<std::string>& lastCollectedFiles();

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
