// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/data_file.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace viewer {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows looked at before the main pass to find the title line, the time cells and the
// usual number of cells; and the most bytes of them held meanwhile.
constexpr std::size_t kSampleRows = 200;
constexpr std::size_t kSampleBytes = std::size_t{64} << 20;
// A step in time longer than this many times the usual step is drawn as a gap: one lost
// record (twice the step) still joins, a real outage does not.
constexpr double kGapFactor = 3.0;
constexpr std::size_t kSkippedLinesKept = 10;
constexpr std::size_t kPiece = std::size_t{1} << 20;
// What one column costs beside its values (its entry, title, counters).
constexpr std::uint64_t kColumnOverhead = 160;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// False when the line holds more than `most` cells (then `cells` holds the first `most`).
bool splitCells(std::string_view line, std::vector<std::string_view>& cells,
                std::size_t most = std::numeric_limits<std::size_t>::max()) {
    cells.clear();
    for (;;) {
        if (cells.size() == most)
            return false;
        const auto comma = line.find(',');
        cells.push_back(trim(line.substr(0, comma)));
        if (comma == std::string_view::npos)
            return true;
        line.remove_prefix(comma + 1);
    }
}

bool digits2(const char* p, int& v) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9')
        return false;
    v = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
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
bool looksBinary(std::string_view bytes) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), 64 * 1024);
    std::size_t control = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<unsigned char>(bytes[i]);
        if (u == 0)
            return true;
        if (u < 0x20 && u != '\r' && u != '\n' && u != '\t' && u != '\f')
            ++control;
    }
    return control * 20 > n; // over 5 %
}

enum class CellKind { Empty, Number, Unplottable, Text };

bool isWord(std::string_view t, std::string_view word) {
    if (t.size() != word.size())
        return false;
    for (std::size_t i = 0; i < t.size(); ++i)
        if ((t[i] | 0x20) != word[i])
            return false;
    return true;
}

// A cell as a value: a number that can be drawn, one that cannot (not finite, beyond the
// range a plot can span), or text.
CellKind classify(std::string_view text, double& value) {
    text = trim(text);
    if (text.empty())
        return CellKind::Empty;
    std::string_view body = text;
    if (body.front() == '+' || body.front() == '-')
        body.remove_prefix(1);
    if (isWord(body, "nan") || isWord(body, "inf") || isWord(body, "infinity"))
        return CellKind::Unplottable;
    if (!parseNumber(text, value)) {
        // A number the machine cannot hold ("1e999") is still a number the unit sent.
        if (text.front() == '+')
            text.remove_prefix(1);
        const char c = text.front() == '-' && text.size() > 1 ? text[1] : text.front();
        double v;
        if (((c >= '0' && c <= '9') || c == '.')) {
            const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
            if (r.ec == std::errc::result_out_of_range && r.ptr == text.data() + text.size())
                return CellKind::Unplottable;
        }
        return CellKind::Text;
    }
    return std::abs(value) <= kPlotLimit ? CellKind::Number : CellKind::Unplottable;
}

bool valueLike(std::string_view cell) {
    double v;
    StampFields f;
    return cell.empty() || classify(cell, v) != CellKind::Text || splitStamp(cell, f) ||
           parseClock(cell, v);
}

// A title line holds more words than values.
bool looksLikeTitles(const std::vector<std::string_view>& cells) {
    std::size_t words = 0, values = 0;
    for (const auto& cell : cells) {
        if (cell.empty())
            continue;
        (valueLike(cell) ? values : words)++;
    }
    return words > values;
}

bool isComment(std::string_view line) {
    return !line.empty() && line.front() == '*';
}

bool isHeader(std::string_view line) {
    return !line.empty() && line.front() == 'N' && line.find(':') != std::string_view::npos;
}

// ---- Input in pieces ----

class ByteInput {
public:
    virtual ~ByteInput() = default;
    // Up to `most` bytes into `to`; 0 at the end, -1 on an error.
    virtual std::int64_t read(char* to, std::size_t most) = 0;
    virtual std::int64_t size() const = 0;
    virtual QString errorText() const { return {}; }
};

class MemoryInput : public ByteInput {
public:
    explicit MemoryInput(const QByteArray& bytes) : m_bytes(bytes) {}
    std::int64_t read(char* to, std::size_t most) override {
        const auto n = std::min<std::size_t>(most, static_cast<std::size_t>(m_bytes.size() - m_at));
        std::memcpy(to, m_bytes.constData() + m_at, n);
        m_at += static_cast<qsizetype>(n);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t size() const override { return m_bytes.size(); }

private:
    const QByteArray& m_bytes;
    qsizetype m_at = 0;
};

class FdInput : public ByteInput {
public:
    FdInput(int fd, std::int64_t size) : m_fd(fd), m_size(size) {}
    std::int64_t read(char* to, std::size_t most) override {
        for (;;) {
            const auto n = ::read(m_fd, to, most);
            if (n >= 0)
                return n;
            if (errno != EINTR && errno != EAGAIN) {
                m_errno = errno;
                return -1;
            }
        }
    }
    std::int64_t size() const override { return m_size; }
    QString errorText() const override { return QString::fromLocal8Bit(std::strerror(m_errno)); }

private:
    int m_fd;
    std::int64_t m_size;
    int m_errno = 0;
};

// Lines (without LF, and one CR before it) of at most maxBytes; a longer one comes back
// empty with `cut` set, and its bytes are passed over without being held.
class LineReader {
public:
    struct Line {
        std::string_view text;
        std::int64_t start = 0;
        std::size_t number = 0; // from 1
        bool cut = false;
    };

    LineReader(ByteInput& in, std::size_t maxBytes)
        : m_in(in), m_max(std::max<std::size_t>(maxBytes, 1)) {}

    // The first bytes of the file, for the look at whether it is text at all.
    std::string_view head() {
        fill();
        return {m_buffer.data() + m_begin, m_end - m_begin};
    }

    bool next(Line& line) {
        for (;;) {
            const void* lf = m_scan < m_end
                                 ? std::memchr(m_buffer.data() + m_scan, '\n', m_end - m_scan)
                                 : nullptr;
            if (lf) {
                const std::size_t at =
                    static_cast<std::size_t>(static_cast<const char*>(lf) - m_buffer.data());
                return give(line, at, at + 1);
            }
            m_scan = m_end;
            if (m_eof) {
                if (m_begin == m_end)
                    return false;
                return give(line, m_end, m_end);
            }
            if (m_end - m_begin > m_max) {
                // Too long: counted as one line, passed over to its end.
                line = Line{{}, m_offset, ++m_number, true};
                m_offset += static_cast<std::int64_t>(m_end - m_begin);
                m_begin = m_end = m_scan = 0;
                for (;;) {
                    fill();
                    const void* end = std::memchr(m_buffer.data(), '\n', m_end);
                    if (end) {
                        const auto n = static_cast<std::size_t>(static_cast<const char*>(end) -
                                                                m_buffer.data()) +
                                       1;
                        m_begin = m_scan = n;
                        m_offset += static_cast<std::int64_t>(n);
                        return true;
                    }
                    m_offset += static_cast<std::int64_t>(m_end);
                    m_begin = m_end = m_scan = 0;
                    if (m_eof)
                        return true;
                }
            }
            fill();
        }
    }
    std::int64_t position() const { return m_offset; }
    bool failed() const { return m_failed; }

private:
    bool give(Line& line, std::size_t end, std::size_t next) {
        std::size_t len = end - m_begin;
        if (len > 0 && m_buffer[end - 1] == '\r')
            --len;
        line.text = std::string_view(m_buffer.data() + m_begin, len);
        line.start = m_offset;
        line.number = ++m_number;
        line.cut = len > m_max;
        if (line.cut)
            line.text = {};
        m_offset += static_cast<std::int64_t>(next - m_begin);
        m_begin = m_scan = next;
        return true;
    }

    // Reads one more piece after what is held (moving the held bytes to the front first).
    void fill() {
        if (m_eof)
            return;
        if (m_begin > 0) {
            std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
            m_end -= m_begin;
            m_scan -= m_begin;
            m_begin = 0;
        }
        if (m_buffer.size() < m_end + kPiece)
            m_buffer.resize(m_end + kPiece);
        const std::int64_t n = m_in.read(m_buffer.data() + m_end, kPiece);
        if (n <= 0) {
            m_eof = true;
            m_failed = n < 0;
            return;
        }
        m_end += static_cast<std::size_t>(n);
    }

    ByteInput& m_in;
    std::size_t m_max;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0, m_end = 0, m_scan = 0;
    std::int64_t m_offset = 0; // file offset of m_begin
    std::size_t m_number = 0;
    bool m_eof = false;
    bool m_failed = false;
};

// ---- Where the rows' text is read back from ----

class MemoryRows : public RowSource {
public:
    explicit MemoryRows(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    QByteArray read(std::int64_t offset, std::int64_t length) const override {
        return m_bytes.mid(offset, length);
    }

private:
    QByteArray m_bytes;
};

// Reads through a window of the file kept from the last read: the table asks for rows
// near one another, and the export reads them in order.
class FileRows : public RowSource {
public:
    explicit FileRows(int fd) : m_fd(fd) {}
    ~FileRows() override { ::close(m_fd); }
    QByteArray read(std::int64_t offset, std::int64_t length) const override {
        std::lock_guard lock(m_lock);
        if (offset < m_windowAt || offset + length > m_windowAt + m_window.size()) {
            m_window.resize(std::max<qsizetype>(length, kPiece));
            std::int64_t got = 0;
            while (got < m_window.size()) {
                const auto n =
                    ::pread(m_fd, m_window.data() + got, m_window.size() - got, offset + got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got += n;
            }
            m_window.truncate(got); // a file cut short since reads as far as it goes
            m_windowAt = offset;
        }
        return m_window.mid(offset - m_windowAt, length);
    }

private:
    int m_fd;
    mutable std::mutex m_lock;
    mutable QByteArray m_window;
    mutable std::int64_t m_windowAt = 0;
};

// ---- After the pass ----

void sortRows(DataSet& set, const std::vector<std::size_t>& order) {
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

std::size_t stepsBack(const std::vector<double>& x) {
    std::size_t n = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        n += x[i] < x[i - 1];
    return n;
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

// How unlikely a reading of the dates is: steps back in time first, then jumps far beyond
// the usual step (a year where the rest moves by the hour).
std::pair<std::size_t, std::size_t> implausibility(const std::vector<double>& x) {
    const double step = usualStep(x);
    std::size_t jumps = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        jumps += step > 0 && x[i] - x[i - 1] > step * 50;
    return {stepsBack(x), jumps};
}

// Sorts into time order (repeated times keep the file's order) and measures the gaps.
void settleTime(DataSet& set) {
    set.rowsOutOfOrder = stepsBack(set.x);
    set.sorted = set.rowsOutOfOrder == 0;
    if (!set.sorted) {
        std::vector<std::size_t> order(set.x.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return set.x[a] < set.x[b]; });
        sortRows(set, order);
    }
    set.gapSeconds = set.axis == Axis::Time ? usualStep(set.x) * kGapFactor : 0;
}

QString gigabytes(std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) / 1e9;
    return QString::number(gb, 'f', gb < 0.1 ? 3 : 1);
}

} // namespace

bool parseUnitDate(std::string_view t, double& seconds) {
    int y, m, d;
    if (t.size() != 8 || t[2] != '-' || t[5] != '-' || !digits2(t.data(), y) ||
        !digits2(t.data() + 3, m) || !digits2(t.data() + 6, d))
        return false;
    std::int64_t days;
    if (!civilDays(2000 + y, m, d, days))
        return false;
    seconds = static_cast<double>(days) * 86400.0;
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
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e14)
        return QStringLiteral("?");
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
    if (s.size() > 10)
        s[10] = QLatin1Char(' ');
    return s;
}

std::uint64_t defaultMemoryBudget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return std::uint64_t{1} << 30;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) / 4;
}

ColumnStats columnStats(const double* values, std::size_t from, std::size_t to) {
    ColumnStats s;
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double v = values[i];
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

ColumnStats columnStats(const std::vector<double>& values) {
    return columnStats(values.data(), 0, values.size());
}

QStringList DataSet::rowCells(std::size_t row) const {
    QStringList out;
    if (row >= rowStart.size() || !source)
        return out;
    const QByteArray text = source->read(rowStart[row], rowEnd[row] - rowStart[row]);
    std::vector<std::string_view> cells;
    splitCells(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), cells);
    for (const auto& c : cells)
        out.append(QString::fromLatin1(c.data(), static_cast<qsizetype>(c.size())));
    return out;
}

int DataSet::numericColumnCount() const {
    return static_cast<int>(
        std::count_if(columns.begin(), columns.end(), [](const Column& c) { return c.numeric; }));
}

QString DataSet::title(std::size_t column) const {
    if (column < columns.size() && !columns[column].title.isEmpty())
        return columns[column].title;
    return QStringLiteral("Column %1").arg(column + 1);
}

QString DataSet::skippedText() const {
    if (skippedRows == 0)
        return {};
    if (skippedRows == 1)
        return QStringLiteral("1 row could not be read");
    return QStringLiteral("%1 rows could not be read").arg(skippedRows);
}

QString DataSet::summary() const {
    QStringList parts;
    parts.append(rowCount() == 1 ? QStringLiteral("1 row")
                                 : QStringLiteral("%1 rows").arg(rowCount()));
    if (skippedRows > 0)
        parts.append(skippedText());
    if (unplottable == 1)
        parts.append(QStringLiteral("1 value could not be plotted"));
    else if (unplottable > 1)
        parts.append(QStringLiteral("%1 values could not be plotted").arg(unplottable));
    if (rowsOutOfOrder > 0)
        parts.append(QStringLiteral("sorted into time order (%1 %2 out of order)")
                         .arg(rowsOutOfOrder)
                         .arg(rowsOutOfOrder == 1 ? QStringLiteral("row was")
                                                  : QStringLiteral("rows were")));
    if (dateOrderShown)
        parts.append(QStringLiteral("dates read as %1").arg(QLatin1String(orderName(dateOrder))));
    if (numericColumnCount() == 0)
        parts.append(QStringLiteral("no column holds numbers"));
    return parts.join(QStringLiteral("; "));
}

void chooseDateOrder(DataSet& set, DateOrder order) {
    const auto it = std::find(set.otherOrders.begin(), set.otherOrders.end(), order);
    if (it == set.otherOrders.end())
        return;
    // Back to the file's order (the row offsets rise through the file), then the new times.
    std::vector<std::size_t> fileOrder(set.x.size());
    std::iota(fileOrder.begin(), fileOrder.end(), std::size_t{0});
    std::sort(fileOrder.begin(), fileOrder.end(),
              [&](std::size_t a, std::size_t b) { return set.rowStart[a] < set.rowStart[b]; });
    sortRows(set, fileOrder);
    set.x = std::move(set.otherX[static_cast<std::size_t>(it - set.otherOrders.begin())]);
    set.dateOrder = order;
    set.otherOrders.clear();
    set.otherX.clear();
    settleTime(set);
}

namespace {

// How the time is written: in the first cell with the date (1), or a date cell and a
// clock cell (2); none (0).
struct TimeLayout {
    int cells = 0;
    StampShape shape;
    DateOrders orders = 0;
};

bool readStamp(const std::vector<std::string_view>& cells, const TimeLayout& layout,
               StampFields& f) {
    if (cells.size() < static_cast<std::size_t>(layout.cells) || !splitStamp(cells[0], f) ||
        !(f.shape == layout.shape))
        return false;
    if (layout.cells == 2)
        return !f.hasClock && parseClock(cells[1], f.clockSeconds);
    return true;
}

TimeLayout findTimeLayout(const std::vector<std::vector<std::string_view>>& sample) {
    std::map<std::pair<int, char>, std::size_t> kinds; // (cells, shape key) -> rows
    std::vector<std::pair<TimeLayout, std::size_t>> seen;
    for (const auto& row : sample) {
        StampFields f;
        if (row.empty() || !splitStamp(row[0], f))
            continue;
        TimeLayout l;
        double clock;
        l.cells = !f.hasClock && row.size() > 1 && parseClock(row[1], clock) ? 2 : 1;
        l.shape = f.shape;
        auto at = std::find_if(seen.begin(), seen.end(), [&](const auto& s) {
            return s.first.cells == l.cells && s.first.shape == l.shape;
        });
        if (at == seen.end())
            seen.push_back({l, 1});
        else
            ++at->second;
    }
    TimeLayout best;
    std::size_t rows = 0;
    for (const auto& [l, n] : seen)
        if (n > rows) {
            best = l;
            rows = n;
        }
    if (rows * 2 <= sample.size())
        return {};
    best.orders = ordersOf(best.shape);
    return best;
}

constexpr DateOrder kOrders[] = {DateOrder::YMD, DateOrder::DMY, DateOrder::MDY};

DataSet readDataSet(ByteInput& in, const QString& path, std::shared_ptr<const RowSource> source,
                    const std::atomic<bool>* cancel, const ProgressFn& progress,
                    const ReadLimits& limits) {
    DataSet set;
    set.path = path;
    set.name = QFileInfo(path).completeBaseName();
    set.fileBytes = in.size();
    const std::uint64_t budget = limits.memoryBudget ? limits.memoryBudget : defaultMemoryBudget();
    LineReader lines(in, limits.maxLineBytes);
    if (looksBinary(lines.head())) {
        set.error = QStringLiteral("The file holds binary data, not a data file.");
        return set;
    }
    auto cancelled = [&] { return cancel && cancel->load(std::memory_order_relaxed); };
    auto skip = [&set](std::size_t lineNumber) {
        ++set.skippedRows;
        if (set.skippedLines.size() < kSkippedLinesKept)
            set.skippedLines.push_back(lineNumber);
    };
    int lastPercent = -1;
    auto report = [&](std::int64_t at) {
        const int percent = set.fileBytes > 0 ? static_cast<int>(at * 99 / set.fileBytes) : 0;
        if (progress && percent != lastPercent)
            progress(lastPercent = std::clamp(percent, 0, 99));
    };

    // First look: the header, the title line, then a sample of rows kept (as copies) until
    // the time cells and the usual cell count are known.
    struct Held {
        std::string text;
        std::int64_t start;
        std::size_t number;
        bool cut;
    };
    std::vector<Held> held;
    std::size_t heldBytes = 0;
    bool seenContent = false, anyText = false;
    std::vector<std::string_view> cells;
    LineReader::Line line;
    bool more = true;
    while (held.size() < kSampleRows && heldBytes < kSampleBytes && (more = lines.next(line))) {
        if (cancelled()) {
            set.error = QStringLiteral("Reading was cancelled.");
            return set;
        }
        if (line.cut) {
            anyText = true;
            held.push_back({{}, line.start, line.number, true});
            continue;
        }
        if (trim(line.text).empty())
            continue;
        anyText = true;
        if (isComment(line.text))
            continue;
        if (!seenContent && isHeader(line.text)) {
            const auto name = trim(line.text.substr(line.text.find(':') + 1));
            set.hasHeader = true;
            set.name = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
            seenContent = true;
            continue;
        }
        const bool whole = splitCells(line.text, cells, limits.maxCells);
        if (held.empty() && set.titles.isEmpty() && whole && looksLikeTitles(cells)) {
            for (const auto& c : cells)
                set.titles.append(QString::fromLatin1(c.data(), static_cast<qsizetype>(c.size())));
            seenContent = true;
            continue;
        }
        seenContent = true;
        held.push_back({std::string(line.text), line.start, line.number, !whole});
        heldBytes += line.text.size();
    }
    if (lines.failed()) {
        set.error = QStringLiteral("The file cannot be read: %1").arg(in.errorText());
        return set;
    }
    if (!anyText) {
        set.error = QStringLiteral("The file is empty.");
        return set;
    }

    std::vector<std::vector<std::string_view>> sample;
    std::map<std::size_t, std::size_t> widths;
    for (const Held& h : held) {
        if (h.cut)
            continue;
        sample.emplace_back();
        splitCells(h.text, sample.back(), limits.maxCells);
        ++widths[sample.back().size()];
    }
    const TimeLayout layout = findTimeLayout(sample);
    set.timeCells = layout.cells;
    set.axis = layout.cells > 0 ? Axis::Time : Axis::RowNumber;

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
        return set;
    }

    // What the values will need, from the rows' usual length, before any is stored.
    std::vector<DateOrder> orders;
    for (DateOrder o : kOrders)
        if (layout.orders & static_cast<DateOrders>(o))
            orders.push_back(o);
    const std::uint64_t perRow = (valueCells + 3 + orders.size()) * sizeof(double);
    const std::uint64_t fixed = valueCells * kColumnOverhead;
    const std::uint64_t lineBytes = std::max<std::uint64_t>(1, heldBytes / held.size() + 2);
    auto tooLarge = [&](std::uint64_t rows) {
        set.error = QStringLiteral("The file is too large to view: %1 rows x %2 columns would "
                                   "need %3 GB")
                        .arg(rows)
                        .arg(valueCells)
                        .arg(gigabytes(rows * perRow + fixed));
    };
    const std::uint64_t rowsGuess =
        static_cast<std::uint64_t>(std::max<std::int64_t>(set.fileBytes, 0)) / lineBytes + 1;
    if (rowsGuess * perRow + fixed > budget) {
        tooLarge(rowsGuess);
        return set;
    }

    set.columns.resize(valueCells);
    for (std::size_t c = 0; c < valueCells; ++c) {
        const auto t = static_cast<qsizetype>(c + set.timeCells);
        if (t < set.titles.size())
            set.columns[c].title = set.titles[t];
    }
    const std::size_t reserve =
        static_cast<std::size_t>(std::min<std::uint64_t>(rowsGuess + 16, 1 << 24));
    if (valueCells <= 64) { // wide files have few rows; their vectors grow as they need
        set.x.reserve(reserve);
        set.rowStart.reserve(reserve);
        set.rowEnd.reserve(reserve);
        for (Column& c : set.columns)
            c.values.reserve(reserve);
    }
    std::vector<std::vector<double>> orderX(orders.size());
    std::vector<std::size_t> textCells(valueCells, 0);
    std::vector<double> rowValues(valueCells);
    std::vector<char> rowText(valueCells);
    std::size_t ordinal = 0, unplottable = 0;

    auto row = [&](std::string_view text, std::int64_t start, std::size_t number, bool cut) {
        if (cut) {
            skip(number);
            return;
        }
        if (trim(text).empty() || isComment(text))
            return;
        ++ordinal;
        const bool whole = splitCells(text, cells, width + 1);
        bool readable = whole && cells.size() <= width && !hasControlBytes(text);
        double x = static_cast<double>(ordinal);
        std::array<double, 3> xs{};
        if (readable && layout.cells > 0) {
            StampFields f;
            readable = readStamp(cells, layout, f);
            if (readable) {
                // An order that fails where another holds is not the file's.
                std::size_t fit = 0;
                std::array<bool, 3> ok{};
                for (std::size_t o = 0; o < orders.size(); ++o)
                    fit += ok[o] = stampSeconds(f, orders[o], xs[o]);
                readable = fit > 0;
                if (readable && fit < orders.size()) {
                    for (std::size_t o = orders.size(); o-- > 0;)
                        if (!ok[o]) {
                            orders.erase(orders.begin() + static_cast<std::ptrdiff_t>(o));
                            orderX.erase(orderX.begin() + static_cast<std::ptrdiff_t>(o));
                        }
                    std::size_t k = 0;
                    for (std::size_t o = 0; o < ok.size(); ++o)
                        if (ok[o])
                            xs[k++] = xs[o];
                }
            }
        }
        if (!readable) {
            skip(number);
            return;
        }
        bool anyNumber = false;
        std::size_t rowUnplottable = 0;
        for (std::size_t c = 0; c < valueCells; ++c) {
            const std::size_t at = c + set.timeCells;
            double v = kNaN;
            const CellKind kind = at < cells.size() ? classify(cells[at], v) : CellKind::Empty;
            if (kind != CellKind::Number)
                v = kNaN;
            rowText[c] = kind == CellKind::Text;
            rowUnplottable += kind == CellKind::Unplottable;
            anyNumber = anyNumber || kind == CellKind::Number;
            rowValues[c] = v;
        }
        if (!anyNumber && rowUnplottable == 0 && set.axis == Axis::RowNumber) {
            // Without a time, a row with no number at all is noise, not a gap.
            skip(number);
            return;
        }
        unplottable += rowUnplottable;
        for (std::size_t c = 0; c < valueCells; ++c) {
            set.columns[c].values.push_back(rowValues[c]);
            textCells[c] += rowText[c];
        }
        if (layout.cells > 0) {
            for (std::size_t o = 0; o < orders.size(); ++o)
                orderX[o].push_back(xs[o]);
        } else {
            set.x.push_back(x);
        }
        set.rowStart.push_back(start);
        set.rowEnd.push_back(start + static_cast<std::int64_t>(text.size()));
    };

    for (const Held& h : held)
        row(h.text, h.start, h.number, h.cut);
    held.clear();
    held.shrink_to_fit();
    while (more && lines.next(line)) {
        if ((line.number & 0x3FF) == 0 || line.text.size() > 65536) {
            if (cancelled()) {
                set = DataSet{};
                set.path = path;
                set.error = QStringLiteral("Reading was cancelled.");
                return set;
            }
            report(lines.position());
            // The file may be longer, or its rows shorter, than its start promised.
            const std::uint64_t rows = set.rowStart.size();
            if (rows * perRow + fixed > budget) {
                const auto left = static_cast<std::uint64_t>(set.fileBytes - lines.position());
                const std::uint64_t perLine =
                    std::max<std::uint64_t>(1, static_cast<std::uint64_t>(lines.position()) /
                                                   std::max<std::uint64_t>(rows, 1));
                const std::uint64_t total = rows + left / perLine;
                set = DataSet{};
                set.path = path;
                tooLarge(total);
                return set;
            }
        }
        row(line.text, line.start, line.number, line.cut);
    }
    if (lines.failed()) {
        DataSet failed;
        failed.path = path;
        failed.error = QStringLiteral("The file cannot be read: %1").arg(in.errorText());
        return failed;
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
    set.unplottable = unplottable;
    set.source = std::move(source);
    if (layout.cells > 0 && !orders.empty()) {
        // Of the readings every row allows, the one whose times run most plausibly; the
        // unit's own when it is as good as any; otherwise the operator says.
        std::vector<std::pair<std::size_t, std::size_t>> scores;
        for (const auto& xs : orderX)
            scores.push_back(implausibility(xs));
        const auto best = std::min_element(scores.begin(), scores.end()) - scores.begin();
        std::vector<std::size_t> tied;
        for (std::size_t o = 0; o < orders.size(); ++o)
            if (scores[o] == scores[static_cast<std::size_t>(best)])
                tied.push_back(o);
        std::size_t pick = tied.front();
        const bool unitsOwn =
            layout.shape.separator == '-' && orders[tied.front()] == DateOrder::YMD;
        set.dateOrder = orders[pick];
        set.dateOrderShown = !unitsOwn && std::popcount(layout.orders) > 1;
        set.x = std::move(orderX[pick]);
        if (!unitsOwn)
            for (std::size_t o : tied)
                if (o != pick) {
                    set.otherOrders.push_back(orders[o]);
                    set.otherX.push_back(std::move(orderX[o]));
                }
    }
    if (set.x.empty()) {
        set.error = QStringLiteral("None of the rows could be read.");
        set.source.reset();
        return set;
    }
    settleTime(set);
    if (progress)
        progress(100);
    return set;
}

} // namespace

DataSet parseDataFile(QByteArray bytes, const QString& path, const std::atomic<bool>* cancel,
                      const ProgressFn& progress, const ReadLimits& limits) {
    MemoryInput in(bytes);
    auto source = std::make_shared<MemoryRows>(bytes);
    return readDataSet(in, path, std::move(source), cancel, progress, limits);
}

DataSet loadDataFile(const QString& path, const std::atomic<bool>* cancel,
                     const ProgressFn& progress, const ReadLimits& limits) {
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
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // The table reads rows back through a descriptor of its own (pread leaves the offset).
    const int rowsFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (rowsFd < 0) {
        ::close(fd);
        set.error = QStringLiteral("The file cannot be read: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return set;
    }
    auto source = std::make_shared<FileRows>(rowsFd);
    FdInput in(fd, static_cast<std::int64_t>(st.st_size));
    set = readDataSet(in, path, std::move(source), cancel, progress, limits);
    ::close(fd);
    return set;
}

bool writeCsv(const DataSet& set, const std::function<bool(const QByteArray&)>& sink) {
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
    for (std::size_t c = 0; c < set.columns.size(); ++c)
        out += ',' + quoted(set.title(c));
    out += '\n';
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
        if (out.size() >= static_cast<qsizetype>(kPiece)) {
            if (!sink(out))
                return false;
            out.clear();
        }
    }
    return out.isEmpty() || sink(out);
}

QByteArray toCsv(const DataSet& set) {
    QByteArray all;
    writeCsv(set, [&all](const QByteArray& piece) {
        all += piece;
        return true;
    });
    return all;
}

} // namespace viewer
