// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_records.h"

#include "series/line_reader.h"
#include "series/record_time.h"

#include <xxhash.h>

#include <cerrno>
#include <cstring>

namespace series {

std::uint64_t recordHash(std::string_view line) {
    return XXH3_64bits(line.data(), line.size());
}

bool DownloadRecords::fail(std::string why) {
    if (!m_failed)
        m_readError = std::move(why);
    m_failed = true;
    return false;
}

namespace {

// A file's records: its lines read through the reader, whole (a line longer than the
// reader's piece is put together once, in a buffer of its own).
class FileRecords : public DownloadRecords {
public:
    static constexpr std::size_t kMarkEvery = 64;

    explicit FileRecords(std::string path) : m_path(std::move(path)) {}

    void index() {
        if (!m_reader.open(m_path)) {
            unreadable();
            return;
        }
        m_cut = !m_reader.trailingHolds('>');
        SetIndex* current = nullptr;
        DateOrderChoice order;
        std::string_view line;
        std::uint64_t at = 0;
        std::string name;
        auto take = [&](std::string_view record, std::uint64_t start) {
            if (current->hashes.size() % kMarkEvery == 0)
                m_marks.back().push_back(start);
            current->hashes.push_back(recordHash(record));
            order.add(record);
        };
        // A set's first data line waits for the one after it: it may be the set's titles.
        std::string first;
        std::uint64_t firstAt = 0;
        bool waiting = false;
        auto judgeFirst = [&](const std::string_view* next) {
            if (!waiting)
                return;
            waiting = false;
            if (namesColumns(first, next))
                current->titles = first;
            else
                take(first, firstAt);
        };
        auto close = [&] {
            if (current) {
                judgeFirst(nullptr);
                current->dateOrder = order.chosen();
            }
        };
        while (readLine(line, at)) {
            switch (roleOf(line, name)) {
            case LineRole::Other:
                break;
            case LineRole::NoData:
                close();
                m_noData = true;
                return done();
            case LineRole::BadHeader:
                m_readable = false;
                m_error = kHeaderWithoutColon;
                return done();
            case LineRole::SetStart:
                close();
                m_sets.push_back({std::move(name), true, {}, viewer::DateOrder::YMD, {}});
                m_marks.emplace_back();
                current = &m_sets.back();
                order = DateOrderChoice();
                first.clear();
                break;
            case LineRole::Record:
                if (!current)
                    break;
                if (current->hashes.empty() && current->titles.empty() && !waiting) {
                    first.assign(line);
                    firstAt = at;
                    waiting = true;
                    break;
                }
                judgeFirst(&line);
                take(line, at);
                break;
            }
        }
        close();
        if (m_reader.failed()) {
            unreadable();
            return;
        }
        if (m_cut && !m_sets.empty())
            m_sets.back().complete = false;
        done();
    }

    bool seek(std::size_t set, std::size_t index) override {
        if (m_failed)
            return false;
        if (set >= m_sets.size() || index > m_sets[set].size())
            return fail("no record " + std::to_string(index + 1) + " in data set " +
                        std::to_string(set + 1) + " of " + m_path);
        m_set = set;
        m_at = index;
        if (index == m_sets[set].size())
            return true;
        // From the mark before it (the line of a record whose index is a multiple of
        // kMarkEvery) on to it.
        const std::size_t mark = index / kMarkEvery;
        m_reader.rewindTo(m_marks[set][mark]);
        m_at = mark * kMarkEvery;
        std::string_view line;
        while (m_at < index)
            if (!next(line))
                return false;
        return true;
    }

    bool next(std::string_view& line) override {
        if (m_failed || m_set >= m_sets.size() || m_at >= m_sets[m_set].size())
            return false;
        std::uint64_t at = 0;
        std::string name;
        while (readLine(line, at)) {
            const LineRole role = roleOf(line, name);
            if (role == LineRole::Other)
                continue;
            // The index says a record stands here: anything else is a file changed since.
            if (role != LineRole::Record || recordHash(line) != m_sets[m_set].hashes[m_at])
                break;
            ++m_at;
            return true;
        }
        return fail(m_reader.failed() ? cannotRead()
                                      : m_path + " changed while the series read it");
    }

private:
    std::string cannotRead() const {
        return "cannot read " + m_path + ": " +
               (errno != 0 ? std::strerror(errno) : "it grew shorter while it was read");
    }

    void unreadable() {
        m_readable = false;
        m_error = cannotRead();
        m_sets.clear();
        m_marks.clear();
    }

    // Nothing more is read in the first pass; the long-line buffer is given back.
    void done() { std::string().swap(m_long); }

    // The next line whole, and where it starts in the file.
    bool readLine(std::string_view& line, std::uint64_t& at) {
        std::string_view piece;
        bool first = false, last = false;
        if (!m_reader.nextPiece(piece, first, last))
            return false;
        at = m_reader.lineStart();
        if (last) {
            line = piece;
            return true;
        }
        m_long.assign(piece);
        while (m_reader.nextPiece(piece, first, last)) {
            m_long.append(piece);
            if (last) {
                line = m_long;
                return true;
            }
        }
        return false;
    }

    std::string m_path;
    LineReader m_reader;
    std::vector<std::vector<std::uint64_t>> m_marks; // per set: the line of every kMarkEvery-th
    std::string m_long;
    std::size_t m_set = static_cast<std::size_t>(-1);
    std::size_t m_at = 0;
};

class HeldSets : public DownloadRecords {
public:
    explicit HeldSets(const DownloadSets& sets) : m_held(sets) {
        m_readable = sets.readable;
        m_error = sets.error;
        m_noData = sets.noData;
        m_cut = sets.cut;
        m_sets.reserve(sets.sets.size());
        for (const SetLines& set : sets.sets) {
            SetIndex index{set.name, set.complete, {}, viewer::DateOrder::YMD, set.titles};
            index.hashes.reserve(set.records.size());
            DateOrderChoice order;
            for (const std::string& record : set.records) {
                index.hashes.push_back(recordHash(record));
                order.add(record);
            }
            index.dateOrder = order.chosen();
            m_sets.push_back(std::move(index));
        }
    }

    bool seek(std::size_t set, std::size_t index) override {
        if (set >= m_sets.size() || index > m_sets[set].size())
            return fail("no record " + std::to_string(index + 1) + " in data set " +
                        std::to_string(set + 1));
        m_set = set;
        m_at = index;
        return true;
    }

    bool next(std::string_view& line) override {
        if (m_set >= m_held.sets.size() || m_at >= m_held.sets[m_set].records.size())
            return false;
        line = m_held.sets[m_set].records[m_at++];
        return true;
    }

private:
    const DownloadSets& m_held;
    std::size_t m_set = static_cast<std::size_t>(-1);
    std::size_t m_at = 0;
};

} // namespace

std::unique_ptr<DownloadRecords> readDownloadRecords(const std::string& path) {
    auto records = std::make_unique<FileRecords>(path);
    records->index();
    return records;
}

std::unique_ptr<DownloadRecords> downloadRecordsOf(const DownloadSets& sets) {
    return std::make_unique<HeldSets>(sets);
}

bool compareSetBeginning(DownloadRecords& a, std::size_t as, DownloadRecords& b, std::size_t bs,
                         std::size_t& differsAt) {
    differsAt = 0;
    const std::size_t n = a.sets()[as].size();
    if (n == 0)
        return true;
    if (!a.seek(as, 0) || !b.seek(bs, 0))
        return false;
    std::string_view x, y;
    for (std::size_t i = 0; i < n; ++i) {
        if (!a.next(x) || !b.next(y))
            return false;
        if (x != y) {
            differsAt = i + 1;
            return true;
        }
    }
    return true;
}

} // namespace series
