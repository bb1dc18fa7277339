// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading a data file as the download writes it: the header line "Name: ...", a column-title
// line when the unit sends one, then comma-separated rows ending in CR LF, all in Latin-1.
// The unit's record layout is not fixed, so the columns, the time axis and which columns
// are numeric are worked out from the file itself. Nothing here touches a window: the
// loader runs it on a worker thread and tests call it directly.
//
// Bounded by design: the file is read once, in pieces, and never held whole; a line is cut
// at a set number of cells and bytes (and counted as unreadable); a file whose values would
// need more than a share of the machine's memory is refused before it is read, and the room
// for every row is counted against that share before the row is stored. The rows'
// text stays in the file and is read back a row at a time for the table and the export.

#include "time_stamps/time_stamps.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace viewer {

// Seconds since 1970-01-01 00:00:00 of a "YY-MM-DD HH:MM:SS" stamp read as a plain wall
// clock (no time zone): the unit's clock has none, and a shift for summer time would
// fold or tear a series that the unit logged evenly. False when the text is not such a
// stamp or names no real date. YY is 2000 + YY.
bool parseUnitDateTime(std::string_view text, double& seconds);
bool parseUnitDate(std::string_view text, double& seconds); // "YY-MM-DD"
bool parseUnitTime(std::string_view text, double& seconds); // "HH:MM:SS"
// A number in the C locale ("12.5", "-3", "1e-3", "+4"); blanks around it are allowed.
// Not-a-number and infinite texts are not numbers.
bool parseNumber(std::string_view text, double& value);
// "2026-05-11T08:00:00" (ISO 8601) and "2026-05-11 08:00:00" (display) of such seconds.
QString isoDateTime(double seconds);
QString displayDateTime(double seconds);

// Values whose size is beyond this cannot be drawn: the axis arithmetic of a span from
// -1e308 to 1e308 overflows.
constexpr double kPlotLimit = 1e300;

struct ReadLimits {
    std::size_t maxCells = std::size_t{1} << 20;      // cells in one line
    std::size_t maxLineBytes = std::size_t{32} << 20; // bytes in one line
    std::uint64_t memoryBudget = 0;                   // bytes for the values; 0: defaultBudget()
    // The date orders the stamps are read in, when the caller knows them (a series does);
    // 0: every order the stamps allow.
    DateOrders dateOrders = 0;
    // The rows the caller knows the bytes hold (a series counts its records): room for them
    // is reserved once, still within the budget; 0: guessed from the file's start.
    std::uint64_t expectedRows = 0;
};
// A quarter of the machine's memory: the viewer shares it with the program and a download.
std::uint64_t defaultMemoryBudget();

enum class Axis { Time, RowNumber };

struct ColumnStats {
    std::size_t count = 0; // numeric cells
    double min = 0;
    double max = 0;
    double mean = 0;
};
ColumnStats columnStats(const std::vector<double>& values);
// Over the rows [from, to).
ColumnStats columnStats(const double* values, std::size_t from, std::size_t to);

struct Column {
    QString title;              // from the title line (empty without one: see DataSet::title)
    bool numeric = false;       // a series: most of its filled cells are numbers
    std::vector<double> values; // one per row; NaN where a cell is missing or no number
    ColumnStats stats;
};

// Where the rows' text is read back from: the file (by offset), or the bytes given.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual QByteArray read(std::int64_t offset, std::int64_t length) const = 0;
};

// What a unit's series adds to its plot (viewer/series_reading.h): where its segments start
// and which rows are flagged, for what. Empty for a data file.
struct RowMarks {
    std::vector<double> segmentStarts;      // x of each segment's first row, rising
    std::vector<std::size_t> flaggedRows;   // rising
    std::vector<std::uint16_t> flaggedKind; // per flagged row: its index in `kinds`
    QStringList kinds;                      // "gap", "backwards; provisional" ...
    // What the row is flagged for; empty when it is not.
    QString flagsOf(std::size_t row) const;
};

struct DataSet {
    QString path;
    QString name;           // from "Name: ..." (Latin-1), or the file name without one
    bool hasHeader = false; // the "Name:" line was there
    QStringList titles;     // the column-title line's cells, empty without one
    Axis axis = Axis::RowNumber;
    int timeCells = 0;     // leading cells that make the time: 1 "date time", 2 "date", "time"
    std::vector<double> x; // per row: seconds (Time) or the row number from 1 (RowNumber)
    std::vector<Column> columns;    // the cells after the time cells
    bool sorted = true;             // x never decreases (false: the rows were sorted)
    std::size_t rowsOutOfOrder = 0; // rows whose time is before the row above them
    double gapSeconds = 0;          // a step in time longer than this is a gap (0: none)
    std::int64_t fileBytes = 0;

    // How the dates were read, and the other readings the data allows (then the operator
    // chooses: see chooseDateOrder()).
    DateOrder dateOrder = DateOrder::YMD;
    bool dateOrderShown = false; // the stamps allowed more than one order: say which was read
    std::vector<DateOrder> otherOrders;
    std::vector<std::vector<double>> otherX; // x per other order, in file order

    std::shared_ptr<const RowSource> source;
    std::vector<std::int64_t> rowStart; // file offset of each row's text
    std::vector<std::int64_t> rowEnd;
    QStringList rowCells(std::size_t row) const; // trimmed, Latin-1

    std::size_t skippedRows = 0;           // rows that could not be read
    std::vector<std::size_t> skippedLines; // line numbers of the first few of them
    std::size_t unplottable = 0;           // cells with a number that cannot be drawn
    QString error; // the file could not be shown at all (empty, binary, unreadable, too large)
    // The most bytes the reading reserved for the values at once (never over the budget).
    std::uint64_t accountedPeak = 0;
    RowMarks marks;
    QStringList notes; // said after the summary ("2 segments" ...)
    // The clock the times are on: a data file's are the unit's own; a series' are UTC where
    // its clock sets say the unit's offset.
    enum class Clock { Unit, Utc, Mixed };
    Clock clock = Clock::Unit;

    std::size_t rowCount() const { return x.size(); }
    int numericColumnCount() const;
    QString title(std::size_t column) const; // the title, or "Column n"
    bool dateOrderOpen() const { return !otherOrders.empty(); }
    // "12 rows could not be read" etc.; empty when all rows were read.
    QString skippedText() const;
    // Everything the status line says about the reading: rows, skipped, values not drawn,
    // sorting and the date order.
    QString summary() const;
};

// Progress in percent (0..100), called from the thread that parses; cancel is polled.
using ProgressFn = std::function<void(int)>;

// Parses the bytes of a data file. A malformed row is skipped and counted, a cell that is
// no number leaves a gap; only a file with nothing to show sets DataSet::error.
DataSet parseDataFile(QByteArray bytes, const QString& path = {},
                      const std::atomic<bool>* cancel = nullptr, const ProgressFn& progress = {},
                      const ReadLimits& limits = {});
// Reads and parses a file (regular files only: a FIFO or a device would never end).
DataSet loadDataFile(const QString& path, const std::atomic<bool>* cancel = nullptr,
                     const ProgressFn& progress = {}, const ReadLimits& limits = {});
// Settles an open date order (otherOrders) with the operator's choice: the rows are read in
// that order, sorted, and the choice is closed.
void chooseDateOrder(DataSet& set, DateOrder order);

// Puts the rows at the times given (one per row, in the rows' present order: a series' UTC
// instants), in time order, and measures the gaps anew; the date order is settled. Returns,
// for each row after, its index before; empty when no row moved.
std::vector<std::size_t> placeRowsAt(DataSet& set, std::vector<double> x);

// The data set as CSV: one header row, ISO 8601 times, UTF-8, LF line ends; the cells as
// the unit wrote them (trimmed), quoted where they hold a comma or a quote. Written in
// pieces to `sink` (false from it stops the export).
bool writeCsv(const DataSet& set, const std::function<bool(const QByteArray&)>& sink);
QByteArray toCsv(const DataSet& set);

} // namespace viewer
