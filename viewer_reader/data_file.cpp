// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer_reader/data_file.h"

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
// What a cell of the title line costs beside its characters (its string and list entry).
constexpr std::uint64_t kTitleOverhead = 48;

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
    const char* end = line.data() + line.size();
    for (const char* at = line.data();;) {
        if (cells.size() == most)
            return false;
        const char* comma = at; // cells are short: a plain scan beats a call per cell
        while (comma != end && *comma != ',')
            ++comma;
        cells.push_back(trim(std::string_view(at, static_cast<std::size_t>(comma - at))));
        if (comma == end)
            return true;
        at = comma + 1;
    }
}

bool digits2(const char* p, int& v) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9')
        return false;
    v = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

bool controlByteIn(std::string_view bytes) {
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return true;
    }
    return false;
}

// Every row is looked at whole, so eight bytes at a time: a word with a byte below 0x20 or
// a DEL in it (tabs too, which are allowed) is looked at byte by byte.
bool hasControlBytes(std::string_view line) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    std::size_t at = 0;
    for (; at + 8 <= line.size(); at += 8) {
        std::uint64_t w;
        std::memcpy(&w, line.data() + at, 8);
        const std::uint64_t del = w ^ (kOnes * 0x7F);
        const std::uint64_t suspect = ((w - kOnes * 0x20) & ~w) | ((del - kOnes) & ~del);
        if ((suspect & kHighs) && controlByteIn(line.substr(at, 8)))
            return true;
    }
    return controlByteIn(line.substr(at));
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

// The unit's usual cell, "-12.34": at most 15 digits with at most 22 after the point, no
// exponent. Its digits as a whole number and the power of ten are both exact doubles, so
// their quotient is the correctly rounded value, the same double from_chars gives; anything
// else is left to from_chars.
bool plainDecimal(std::string_view t, double& value) {
    static constexpr double kTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = !t.empty() && t.front() == '-';
    if (negative)
        t.remove_prefix(1);
    std::uint64_t digits = 0;
    int count = 0, after = -1;
    for (const char c : t) {
        if (c >= '0' && c <= '9') {
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
            ++count;
            after += after >= 0;
        } else if (c == '.' && after < 0) {
            after = 0;
        } else {
            return false;
        }
    }
    if (count == 0 || count > 15 || after > 22)
        return false;
    const double v = static_cast<double>(digits) / kTens[after < 0 ? 0 : after];
    value = negative ? -v : v;
    return true;
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
    if (plainDecimal(text, value)) // the usual cell, already trimmed; always drawable
        return CellKind::Number;
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
    if (plainDecimal(text, value))
        return true;
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
    parts.append(notes);
    return parts.join(QStringLiteral("; "));
}

std::vector<std::size_t> placeRowsAt(DataSet& set, std::vector<double> x) {
    set.x = std::move(x);
    set.otherOrders.clear();
    set.otherX.clear();
    set.dateOrderShown = false;
    std::vector<std::size_t> order;
    set.rowsOutOfOrder = stepsBack(set.x);
    set.sorted = set.rowsOutOfOrder == 0;
    if (!set.sorted) {
        order.resize(set.x.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return set.x[a] < set.x[b]; });
        sortRows(set, order);
    }
    set.gapSeconds = set.axis == Axis::Time ? usualStep(set.x) * kGapFactor : 0;
    return order;
}

QString RowMarks::flagsOf(std::size_t row) const {
    const auto at = std::lower_bound(flaggedRows.begin(), flaggedRows.end(), row);
    if (at == flaggedRows.end() || *at != row)
        return {};
    return kinds.value(flaggedKind[static_cast<std::size_t>(at - flaggedRows.begin())]);
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

// One reading of a data file, in its steps: a first look at the file's start (the header,
// the title line, a sample of rows kept as copies), the plan that sample allows (the time
// cells, the columns, the memory the values will need), every row, then the columns' kinds
// and the date order. A step that finds nothing to show leaves the reason in the data set's
// error and says false. Lives for one call of readDataSet, on the thread that parses.
class DataSetReader {
public:
    DataSetReader(ByteInput& in, const QString& path, const std::atomic<bool>* cancel,
                  const ProgressFn& progress, const ReadLimits& limits)
        : m_in(in), m_path(path), m_cancel(cancel), m_progress(progress), m_limits(limits),
          m_budget(limits.memoryBudget ? limits.memoryBudget : defaultMemoryBudget()),
          m_lines(in, limits.maxLineBytes) {
        m_set.path = path;
        m_set.name = QFileInfo(path).completeBaseName();
        m_set.fileBytes = in.size();
    }

    DataSet read(std::shared_ptr<const RowSource> source) {
        if (!lookAtStart() || !planColumns() || !planMemory())
            return std::move(m_set);
        if (!prepareColumns())
            return done();
        for (const Held& h : m_held)
            if (!readRow(h.text, h.start, h.number, h.cut))
                return done();
        m_held.clear();
        m_held.shrink_to_fit();
        if (readRest())
            finish(std::move(source));
        return done();
    }

private:
    DataSet done() {
        m_set.accountedPeak = m_accountedPeak;
        return std::move(m_set);
    }

    // A line of the file's start, kept until the plan is made.
    struct Held {
        std::string text;
        std::int64_t start;
        std::size_t number;
        bool cut;
    };

    bool fail(const QString& error) {
        m_set.error = error;
        return false;
    }
    // Once rows are stored, a failure shows nothing of them.
    void dropRows() {
        m_set = DataSet{};
        m_set.path = m_path;
    }
    bool failAfresh(const QString& error) {
        dropRows();
        return fail(error);
    }
    bool tooLarge(std::uint64_t rows) {
        return fail(QStringLiteral("The file is too large to view: %1 rows x %2 columns would "
                                   "need %3 GB")
                        .arg(rows)
                        .arg(m_valueCells)
                        .arg(gigabytes(rows * m_perRow + m_fixed)));
    }
    QString readError() const {
        return QStringLiteral("The file cannot be read: %1").arg(m_in.errorText());
    }
    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }

    void skip(std::size_t lineNumber) {
        ++m_set.skippedRows;
        if (m_set.skippedLines.size() < kSkippedLinesKept)
            m_set.skippedLines.push_back(lineNumber);
    }

    void report(std::int64_t at) {
        const int percent = m_set.fileBytes > 0 ? static_cast<int>(at * 99 / m_set.fileBytes) : 0;
        if (m_progress && percent != m_lastPercent)
            m_progress(m_lastPercent = std::clamp(percent, 0, 99));
    }

    // The header, the title line, then a sample of rows until the time cells and the usual
    // cell count can be known.
    bool lookAtStart() {
        if (looksBinary(m_lines.head()))
            return fail(QStringLiteral("The file holds binary data, not a data file."));
        bool anyText = false;
        LineReader::Line line;
        while (m_held.size() < kSampleRows && m_heldBytes < kSampleBytes &&
               (m_more = m_lines.next(line))) {
            if (cancelled())
                return fail(QStringLiteral("Reading was cancelled."));
            anyText = anyText || line.cut || !trim(line.text).empty();
            takeStartLine(line);
        }
        if (m_lines.failed())
            return fail(readError());
        if (!anyText)
            return fail(QStringLiteral("The file is empty."));
        return true;
    }

    void takeStartLine(const LineReader::Line& line) {
        if (line.cut) {
            m_held.push_back({{}, line.start, line.number, true});
            return;
        }
        if (trim(line.text).empty() || isComment(line.text))
            return;
        if (!m_seenContent && isHeader(line.text)) {
            const auto name = trim(line.text.substr(line.text.find(':') + 1));
            m_set.hasHeader = true;
            m_set.name = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
            m_seenContent = true;
            return;
        }
        const bool whole = splitCells(line.text, m_cells, m_limits.maxCells);
        if (m_held.empty() && m_set.titles.isEmpty() && whole && looksLikeTitles(m_cells)) {
            for (const auto& c : m_cells)
                m_set.titles.append(
                    QString::fromLatin1(c.data(), static_cast<qsizetype>(c.size())));
            m_seenContent = true;
            return;
        }
        m_seenContent = true;
        m_held.push_back({std::string(line.text), line.start, line.number, !whole});
        m_heldBytes += line.text.size();
    }

    // The time cells and the value cells, from the sample's usual row (or the titles).
    bool planColumns() {
        std::vector<std::vector<std::string_view>> sample;
        std::map<std::size_t, std::size_t> widths;
        for (const Held& h : m_held) {
            if (h.cut)
                continue;
            sample.emplace_back();
            splitCells(h.text, sample.back(), m_limits.maxCells);
            ++widths[sample.back().size()];
        }
        m_layout = findTimeLayout(sample);
        if (m_layout.orders & m_limits.dateOrders)
            m_layout.orders &= m_limits.dateOrders;
        m_set.timeCells = m_layout.cells;
        m_set.axis = m_layout.cells > 0 ? Axis::Time : Axis::RowNumber;

        std::size_t usualCount = 0, usualWidth = 0;
        for (const auto& [w, n] : widths)
            if (n > usualCount) {
                usualCount = n;
                usualWidth = w;
            }
        m_width = std::max(static_cast<std::size_t>(m_set.titles.size()), usualWidth);
        m_valueCells =
            m_width > static_cast<std::size_t>(m_set.timeCells) ? m_width - m_set.timeCells : 0;
        if (sample.empty() || m_valueCells == 0)
            return fail(QStringLiteral("The file holds no rows of values."));
        return true;
    }

    // What the values will need, from the rows' usual length, before any is stored.
    bool planMemory() {
        for (DateOrder o : kOrders)
            if (m_layout.orders & static_cast<DateOrders>(o))
                m_orders.push_back(o);
        m_perRow = (m_valueCells + 3 + m_orders.size()) * sizeof(double);
        m_fixed = m_valueCells * kColumnOverhead;
        for (const QString& title : m_set.titles)
            m_fixed += kTitleOverhead + static_cast<std::uint64_t>(title.size()) * sizeof(QChar);
        const std::uint64_t lineBytes = std::max<std::uint64_t>(1, m_heldBytes / m_held.size() + 2);
        m_rowsGuess = m_limits.expectedRows
                          ? m_limits.expectedRows
                          : static_cast<std::uint64_t>(std::max<std::int64_t>(m_set.fileBytes, 0)) /
                                    lineBytes +
                                1;
        if (m_fixed > m_budget || m_rowsGuess * m_perRow + m_fixed > m_budget)
            return tooLarge(m_rowsGuess);
        m_mostRows = (m_budget - m_fixed) / m_perRow;
        return true;
    }

    bool prepareColumns() {
        m_set.columns.resize(m_valueCells);
        for (std::size_t c = 0; c < m_valueCells; ++c) {
            const auto t = static_cast<qsizetype>(c + m_set.timeCells);
            if (t < m_set.titles.size())
                m_set.columns[c].title = m_set.titles[t];
        }
        m_orderX.resize(m_orders.size());
        m_textCells.assign(m_valueCells, 0);
        m_rowValues.resize(m_valueCells);
        m_rowText.resize(m_valueCells);
        // Wide files have few rows: their room grows as they need it (unless the caller knows).
        const std::uint64_t first = m_limits.expectedRows ? m_limits.expectedRows
                                    : m_valueCells <= 64  ? m_rowsGuess + 16
                                                          : 16;
        return makeRoom(static_cast<std::size_t>(std::min<std::uint64_t>(first, 1 << 24)));
    }

    // Room for `rows` rows in every vector a row fills, within the budget: what is accounted
    // is what is reserved, so the values never hold more than the budget, however the rows
    // run. False (and the reading ends, saying why) when the budget allows no more rows.
    bool makeRoom(std::size_t rows) {
        rows = static_cast<std::size_t>(std::min<std::uint64_t>(rows, m_mostRows));
        if (rows <= m_room)
            return rows > m_set.rowStart.size() || stopForBudget();
        m_accountedPeak = std::max(m_accountedPeak, rows * m_perRow + m_fixed);
        if (m_layout.cells == 0)
            m_set.x.reserve(rows);
        for (auto& xs : m_orderX)
            xs.reserve(rows);
        m_set.rowStart.reserve(rows);
        m_set.rowEnd.reserve(rows);
        for (Column& c : m_set.columns)
            c.values.reserve(rows);
        m_room = rows;
        return true;
    }

    // False when the reading must end (the memory budget is spent).
    bool readRow(std::string_view text, std::int64_t start, std::size_t number, bool cut) {
        if (cut) {
            skip(number);
            return true;
        }
        if (trim(text).empty() || isComment(text))
            return true;
        ++m_ordinal;
        const bool whole = splitCells(text, m_cells, m_width + 1);
        bool readable = whole && m_cells.size() <= m_width && !hasControlBytes(text);
        std::array<double, 3> xs{};
        if (readable && m_layout.cells > 0)
            readable = readTimes(xs);
        if (!readable || !readValues()) {
            skip(number);
            return true;
        }
        // Checked before every row is stored, never on a sample: a row's values cost the
        // same whether its line is short or long.
        if (m_set.rowStart.size() == m_room && !makeRoom(m_room * 2))
            return false;
        storeRow(text, start, xs);
        return true;
    }

    // The row's time under each date order still open. An order that fails where another
    // holds is not the file's and is dropped; false when no order reads the row.
    bool readTimes(std::array<double, 3>& xs) {
        StampFields f;
        if (!readStamp(m_cells, m_layout, f))
            return false;
        std::size_t fit = 0;
        std::array<bool, 3> ok{};
        for (std::size_t o = 0; o < m_orders.size(); ++o)
            fit += ok[o] = stampSeconds(f, m_orders[o], xs[o]);
        if (fit == 0)
            return false;
        if (fit < m_orders.size()) {
            for (std::size_t o = m_orders.size(); o-- > 0;)
                if (!ok[o]) {
                    m_orders.erase(m_orders.begin() + static_cast<std::ptrdiff_t>(o));
                    m_orderX.erase(m_orderX.begin() + static_cast<std::ptrdiff_t>(o));
                }
            std::size_t k = 0;
            for (std::size_t o = 0; o < ok.size(); ++o)
                if (ok[o])
                    xs[k++] = xs[o];
        }
        return true;
    }

    // The row's value cells into m_rowValues (NaN where no number) and m_rowText. False for
    // a row that is noise: without a time, a row with no number at all is no gap.
    bool readValues() {
        bool anyNumber = false;
        std::size_t rowUnplottable = 0;
        for (std::size_t c = 0; c < m_valueCells; ++c) {
            const std::size_t at = c + m_set.timeCells;
            double v = kNaN;
            const CellKind kind = at < m_cells.size() ? classify(m_cells[at], v) : CellKind::Empty;
            if (kind != CellKind::Number)
                v = kNaN;
            m_rowText[c] = kind == CellKind::Text;
            rowUnplottable += kind == CellKind::Unplottable;
            anyNumber = anyNumber || kind == CellKind::Number;
            m_rowValues[c] = v;
        }
        if (!anyNumber && rowUnplottable == 0 && m_set.axis == Axis::RowNumber)
            return false;
        m_unplottable += rowUnplottable;
        return true;
    }

    void storeRow(std::string_view text, std::int64_t start, const std::array<double, 3>& xs) {
        for (std::size_t c = 0; c < m_valueCells; ++c) {
            m_set.columns[c].values.push_back(m_rowValues[c]);
            m_textCells[c] += m_rowText[c];
        }
        if (m_layout.cells > 0) {
            for (std::size_t o = 0; o < m_orders.size(); ++o)
                m_orderX[o].push_back(xs[o]);
        } else {
            m_set.x.push_back(static_cast<double>(m_ordinal));
        }
        m_set.rowStart.push_back(start);
        m_set.rowEnd.push_back(start + static_cast<std::int64_t>(text.size()));
    }

    // The lines after the sample; every 1024 lines (and at each long one) the reading may be
    // cancelled and tells its progress.
    bool readRest() {
        LineReader::Line line;
        while (m_more && m_lines.next(line)) {
            if ((line.number & 0x3FF) == 0 || line.text.size() > 65536) {
                if (cancelled())
                    return failAfresh(QStringLiteral("Reading was cancelled."));
                report(m_lines.position());
            }
            if (!readRow(line.text, line.start, line.number, line.cut))
                return false;
        }
        if (m_lines.failed())
            return failAfresh(readError());
        return true;
    }

    // The file is longer, or its rows shorter, than its start promised: the reading ends,
    // with the rows the whole file would need by the rows read so far.
    bool stopForBudget() {
        const std::uint64_t rows = m_set.rowStart.size() + 1;
        const auto left = static_cast<std::uint64_t>(
            std::max<std::int64_t>(m_set.fileBytes - m_lines.position(), 0));
        const std::uint64_t perLine = std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(m_lines.position()) / std::max<std::uint64_t>(rows, 1));
        const std::uint64_t total = rows + left / perLine;
        dropRows();
        return tooLarge(total);
    }

    void finish(std::shared_ptr<const RowSource> source) {
        settleColumns();
        m_set.unplottable = m_unplottable;
        m_set.source = std::move(source);
        if (m_layout.cells > 0 && !m_orders.empty())
            pickDateOrder();
        if (m_set.x.empty()) {
            fail(QStringLiteral("None of the rows could be read."));
            m_set.source.reset();
            return;
        }
        settleTime(m_set);
        if (m_progress)
            m_progress(100);
    }

    // A column is a series when most of its filled cells are numbers; a text column keeps
    // no values.
    void settleColumns() {
        for (std::size_t c = 0; c < m_valueCells; ++c) {
            Column& col = m_set.columns[c];
            col.stats = columnStats(col.values);
            col.numeric = col.stats.count > 0 && col.stats.count >= m_textCells[c];
            if (!col.numeric) {
                col.values.clear();
                col.values.shrink_to_fit();
                col.stats = {};
            }
        }
    }

    // Of the readings every row allows, the one whose times run most plausibly; the unit's
    // own when it is as good as any; otherwise the operator says.
    void pickDateOrder() {
        std::vector<std::size_t> tied{0};
        if (m_orders.size() > 1) { // one reading left has nothing to be weighed against
            std::vector<std::pair<std::size_t, std::size_t>> scores;
            for (const auto& xs : m_orderX)
                scores.push_back(implausibility(xs));
            const auto best = std::min_element(scores.begin(), scores.end()) - scores.begin();
            tied.clear();
            for (std::size_t o = 0; o < m_orders.size(); ++o)
                if (scores[o] == scores[static_cast<std::size_t>(best)])
                    tied.push_back(o);
        }
        const std::size_t pick = tied.front();
        const bool unitsOwn =
            m_layout.shape.separator == '-' && m_orders[tied.front()] == DateOrder::YMD;
        m_set.dateOrder = m_orders[pick];
        m_set.dateOrderShown = !unitsOwn && std::popcount(m_layout.orders) > 1;
        m_set.x = std::move(m_orderX[pick]);
        if (!unitsOwn)
            for (std::size_t o : tied)
                if (o != pick) {
                    m_set.otherOrders.push_back(m_orders[o]);
                    m_set.otherX.push_back(std::move(m_orderX[o]));
                }
    }

    ByteInput& m_in;
    const QString& m_path;
    const std::atomic<bool>* m_cancel;
    const ProgressFn& m_progress;
    const ReadLimits& m_limits;
    const std::uint64_t m_budget;
    LineReader m_lines;
    DataSet m_set;
    int m_lastPercent = -1;

    // The file's start.
    std::vector<Held> m_held;
    std::size_t m_heldBytes = 0;
    bool m_seenContent = false;
    bool m_more = true; // lines remain after the sample
    std::vector<std::string_view> m_cells;

    // The plan.
    TimeLayout m_layout;
    std::size_t m_width = 0;      // cells a row may have
    std::size_t m_valueCells = 0; // cells after the time cells
    std::vector<DateOrder> m_orders;
    std::uint64_t m_perRow = 0, m_fixed = 0, m_rowsGuess = 0;
    std::uint64_t m_mostRows = 0;      // rows the budget holds
    std::size_t m_room = 0;            // rows reserved
    std::uint64_t m_accountedPeak = 0; // the most bytes reserved at once

    // The rows.
    std::vector<std::vector<double>> m_orderX; // x per open date order
    std::vector<std::size_t> m_textCells;      // per column: cells of text
    std::vector<double> m_rowValues;
    std::vector<char> m_rowText;
    std::size_t m_ordinal = 0, m_unplottable = 0;
};

DataSet readDataSet(ByteInput& in, const QString& path, std::shared_ptr<const RowSource> source,
                    const std::atomic<bool>* cancel, const ProgressFn& progress,
                    const ReadLimits& limits) {
    return DataSetReader(in, path, cancel, progress, limits).read(std::move(source));
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
