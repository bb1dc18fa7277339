// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_export.h"
#include "series/record_time.h"

#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <xxhash.h>

namespace series {

namespace {

std::size_t fieldCount(std::string_view line) {
    std::size_t n = 1;
    for (const char c : line)
        n += c == ',';
    return n;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Records whose bytes, after the bytes of the record before them in their segment, stand at
// another place too (a clock reset to its default date): one 64-bit hash of each pair, kept
// sorted between the passes.
class RepeatedPairs {
public:
    // The hash of a record and the one before it; none for a segment's first record (no
    // record before it: never "after equal records").
    bool hash(const RecordRef& r, std::uint64_t& h) {
        const bool first = r.segment != m_segment;
        m_segment = r.segment;
        m_pair.assign(m_before);
        m_pair += '\n';
        m_pair.append(r.line);
        m_before.assign(r.line);
        h = XXH3_64bits(m_pair.data(), m_pair.size());
        return !first;
    }
    void add(const RecordRef& r) {
        std::uint64_t h;
        if (hash(r, h))
            m_hashes.push_back(h);
    }
    // Before each pass over the records.
    void restart() {
        m_segment = 0;
        m_before.clear();
    }
    void sort() {
        std::sort(m_hashes.begin(), m_hashes.end());
        restart();
        for (std::size_t i = 1; i < m_hashes.size() && !m_any; ++i)
            m_any = m_hashes[i] == m_hashes[i - 1];
    }
    // In the same order again.
    bool repeated(const RecordRef& r) {
        std::uint64_t h;
        if (!hash(r, h) || !m_any)
            return false;
        const auto [from, to] = std::equal_range(m_hashes.begin(), m_hashes.end(), h);
        return to - from > 1;
    }

private:
    std::vector<std::uint64_t> m_hashes;
    int m_segment = 0;
    std::string m_before, m_pair;
    bool m_any = false;
};

} // namespace

void appendUtf8(std::string& out, std::string_view latin1) {
    std::size_t plain = 0;
    while (plain < latin1.size() && static_cast<unsigned char>(latin1[plain]) < 0x80)
        ++plain;
    out.append(latin1.data(), plain);
    for (std::size_t i = plain; i < latin1.size(); ++i) {
        const auto u = static_cast<unsigned char>(latin1[i]);
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
}

namespace {

// A number as a spreadsheet and a CSV reader take it ("12.5", "-3", "1e-3"); a leading '+'
// is a number too, written without it.
bool numberCell(std::string_view cell) {
    if (!cell.empty() && cell.front() == '+')
        cell.remove_prefix(1);
    if (cell.empty() || cell.front() == '+' || (cell.front() == '-' && cell.size() == 1))
        return false;
    double v = 0;
    const auto r = std::from_chars(cell.data(), cell.data() + cell.size(), v);
    return r.ptr == cell.data() + cell.size() && r.ec == std::errc() && std::isfinite(v);
}

bool runsInSpreadsheet(char first) {
    return first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' ||
           first == '\r';
}

// Text for a comment line or a metadata string: line ends and other control bytes as blanks.
std::string oneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

std::string latin1Text(std::string_view latin1) {
    std::string out;
    appendUtf8(out, latin1);
    return out;
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A column's name for programs: its title's letters and digits, '_' for the rest.
std::string plainName(std::string_view title) {
    std::string out;
    for (const char c : title) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (keep)
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_')
        out.pop_back();
    if (out.empty() || (out.front() >= '0' && out.front() <= '9'))
        out.insert(0, "c_");
    return out;
}

// How many of a record's leading cells its time stamp takes (0, 1 or 2).
std::size_t stampCells(std::string_view record) {
    const std::string_view stamp = stampText(record);
    if (stamp.empty())
        return 0;
    return 1 + static_cast<std::size_t>(std::count(stamp.begin(), stamp.end(), ','));
}

} // namespace

void appendCell(std::string& out, std::string_view text, bool latin1) {
    if (numberCell(text)) {
        out.append(text.front() == '+' ? text.substr(1) : text);
        return;
    }
    // Most cells are plain ASCII needing nothing: appended as they are, with no cell of
    // their own (the site CSV writes a million rows of them).
    if (!text.empty() && !runsInSpreadsheet(text.front()) &&
        std::all_of(text.begin(), text.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u < 0x80 && c != '"' && c != ',' && c != '\r' && c != '\n';
        })) {
        out.append(text);
        return;
    }
    std::string cell;
    if (!text.empty() && runsInSpreadsheet(text.front()))
        cell += '\'';
    if (latin1)
        appendUtf8(cell, text);
    else
        cell.append(text);
    bool quote = false;
    for (char& c : cell) {
        if (c == '\r' || c == '\n')
            c = ' ';
        quote = quote || c == '"' || c == ',';
    }
    if (!quote) {
        out += cell;
        return;
    }
    out += '"';
    for (const char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

bool parseExportLayout(std::string_view word, ExportLayout& layout) {
    if (word == "plain")
        layout = ExportLayout::Plain;
    else if (word == "classic")
        layout = ExportLayout::Classic;
    else
        return false;
    return true;
}

std::string metadataPathOf(const std::string& csvPath) {
    return csvPath + "-metadata.json";
}

std::vector<std::string> fieldTitles(const RecordSource& source, std::size_t fields) {
    std::vector<std::vector<std::string>> seen(fields);
    auto take = [&](const std::string& line) {
        const auto cells = fieldsOf(line);
        for (std::size_t i = 0; i < cells.size() && i < fields; ++i) {
            auto& at = seen[i];
            if (!cells[i].empty() && std::find(at.begin(), at.end(), cells[i]) == at.end())
                at.emplace_back(cells[i]);
        }
    };
    for (const auto& [segment, line] : source.segmentTitles)
        take(line);
    if (source.segmentTitles.empty() && !source.info.columnTitles.empty())
        take(source.info.columnTitles);
    std::vector<std::string> out(fields);
    for (std::size_t i = 0; i < fields; ++i)
        for (const std::string& t : seen[i])
            out[i] += (out[i].empty() ? "" : " / ") + t;
    return out;
}

std::string exportMetadata(const ExportDescription& d, const std::string& csvName) {
    QJsonArray columns;
    for (const ExportColumn& c : d.columns)
        columns.append(
            QJsonObject{{QStringLiteral("name"), QString::fromStdString(c.name)},
                        {QStringLiteral("titles"), QString::fromStdString(c.title)},
                        {QStringLiteral("datatype"), QString::fromStdString(c.datatype)},
                        {QStringLiteral("dc:description"), QString::fromStdString(c.about)}});
    auto list = [](const std::vector<std::string>& lines) {
        QJsonArray a;
        for (const std::string& l : lines)
            a.append(QString::fromStdString(l));
        return a;
    };
    const QJsonObject meta{
        {QStringLiteral("@context"), QStringLiteral("http://www.w3.org/ns/csvw")},
        {QStringLiteral("url"), QString::fromStdString(csvName)},
        {QStringLiteral("dc:title"), QString::fromStdString(d.title)},
        {QStringLiteral("dc:source"), list(d.source)},
        {QStringLiteral("rdfs:comment"), list(d.said)},
        {QStringLiteral("dialect"),
         QJsonObject{{QStringLiteral("header"), true},
                     {QStringLiteral("encoding"), QStringLiteral("utf-8")},
                     {QStringLiteral("lineTerminators"), QJsonArray{QStringLiteral("\r\n")}}}},
        {QStringLiteral("tableSchema"), QJsonObject{{QStringLiteral("columns"), columns}}},
    };
    return QJsonDocument(meta).toJson(QJsonDocument::Indented).toStdString();
}

bool parseRangeTime(std::string_view text, double& seconds) {
    viewer::StampFields fields;
    if (!viewer::splitStamp(text, fields) || !fields.shape.yearFirst4)
        return false;
    return viewer::stampSeconds(fields, viewer::DateOrder::YMD, seconds);
}

std::string RecordFlags::next(const RecordRef& r, bool parsed, double seconds,
                              const RecordClock::Utc& utc) {
    std::string flags;
    auto add = [&](const char* f) {
        if (!flags.empty())
            flags += "; ";
        flags += f;
    };
    if (r.segment != m_segment) {
        m_segment = r.segment;
        m_havePrevious = false;
        add("segment start");
    }
    if (r.provisional)
        add("provisional");
    if (r.disputed)
        add("disputed");
    if (r.repeated)
        add("repeated");
    if (parsed) {
        if (m_havePrevious) {
            // On UTC where both are known: a clock set between them is no step back.
            const double step =
                utc.known && m_previousKnown ? utc.seconds - m_previousUtc : seconds - m_previous;
            if (step < 0)
                add("backwards");
            else if (step == 0)
                add("repeated time");
            else if (m_usual > 0 && step > 10 * m_usual)
                add("gap");
        }
        m_havePrevious = true;
        m_previous = seconds;
        m_previousKnown = utc.known;
        m_previousUtc = utc.seconds;
        if (utc.flags & kAmbiguousOffset)
            add("offset ambiguous");
        if (utc.flags & kOffsetUnknown)
            add("offset unknown");
        if (utc.flags & kClockAhead)
            add("clock ahead");
    }
    return flags;
}

std::string pointFlags(std::string_view flags) {
    std::string kept;
    forEachFlag(flags, [&](std::string_view flag) {
        if (flag == "segment start" || flag == "offset unknown")
            return;
        if (!kept.empty())
            kept += "; ";
        kept += flag;
    });
    return kept;
}

RecordSource storeSource(SeriesStore& store, const SeriesInfo& info) {
    return {info, store.notes(info.id),
            [&store, id = info.id](const auto& each) { return store.forEachRecord(id, each); },
            store.clockSets(info.serial), store.segmentTitles(info.id)};
}

long long exportCsv(SeriesStore& store, const SeriesInfo& info, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink, ExportLayout layout,
                    ExportDescription* described) {
    return exportCsv(storeSource(store, info), range, sink, layout, described);
}

bool forEachRecordUtc(const RecordSource& source,
                      const std::function<bool(const RecordRef&, bool parsed, double unitSeconds,
                                               const RecordClock::Utc& utc)>& each) {
    RecordClock clock(source.clockSets);
    RepeatedPairs pairs;
    const bool read = source.forEachRecord([&](const RecordRef& r) {
        double s = 0;
        const bool parsed = unitSeconds(r.line, r.dateOrder, s);
        clock.add(r.segment, parsed, s, r.downloadAtMs);
        pairs.add(r);
        return true;
    });
    if (!read)
        return false;
    clock.resolve();
    pairs.sort();
    std::size_t index = 0;
    RecordRef ref;
    return source.forEachRecord([&](const RecordRef& r) {
        double s = 0;
        const bool parsed = unitSeconds(r.line, r.dateOrder, s);
        ref = r;
        ref.repeated = r.repeated || pairs.repeated(r);
        return each(ref, parsed, s, clock.utc(index++, parsed, s, r.downloadAtMs));
    });
}

namespace {

// A new file beside `folder`'s others under a temporary name, written by `write` (which
// writes into the descriptor and says whether it could) and synced; "" and `error` set when
// it could not be.
std::string writeTemporary(const std::string& folder, const std::function<bool(int)>& write,
                           int& error) {
    std::string temporary = folder + "/.xrq-series-export-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return {};
    }
    ::fchmod(fd, 0644);
    bool ok = write(fd);
    if (ok && !platform::syncFile(fd)) {
        error = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return {};
    }
    return temporary;
}

bool nameFile(const std::string& temporary, const std::string& path, bool replace) {
    return replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                   : platform::renameNoReplace(temporary, path);
}

} // namespace

// Whole: one file's writing, from its temporary name to its synced folder, each failure undone.
FileExport exportToFile(const RecordSource& source, const ExportRange& range,
                        const std::string& path, bool replace, const std::function<bool()>& stop,
                        ExportLayout layout) {
    FileExport out;
    auto failed = [&](const std::string& why) {
        out.error = path + ": " + why;
        return out;
    };
    const std::string folder = platform::folderOf(path);
    int error = 0;
    bool stopped = false;
    long long rows = -1;
    ExportDescription described;
    const std::string csv = writeTemporary(
        folder,
        [&](int fd) {
            rows = exportCsv(
                source, range,
                [&](std::string_view piece) {
                    if (stop && stop()) {
                        stopped = true;
                        return false;
                    }
                    if (platform::writeAll(fd, piece.data(), piece.size()))
                        return true;
                    error = errno;
                    return false;
                },
                layout, &described);
            return rows >= 0;
        },
        error);
    auto notWritten = [&] {
        if (stopped)
            return failed("the export was stopped");
        if (error == EEXIST)
            return failed("a file of that name is there; nothing was replaced");
        if (rows < 0 && error == 0)
            return failed("the series could not be read");
        return failed(std::strerror(error));
    };
    if (csv.empty())
        return notWritten();
    // The metadata beside it is named first: a CSV is never there without what it says.
    std::string metadata;
    if (layout == ExportLayout::Plain) {
        const std::string text = exportMetadata(described, fileNameOf(path));
        const std::string written = writeTemporary(
            folder,
            [&](int fd) {
                if (platform::writeAll(fd, text.data(), text.size()))
                    return true;
                error = errno;
                return false;
            },
            error);
        metadata = metadataPathOf(path);
        if (written.empty() || !nameFile(written, metadata, replace)) {
            if (!written.empty()) {
                error = errno;
                ::unlink(written.c_str());
            }
            ::unlink(csv.c_str());
            return error == EEXIST
                       ? failed("a file named " + metadata + " is there; nothing was replaced")
                       : notWritten();
        }
    }
    if (!nameFile(csv, path, replace)) {
        error = errno;
        ::unlink(csv.c_str());
        if (!metadata.empty())
            ::unlink(metadata.c_str()); // made just now, of this export only
        return notWritten();
    }
    // The names are on the disk only once their folder is synced: not said to be written before.
    if (!platform::syncFolder(folder))
        return failed(std::string("written, but its folder could not be synced: ") +
                      std::strerror(errno));
    out.ok = true;
    out.rows = rows;
    out.metadata = metadata;
    return out;
}

// Whole: its three passes over the records share the clock, the repeated pairs and the range.
long long exportCsv(const RecordSource& source, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink, ExportLayout layout,
                    ExportDescription* described) {
    const bool classic = layout == ExportLayout::Classic;
    const SeriesInfo& info = source.info;
    // Each record's own clock: its stamps read once through, then the neighbours decide.
    // Equal records after equal records at two places are flagged repeated.
    RecordClock clock(source.clockSets);
    RepeatedPairs pairs;
    {
        const bool ok = source.forEachRecord([&](const RecordRef& r) {
            double s = 0;
            const bool parsed = unitSeconds(r.line, r.dateOrder, s);
            clock.add(r.segment, parsed, s, r.downloadAtMs);
            pairs.add(r);
            return true;
        });
        if (!ok)
            return -1;
        clock.resolve();
        pairs.sort();
    }
    auto inRange = [&](bool parsed, double seconds, const RecordClock::Utc& utc) {
        if (!range.from && !range.to)
            return true;
        if (!parsed)
            return false;
        const double t = utc.known ? utc.seconds : seconds;
        return (!range.from || t >= *range.from) && (!range.to || t <= *range.to);
    };
    // Each record in the range, in order, with its time read and its flags: a pass over the
    // series (the export makes three, the flags going through every record each time).
    using InRange = std::function<bool(const RecordRef&, bool parsed, double seconds,
                                       const RecordClock::Utc& utc, const std::string& f)>;
    auto eachInRange = [&](const InRange& body) {
        RecordFlags flags(info.usualInterval);
        std::size_t index = 0;
        RecordRef ref;
        pairs.restart();
        return source.forEachRecord([&](const RecordRef& r) {
            double s = 0;
            const bool parsed = unitSeconds(r.line, r.dateOrder, s);
            const RecordClock::Utc utc = clock.utc(index++, parsed, s, r.downloadAtMs);
            ref = r;
            ref.repeated = r.repeated || pairs.repeated(r);
            const std::string f = flags.next(ref, parsed, s, utc);
            return !inRange(parsed, s, utc) || body(ref, parsed, s, utc, f);
        });
    };
    // First pass: the widest record, the time stamp's cells, which fields hold numbers only,
    // the flags' counts and the downloads, for the title row and what is said of the series.
    std::size_t fields = 1, timeCells = 0;
    std::vector<bool> textField;
    std::map<std::string, std::size_t> counts;
    std::map<std::string, std::int64_t> downloads; // path: taken (ms)
    {
        const bool ok = eachInRange(
            [&](const RecordRef& r, bool, double, const RecordClock::Utc&, const std::string& f) {
                fields = std::max(fields, fieldCount(r.line));
                timeCells = std::max(timeCells, stampCells(r.line));
                const auto cells = fieldsOf(r.line);
                if (textField.size() < cells.size())
                    textField.resize(cells.size(), false);
                for (std::size_t i = 0; i < cells.size(); ++i)
                    if (!cells[i].empty() && !numberCell(cells[i]))
                        textField[i] = true;
                forEachFlag(f, [&](std::string_view flag) { ++counts[std::string(flag)]; });
                if (r.download)
                    downloads.emplace(*r.download, r.downloadAtMs);
                return true;
            });
        if (!ok)
            return -1;
    }
    textField.resize(fields, false);
    std::vector<std::string> said;
    said.push_back("XRQ series");
    said.push_back("unit: " + latin1Text(info.serial));
    said.push_back("data set: " + latin1Text(info.name) +
                   (info.ordinal > 0 ? " (set " + std::to_string(info.ordinal + 1) +
                                           " of that name in each download)"
                                     : std::string()));
    said.push_back(
        "records: " + std::to_string(info.records) + " in " + std::to_string(info.segments) +
        (info.segments == 1 ? " segment" : " segments") + ", " + std::to_string(info.provisional) +
        " provisional" +
        (info.disputed > 0 ? ", " + std::to_string(info.disputed) + " disputed" : std::string()));
    said.push_back(
        "time rule: utc = the unit's time minus the UTC offset of the clock set it was "
        "stamped under: the latest set whose interval holds it (set <= time - offset < the "
        "next set or the download that brought it, " +
        number(kDriftSeconds / 60) +
        " minutes of drift allowed), told apart by its neighbours' order where two fit "
        "(else offset ambiguous); empty where none fits (offset unknown) or where it "
        "would be after the download that brought it (clock ahead)");
    if (info.usualInterval > 0)
        said.push_back("usual interval: " + number(info.usualInterval) +
                       " s; a gap is a step over " + number(10 * info.usualInterval) + " s");
    if (counts.empty())
        said.push_back("flags: none");
    for (const auto& [flag, n] : counts)
        said.push_back("flag " + flag + ": " + std::to_string(n) +
                       (n == 1 ? " record" : " records"));
    for (const Note& n : source.notes)
        said.push_back("segment " + std::to_string(n.segment) + ", record " +
                       std::to_string(n.record) + ": " + latin1Text(n.text) + " (download " +
                       (classic ? n.download : fileNameOf(n.download)) + ")");
    for (std::string& line : said)
        line = oneLine(line);

    std::string out;
    out.reserve(1 << 20);
    const std::vector<std::string> titles = fieldTitles(source, fields);
    ExportDescription d;
    if (classic) {
        for (const std::string& line : said)
            out += "# " + line + "\r\n";
        out += "unit_time,utc,offset";
        for (std::size_t i = 1; i <= fields; ++i)
            out += ",field_" + std::to_string(i);
        out += ",flags,download\r\n";
    } else {
        // Plain: titles from the title lines, each once (a second "Temp" is "Temp (2)").
        auto column = [&](std::string title, const char* type, std::string about) {
            // The title as the title row shows it (appendCell's rule).
            if (!title.empty() && runsInSpreadsheet(title.front()) && !numberCell(title))
                title.insert(0, "'");
            std::string name = plainName(title);
            std::string unique = title;
            for (int n = 2;
                 std::any_of(d.columns.begin(), d.columns.end(),
                             [&](const auto& c) { return c.title == unique || c.name == name; });
                 ++n) {
                unique = title + " (" + std::to_string(n) + ")";
                name = plainName(title) + "_" + std::to_string(n);
            }
            d.columns.push_back({name, unique, type, std::move(about)});
        };
        column("unit_time", "dateTime",
               "the record's time stamp as the unit's own clock read it (no offset); empty "
               "where the stamp cannot be read");
        column("utc", "dateTimeStamp", "the record's time in UTC by the time rule");
        column("utc_offset_minutes", "integer",
               "the UTC offset the unit's clock was set with, in minutes");
        for (std::size_t i = timeCells; i < fields; ++i) {
            std::string title;
            if (!titles[i].empty())
                title = latin1Text(titles[i]);
            else
                title = "field_" + std::to_string(i + 1);
            column(oneLine(title), textField[i] ? "string" : "number",
                   "field " + std::to_string(i + 1) + " of the record as the unit sent it");
        }
        column("flags", "string", "what the series says of the record, '; ' between flags");
        column("download", "string", "the file name of the kept download the record came from");
        column("download_utc", "dateTimeStamp", "when that download was taken, UTC");
        for (std::size_t i = 0; i < d.columns.size(); ++i) {
            if (i > 0)
                out += ',';
            // Quoted where it must be; its quote before a formula is there already.
            const std::string& t = d.columns[i].title;
            if (t.find_first_of(",\"") == std::string::npos) {
                out += t;
            } else {
                out += '"';
                for (const char c : t)
                    out += c == '"' ? std::string("\"\"") : std::string(1, c);
                out += '"';
            }
        }
        out += "\r\n";
    }
    if (described) {
        d.said = said;
        for (const auto& [path, at] : downloads)
            d.source.push_back(fileNameOf(path) + " (" + isoUtc(double(at) / 1000) + ")");
        d.title = oneLine("XRQ series: unit " + latin1Text(info.serial) + ", data set " +
                          latin1Text(info.name));
    }

    long long rows = 0;
    bool sinkOk = true;
    auto cellsAfter = [&](std::string_view line, std::size_t skip) {
        std::size_t n = 0, at = 0;
        for (;;) {
            const auto comma = line.find(',', at);
            if (n >= skip) {
                if (n > skip || !classic)
                    out += ',';
                appendCell(out, trimmed(line.substr(at, comma == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : comma - at)));
            }
            ++n;
            if (comma == std::string_view::npos)
                break;
            at = comma + 1;
        }
        for (n = std::max(n, skip); n < fields; ++n)
            out += ',';
    };
    const bool ok = eachInRange([&](const RecordRef& r, bool parsed, double seconds,
                                    const RecordClock::Utc& utc, const std::string& f) {
        if (classic) {
            appendCell(out, stampText(r.line));
            out += ',';
            if (utc.known)
                out += isoUtc(utc.seconds);
            out += ',';
            if (utc.known)
                out += offsetText(utc.offsetSeconds);
            out += ',';
            cellsAfter(r.line, 0);
            out += ',';
            appendCell(out, f);
            out += ',';
            if (r.download)
                appendCell(out, *r.download, false);
        } else {
            std::string flags = f;
            if (parsed) {
                std::string local = isoUtc(seconds);
                local.pop_back(); // the unit's own clock: no "Z"
                out += local;
            } else if (timeCells > 0) {
                // Kept in words: the cells that stand where the stamp should.
                std::string_view sent = r.line;
                std::size_t commas = 0, cut = 0;
                while (cut < sent.size() && !(sent[cut] == ',' && ++commas == timeCells))
                    ++cut;
                flags += (flags.empty() ? "" : "; ") + std::string("time as sent: ") +
                         std::string(trimmed(sent.substr(0, cut)));
            }
            out += ',';
            if (utc.known) {
                out += isoUtc(utc.seconds);
                out += ',';
                out += std::to_string(utc.offsetSeconds / 60);
            } else {
                out += ',';
            }
            cellsAfter(r.line, timeCells);
            out += ',';
            appendCell(out, flags);
            out += ',';
            if (r.download) {
                appendCell(out, fileNameOf(*r.download), false);
                out += ',';
                out += isoUtc(double(r.downloadAtMs) / 1000);
            } else {
                out += ',';
            }
        }
        out += "\r\n";
        ++rows;
        if (out.size() >= (1 << 16)) {
            sinkOk = sink(out);
            out.clear();
        }
        return sinkOk;
    });
    if (!ok || !sinkOk)
        return -1;
    if (!out.empty() && !sink(out))
        return -1;
    if (described) {
        d.rows = rows;
        *described = std::move(d);
    }
    return rows;
}

} // namespace series
