// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A download's data sets as the series takes them, and as two downloads are compared,
// without holding their text: the kept file is read line by line through the conversion's
// own reader (line_reader.h) and its lines told apart by the one rule (download_text.h's
// roleOf), as parseDownloadText does. Of each record only a hash of its bytes is held, and
// of every kMarkEvery-th record where its line starts, so that a download costs about 8
// bytes a record while it is taken, not its text; a record's bytes are read again from the
// file where they are stored or compared byte for byte. The same over sets held in memory
// (downloadRecordsOf), so that both are taken by the same code.
// One thread at a time per object.

#include "series/download_text.h"
#include "time_stamps/time_stamps.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace series {

// The hash a record is aligned by: XXH3 (64 bits) of its bytes, line end removed.
std::uint64_t recordHash(std::string_view line);

struct SetIndex {
    std::string name;
    bool complete = true;              // as SetLines::complete
    std::vector<std::uint64_t> hashes; // recordHash of each record, in order
    // The date order every readable stamp of the set's records allows (chooseDateOrder).
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    // The set's title line (namesColumns), bytes as sent; empty when it has none.
    std::string titles;
    std::size_t size() const { return hashes.size(); }
};

class DownloadRecords {
public:
    virtual ~DownloadRecords() = default;

    // As DownloadSets says them.
    bool readable() const { return m_readable; }
    const std::string& error() const { return m_error; }
    bool noData() const { return m_noData; }
    bool cut() const { return m_cut; }
    const std::vector<SetIndex>& sets() const { return m_sets; }

    // Moves to record `index` of set `set`: next() hands out that record and those after it
    // in the set. False (failed()) when the records cannot be read again.
    virtual bool seek(std::size_t set, std::size_t index) = 0;
    // The next record of the set (valid until the next call); false after the set's last
    // record, or when it cannot be read (failed()).
    virtual bool next(std::string_view& line) = 0;
    bool failed() const { return m_failed; }
    // Why the records could not be read (after failed()).
    const std::string& readError() const { return m_readError; }

protected:
    bool fail(std::string why);

    bool m_readable = true;
    std::string m_error;
    bool m_noData = false;
    bool m_cut = false;
    std::vector<SetIndex> m_sets;
    bool m_failed = false;
    std::string m_readError;
};

// A kept raw download (or an intermediate file), read once to be indexed and kept open to
// read its records again. A file that cannot be read is not readable(), with error() as
// readDownloadFile says it.
std::unique_ptr<DownloadRecords> readDownloadRecords(const std::string& path);
// The same over sets held in memory; `sets` must outlive the result.
std::unique_ptr<DownloadRecords> downloadRecordsOf(const DownloadSets& sets);

// Compares set `as` of `a` with the beginning of set `bs` of `b`, record by record, byte
// for byte (b's set holds at least as many records): `differsAt` is the 1-based number of
// a's first record that differs, 0 when none does. False when either cannot be read again.
bool compareSetBeginning(DownloadRecords& a, std::size_t as, DownloadRecords& b, std::size_t bs,
                         std::size_t& differsAt);

} // namespace series
