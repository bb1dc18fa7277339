#include "viewer/data_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace viewer {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows looked at before the main pass to find the title line, the time cells and the
// usual number of cells.
constexpr std::size_t kSampleRows = 200;
// A step in time longer than this many times the usual step is drawn as a gap: one lost
// record (twice the step) still joins, a real outage does not.
constexpr double kGapFactor = 3.0;
constexpr std::size_t kSkippedLinesKept = 10;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

void splitCells(std::string_view line, std::vector<std::string_view>& cells) {
    cells.clear();
    for (;;) {
        const auto comma = line.find(',');
        cells.push_back(trim(line.substr(0, comma)));
        if (comma == std::string_view::npos)
            return;
        line.remove_prefix(comma + 1);
    }
}

bool digits2(const char* p, int& v) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9')
        return false;
    v = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithm).
std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = static_cast<int>(z - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

bool hasControlBytes(std::string_view line) {
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return true;
    }
    return false;
}

// A file is binary when its start holds a NUL or more than a few control bytes: text the
// unit sends has none but the line ends.
bool looksBinary(const QByteArray& bytes) {
    const qsizetype n = std::min<qsizetype>(bytes.size(), 64 * 1024);
    qsizetype control = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const auto u = static_cast<unsigned char>(bytes[i]);
        if (u == 0)
            return true;
        if (u < 0x20 && u != '\r' && u != '\n' && u != '\t' && u != '\f')
            ++control;
    }
    return control * 20 > n; // over 5 %
}

bool valueLike(std::string_view cell) {
    double v;
    return cell.empty() || parseNumber(cell, v) || parseUnitDateTime(cell, v) ||
           parseUnitDate(cell, v) || parseUnitTime(cell, v);
}

// A title line holds more words than values.
bool looksLikeTitles(const std::vector<std::string_view>& cells) {
    int words = 0, values = 0;
    for (const auto& cell : cells) {
        if (cell.empty())
            continue;
        (valueLike(cell) ? values : words)++;
    }
    return words > values;
}

// Lines of the file without their line ends (LF, with one CR before it), numbered from 1.
class Lines {
public:
    explicit Lines(const QByteArray& bytes) : m_data(bytes.constData()), m_size(bytes.size()) {}

    bool next(std::string_view& line, std::int64_t& start) {
        if (m_pos >= m_size)
            return false;
        start = m_pos;
        const void* lf =
            std::memchr(m_data + m_pos, '\n', static_cast<std::size_t>(m_size - m_pos));
        const std::int64_t end = lf ? static_cast<const char*>(lf) - m_data : m_size;
        std::int64_t len = end - m_pos;
        if (len > 0 && m_data[end - 1] == '\r')
            --len;
        line = std::string_view(m_data + m_pos, static_cast<std::size_t>(len));
        m_pos = lf ? end + 1 : m_size;
        ++m_number;
        return true;
    }
    std::size_t number() const { return m_number; }
    std::int64_t position() const { return m_pos; }

private:
    const char* m_data;
    std::int64_t m_size;
    std::int64_t m_pos = 0;
    std::size_t m_number = 0;
};

bool isComment(std::string_view line) {
    return !line.empty() && line.front() == '*';
}

bool isHeader(std::string_view line) {
    return !line.empty() && line.front() == 'N' && line.find(':') != std::string_view::npos;
}

void sortByTime(DataSet& set) {
    std::vector<std::size_t> order(set.x.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return set.x[a] < set.x[b]; });
    auto apply = [&order](auto& v) {
        std::remove_reference_t<decltype(v)> sorted;
        sorted.reserve(v.size());
        for (std::size_t i : order)
            sorted.push_back(v[i]);
        v = std::move(sorted);
    };
    apply(set.x);
    apply(set.rowStart);
    apply(set.rowEnd);
    for (Column& c : set.columns)
        if (!c.values.empty())
            apply(c.values);
}

double usualStep(const std::vector<double>& x) {
    std::vector<double> steps;
    steps.reserve(x.size());
    for (std::size_t i = 1; i < x.size(); ++i)
        if (x[i] > x[i - 1])
            steps.push_back(x[i] - x[i - 1]);
    if (steps.empty())
        return 0;
    auto mid = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), mid, steps.end());
    return *mid;
}

} // namespace

bool parseUnitDate(std::string_view t, double& seconds) {
    int y, m, d;
    if (t.size() != 8 || t[2] != '-' || t[5] != '-' || !digits2(t.data(), y) ||
        !digits2(t.data() + 3, m) || !digits2(t.data() + 6, d))
        return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    y += 2000;
    if (m < 1 || m > 12 || d < 1)
        return false;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0))
        return false;
    seconds = static_cast<double>(daysFromCivil(y, m, d)) * 86400.0;
    return true;
}

bool parseUnitTime(std::string_view t, double& seconds) {
    int h, m, s;
    if (t.size() != 8 || t[2] != ':' || t[5] != ':' || !digits2(t.data(), h) ||
        !digits2(t.data() + 3, m) || !digits2(t.data() + 6, s) || h > 23 || m > 59 || s > 59)
        return false;
    seconds = h * 3600.0 + m * 60.0 + s;
    return true;
}

bool parseUnitDateTime(std::string_view t, double& seconds) {
    double date, time;
    if (t.size() != 17 || t[8] != ' ' || !parseUnitDate(t.substr(0, 8), date) ||
        !parseUnitTime(t.substr(9), time))
        return false;
    seconds = date + time;
    return true;
}

bool parseNumber(std::string_view text, double& value) {
    text = trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return false;
    // Only the unit's plain notations: from_chars alone would also take "nan" and "inf".
    const char c = text.front() == '-' && text.size() > 1 ? text[1] : text.front();
    if (!(c >= '0' && c <= '9') && c != '.')
        return false;
    double v;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

QString isoDateTime(double seconds) {
    const auto total = static_cast<std::int64_t>(std::floor(seconds));
    std::int64_t days = total / 86400, rest = total % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int y, m, d;
    civilFromDays(days, y, m, d);
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", y, m, d, int(rest / 3600),
                             int(rest / 60 % 60), int(rest % 60));
}

QString displayDateTime(double seconds) {
    QString s = isoDateTime(seconds);
    s[10] = QLatin1Char(' ');
    return s;
}

ColumnStats columnStats(const std::vector<double>& values) {
    ColumnStats s;
    double sum = 0;
    for (const double v : values) {
        if (std::isnan(v))
            continue;
        if (s.count == 0 || v < s.min)
            s.min = v;
        if (s.count == 0 || v > s.max)
            s.max = v;
        sum += v;
        ++s.count;
    }
    if (s.count > 0)
        s.mean = sum / static_cast<double>(s.count);
    return s;
}

QStringList DataSet::rowCells(std::size_t row) const {
    QStringList out;
    if (row >= rowStart.size())
        return out;
    const std::string_view line(bytes.constData() + rowStart[row],
                                static_cast<std::size_t>(rowEnd[row] - rowStart[row]));
    std::vector<std::string_view> cells;
    splitCells(line, cells);
    for (const auto& c : cells)
        out.append(QString::fromLatin1(c.data(), static_cast<qsizetype>(c.size())));
    return out;
}

int DataSet::numericColumnCount() const {
    return static_cast<int>(
        std::count_if(columns.begin(), columns.end(), [](const Column& c) { return c.numeric; }));
}

QString DataSet::skippedText() const {
    if (skippedRows == 0)
        return {};
    if (skippedRows == 1)
        return QStringLiteral("1 row could not be read");
    return QStringLiteral("%1 rows could not be read").arg(skippedRows);
}

DataSet parseDataFile(QByteArray bytes, const QString& path, const std::atomic<bool>* cancel,
                      const ProgressFn& progress) {
    DataSet set;
    set.path = path;
    set.name = QFileInfo(path).completeBaseName();
    if (bytes.trimmed().isEmpty()) {
        set.error = QStringLiteral("The file is empty.");
        return set;
    }
    if (looksBinary(bytes)) {
        set.error = QStringLiteral("The file holds binary data, not a data file.");
        return set;
    }
    set.bytes = std::move(bytes);
    const QByteArray& data = set.bytes;

    // First look: the header, the title line, the time cells and the usual cell count.
    Lines lines(data);
    std::string_view line;
    std::int64_t start = 0;
    std::vector<std::string_view> cells;
    std::size_t firstDataLine = 0; // line number of the first row (after the title)
    std::vector<std::vector<std::string_view>> sample;
    bool seenContent = false;
    while (sample.size() < kSampleRows && lines.next(line, start)) {
        if (trim(line).empty() || isComment(line))
            continue;
        if (!seenContent && isHeader(line)) {
            const auto colon = line.find(':');
            set.hasHeader = true;
            const auto name = trim(line.substr(colon + 1));
            set.name = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
            seenContent = true;
            continue;
        }
        splitCells(line, cells);
        if (sample.empty() && firstDataLine == 0 && set.titles.isEmpty() &&
            looksLikeTitles(cells)) {
            for (const auto& c : cells)
                set.titles.append(QString::fromLatin1(c.data(), static_cast<qsizetype>(c.size())));
            seenContent = true;
            continue;
        }
        if (firstDataLine == 0)
            firstDataLine = lines.number();
        seenContent = true;
        sample.push_back(cells);
    }

    std::size_t oneCell = 0, twoCells = 0;
    std::map<std::size_t, std::size_t> widths;
    for (const auto& row : sample) {
        double v;
        if (!row.empty() && parseUnitDateTime(row[0], v))
            ++oneCell;
        else if (row.size() > 1 && parseUnitDate(row[0], v) && parseUnitTime(row[1], v))
            ++twoCells;
        ++widths[row.size()];
    }
    if (oneCell * 2 > sample.size())
        set.timeCells = 1;
    else if (twoCells * 2 > sample.size())
        set.timeCells = 2;
    set.axis = set.timeCells > 0 ? Axis::Time : Axis::RowNumber;

    std::size_t width = static_cast<std::size_t>(set.titles.size());
    std::size_t usualCount = 0, usualWidth = 0;
    for (const auto& [w, n] : widths)
        if (n > usualCount) {
            usualCount = n;
            usualWidth = w;
        }
    width = std::max(width, usualWidth);
    const std::size_t valueCells =
        width > static_cast<std::size_t>(set.timeCells) ? width - set.timeCells : 0;
    if (sample.empty() || valueCells == 0) {
        set.error = QStringLiteral("The file holds no rows of values.");
        set.bytes.clear();
        return set;
    }

    set.columns.resize(valueCells);
    for (std::size_t c = 0; c < valueCells; ++c) {
        const auto t = static_cast<qsizetype>(c + set.timeCells);
        set.columns[c].title = t < set.titles.size() && !set.titles[t].isEmpty()
                                   ? set.titles[t]
                                   : QStringLiteral("Column %1").arg(c + 1);
    }
    // Rows are about one line each: a guess from the first ones saves regrowing.
    const std::int64_t lineBytes =
        std::max<std::int64_t>(1, lines.position() / static_cast<std::int64_t>(lines.number()));
    const auto estimate = static_cast<std::size_t>(data.size() / lineBytes) + 16;
    set.x.reserve(estimate);
    set.rowStart.reserve(estimate);
    set.rowEnd.reserve(estimate);
    for (Column& c : set.columns)
        c.values.reserve(estimate);
    std::vector<std::size_t> textCells(valueCells, 0);
    std::vector<double> rowValues(valueCells);
    std::vector<char> rowText(valueCells);

    // The main pass, from the first row to the end.
    Lines rows(data);
    std::size_t ordinal = 0;
    int lastPercent = -1;
    auto skip = [&set](std::size_t lineNumber) {
        ++set.skippedRows;
        if (set.skippedLines.size() < kSkippedLinesKept)
            set.skippedLines.push_back(lineNumber);
    };
    while (rows.next(line, start)) {
        if (rows.number() < firstDataLine)
            continue;
        if ((rows.number() & 0xFFF) == 0) {
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                set.error = QStringLiteral("Reading was cancelled.");
                return set;
            }
            const int percent = static_cast<int>(rows.position() * 100 / data.size());
            if (progress && percent != lastPercent)
                progress(lastPercent = percent);
        }
        if (trim(line).empty() || isComment(line))
            continue;
        ++ordinal;
        splitCells(line, cells);
        double x = static_cast<double>(ordinal);
        bool readable = cells.size() <= width && !hasControlBytes(line);
        if (readable && set.timeCells == 1)
            readable = parseUnitDateTime(cells[0], x);
        if (readable && set.timeCells == 2) {
            double date = 0, time = 0;
            readable =
                cells.size() > 1 && parseUnitDate(cells[0], date) && parseUnitTime(cells[1], time);
            x = date + time;
        }
        if (!readable) {
            skip(rows.number());
            continue;
        }
        bool anyNumber = false;
        for (std::size_t c = 0; c < valueCells; ++c) {
            const std::size_t at = c + set.timeCells;
            double v = kNaN;
            rowText[c] = at < cells.size() && !cells[at].empty() && !parseNumber(cells[at], v);
            anyNumber = anyNumber || !std::isnan(v);
            rowValues[c] = v;
        }
        if (!anyNumber && set.axis == Axis::RowNumber) {
            // Without a time, a row with no number at all is noise, not a gap.
            skip(rows.number());
            continue;
        }
        for (std::size_t c = 0; c < valueCells; ++c) {
            set.columns[c].values.push_back(rowValues[c]);
            textCells[c] += rowText[c];
        }
        set.x.push_back(x);
        set.rowStart.push_back(start);
        set.rowEnd.push_back(start + static_cast<std::int64_t>(line.size()));
    }

    for (std::size_t c = 0; c < valueCells; ++c) {
        Column& col = set.columns[c];
        col.stats = columnStats(col.values);
        col.numeric = col.stats.count > 0 && col.stats.count >= textCells[c];
        if (!col.numeric) {
            col.values.clear();
            col.values.shrink_to_fit();
            col.stats = {};
        }
    }
    if (set.x.empty()) {
        set.error = QStringLiteral("None of the rows could be read.");
        set.bytes.clear();
        return set;
    }
    set.sorted = std::is_sorted(set.x.begin(), set.x.end());
    if (!set.sorted)
        sortByTime(set);
    if (set.axis == Axis::Time) {
        const double step = usualStep(set.x);
        set.gapSeconds = step * kGapFactor;
    }
    if (progress)
        progress(100);
    return set;
}

DataSet loadDataFile(const QString& path, const std::atomic<bool>* cancel,
                     const ProgressFn& progress) {
    DataSet set;
    set.path = path;
    set.name = QFileInfo(path).completeBaseName();
    // Opened without blocking and checked on the open descriptor: a FIFO or a device in the
    // file's place would never end, even if it was swapped in after the dialog.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        set.error = errno == ENOENT ? QStringLiteral("The file does not exist.")
                                    : QStringLiteral("The file cannot be read: %1")
                                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return set;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        set.error = QStringLiteral("This is not a regular file.");
        return set;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        set.error = QStringLiteral("The file cannot be read: %1").arg(file.errorString());
        return set;
    }
    // Read in pieces, straight into the buffer, so that a large file shows progress (the
    // first fifth) and can be cancelled.
    const qint64 size = file.size();
    QByteArray bytes(size, Qt::Uninitialized);
    constexpr qint64 kPiece = 4 << 20;
    qint64 done = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            set.error = QStringLiteral("Reading was cancelled.");
            return set;
        }
        if (done == bytes.size()) // a file that grows meanwhile is read on to its end
            bytes.resize(done + kPiece);
        const qint64 n = file.read(bytes.data() + done, std::min(kPiece, bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
        if (progress && size > 0)
            progress(static_cast<int>(std::min(done, size) * 20 / size));
    }
    bytes.truncate(done);
    if (file.error() != QFileDevice::NoError) {
        set.error = QStringLiteral("The file cannot be read: %1").arg(file.errorString());
        return set;
    }
    ProgressFn scaled;
    if (progress)
        scaled = [&progress](int p) { progress(20 + p * 80 / 100); };
    return parseDataFile(std::move(bytes), path, cancel, scaled);
}

QByteArray toCsv(const DataSet& set) {
    auto quoted = [](const QString& cell) {
        QByteArray utf8 = cell.toUtf8();
        if (utf8.contains(',') || utf8.contains('"') || utf8.contains('\n') ||
            utf8.contains('\r')) {
            utf8.replace("\"", "\"\"");
            utf8 = '"' + utf8 + '"';
        }
        return utf8;
    };
    QByteArray out;
    out += set.axis == Axis::Time ? "Time" : "Row";
    for (const Column& c : set.columns)
        out += ',' + quoted(c.title);
    out += '\n';
    out.reserve(set.bytes.size() + set.rowCount() * 8 + out.size());
    for (std::size_t r = 0; r < set.rowCount(); ++r) {
        if (set.axis == Axis::Time)
            out += isoDateTime(set.x[r]).toLatin1();
        else
            out += QByteArray::number(static_cast<qint64>(set.x[r]));
        const QStringList cells = set.rowCells(r);
        for (std::size_t c = 0; c < set.columns.size(); ++c) {
            const auto at = static_cast<qsizetype>(c + set.timeCells);
            out += ',';
            if (at < cells.size())
                out += quoted(cells[at]);
        }
        out += '\n';
    }
    return out;
}

} // namespace viewer
