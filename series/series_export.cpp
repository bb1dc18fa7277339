// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_export.h"
#include "series/record_time.h"

#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <xxhash.h>

namespace series {

namespace {

// One CSV cell: quoted when it holds a quote, a comma or a line end. The unit's bytes are
// Latin-1; a path is the file system's bytes already (UTF-8).
void appendCell(std::string& out, std::string_view latin1, bool isLatin1 = true) {
    auto text = [&](std::string_view part) {
        if (isLatin1)
            appendUtf8(out, part);
        else
            out.append(part);
    };
    bool quote = false;
    for (const char c : latin1)
        if (c == '"' || c == ',' || c == '\r' || c == '\n') {
            quote = true;
            break;
        }
    if (!quote) {
        text(latin1);
        return;
    }
    out += '"';
    std::size_t at = 0;
    while (at < latin1.size()) {
        const auto q = latin1.find('"', at);
        text(latin1.substr(at, q == std::string_view::npos ? q : q - at));
        if (q == std::string_view::npos)
            break;
        out += "\"\"";
        at = q + 1;
    }
    out += '"';
}

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
            store.clockSets(info.serial)};
}

long long exportCsv(SeriesStore& store, const SeriesInfo& info, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink) {
    return exportCsv(storeSource(store, info), range, sink);
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

FileExport exportToFile(const RecordSource& source, const ExportRange& range,
                        const std::string& path, bool replace, const std::function<bool()>& stop) {
    FileExport out;
    auto failed = [&](const std::string& why) {
        out.error = path + ": " + why;
        return out;
    };
    const std::string folder = platform::folderOf(path);
    std::string temporary = folder + "/.xrq-series-export-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failed(std::strerror(errno));
    ::fchmod(fd, 0644);
    int error = 0;
    bool stopped = false;
    const long long rows = exportCsv(source, range, [&](std::string_view piece) {
        if (stop && stop()) {
            stopped = true;
            return false;
        }
        if (platform::writeAll(fd, piece.data(), piece.size()))
            return true;
        error = errno;
        return false;
    });
    if (rows >= 0 && !platform::syncFile(fd))
        error = errno;
    if (::close(fd) != 0 && error == 0 && rows >= 0)
        error = errno;
    bool named = false;
    if (rows >= 0 && error == 0) {
        named = replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                        : platform::renameNoReplace(temporary, path);
        if (!named)
            error = errno;
    }
    if (!named) {
        ::unlink(temporary.c_str());
        if (stopped)
            return failed("the export was stopped");
        if (error == EEXIST)
            return failed("a file of that name is there; nothing was replaced");
        if (rows < 0 && error == 0)
            return failed("the series could not be read");
        return failed(std::strerror(error));
    }
    // The name is on the disk only once its folder is synced: not said to be written before.
    if (!platform::syncFolder(folder))
        return failed(std::string("written, but its folder could not be synced: ") +
                      std::strerror(errno));
    out.ok = true;
    out.rows = rows;
    return out;
}

long long exportCsv(const RecordSource& source, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink) {
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
    // First pass: the widest record and the flags' counts, for the title row and comments.
    std::size_t fields = 1;
    std::map<std::string, std::size_t> counts;
    {
        const bool ok = eachInRange(
            [&](const RecordRef& r, bool, double, const RecordClock::Utc&, const std::string& f) {
                fields = std::max(fields, fieldCount(r.line));
                forEachFlag(f, [&](std::string_view flag) { ++counts[std::string(flag)]; });
                return true;
            });
        if (!ok)
            return -1;
    }
    std::string out;
    out.reserve(1 << 20);
    auto comment = [&](const std::string& text) {
        out += "# ";
        appendUtf8(out, text);
        out += "\r\n";
    };
    comment("XRQ series");
    comment("unit: " + info.serial);
    comment("data set: " + info.name +
            (info.ordinal > 0
                 ? " (set " + std::to_string(info.ordinal + 1) + " of that name in each download)"
                 : std::string()));
    comment(
        "records: " + std::to_string(info.records) + " in " + std::to_string(info.segments) +
        (info.segments == 1 ? " segment" : " segments") + ", " + std::to_string(info.provisional) +
        " provisional" +
        (info.disputed > 0 ? ", " + std::to_string(info.disputed) + " disputed" : std::string()));
    comment("time rule: utc = the unit's time minus the UTC offset of the clock set it was "
            "stamped under: the latest set whose interval holds it (set <= time - offset < the "
            "next set or the download that brought it, " +
            number(kDriftSeconds / 60) +
            " minutes of drift allowed), told apart by its neighbours' order where two fit "
            "(else offset ambiguous); empty where none fits (offset unknown) or where it "
            "would be after the download that brought it (clock ahead)");
    if (info.usualInterval > 0)
        comment("usual interval: " + number(info.usualInterval) + " s; a gap is a step over " +
                number(10 * info.usualInterval) + " s");
    if (counts.empty())
        comment("flags: none");
    for (const auto& [flag, n] : counts)
        comment("flag " + flag + ": " + std::to_string(n) + (n == 1 ? " record" : " records"));
    for (const Note& n : source.notes)
        comment("segment " + std::to_string(n.segment) + ", record " + std::to_string(n.record) +
                ": " + n.text + " (download " + n.download + ")");
    out += "unit_time,utc,offset";
    for (std::size_t i = 1; i <= fields; ++i)
        out += ",field_" + std::to_string(i);
    out += ",flags,download\r\n";

    long long rows = 0;
    bool sinkOk = true;
    const bool ok = eachInRange(
        [&](const RecordRef& r, bool, double, const RecordClock::Utc& utc, const std::string& f) {
            appendCell(out, stampText(r.line));
            out += ',';
            if (utc.known)
                out += isoUtc(utc.seconds);
            out += ',';
            if (utc.known)
                out += offsetText(utc.offsetSeconds);
            std::size_t n = 0, at = 0;
            for (;;) {
                const auto comma = r.line.find(',', at);
                out += ',';
                appendCell(out, trimmed(r.line.substr(at, comma == std::string_view::npos
                                                              ? std::string_view::npos
                                                              : comma - at)));
                ++n;
                if (comma == std::string_view::npos)
                    break;
                at = comma + 1;
            }
            for (; n < fields; ++n)
                out += ',';
            out += ',';
            appendCell(out, f);
            out += ',';
            appendCell(out, *r.download, false);
            out += "\r\n";
            ++rows;
            if (out.size() >= (1 << 20)) {
                sinkOk = sink(out);
                out.clear();
            }
            return sinkOk;
        });
    if (!ok || !sinkOk)
        return -1;
    if (!out.empty() && !sink(out))
        return -1;
    return rows;
}

} // namespace series
