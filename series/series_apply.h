// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series as the program and xrq-series use it, by the program's files folder: the store
// is "series.sqlite" there and the facts come from the unit register beside it.
// Runs on the caller's thread (the program's UI thread after a download: a download's sets
// are taken in well under a second; a rebuild is xrq-series' work or the rare store lost).

#include "series/download_records.h"
#include "series/download_text.h"
#include "series/series_store.h"

#include <functional>
#include <string>
#include <vector>

namespace series {

// How a download's capture ended badly, in the words its verdict gives (the unit register
// keeps them): such a download was never converted. Written once, here, for the download
// that says them and the rebuild that reads them back.
namespace capture_end {
inline constexpr const char* kStopped = "the download was stopped";
inline constexpr const char* kNotWritten = "the intermediate data file could not be written";
inline constexpr const char* kNoPrompt = "it did not end with the unit's prompt";
} // namespace capture_end

// Whether a download's reasons say that its capture ended well (none of the above).
bool capturedWhole(const std::vector<std::string>& reasons);

// The one rule for what the series takes, asked by a download as it ends and by the rebuild:
// a download whose capture ended well and whose kept copy holds the unit's data sets whole
// (read, not cut, no "No" line). What it holds is taken, as provisional when not called safe.
bool seriesTakes(const DownloadSets& sets, bool capturedWhole);
bool seriesTakes(const DownloadRecords& download, bool capturedWhole);

// Takes a download's data sets (whole lines only) into the unit's series, durably, before
// the operator is told; `keptPath` is the kept raw download (its identity, and what a
// rebuild reads again), `safe` the verdict. A store that is lost while the register knows
// kept downloads, or damaged, or made by an older version's rules (below kRulesVersion), is
// rebuilt first.
ApplyResult applyDownload(const std::string& filesFolder, DownloadRecords& download,
                          const std::string& serial, const std::string& keptPath, bool safe);
// The same over sets held in memory.
ApplyResult applyDownload(const std::string& filesFolder, const DownloadSets& sets,
                          const std::string& serial, const std::string& keptPath, bool safe);

// Whether the folder's store was made by an older version's rules (below kRulesVersion):
// applyDownload rebuilds such a store once before it takes the next download; a start that
// wants the series by the rules of now at once can rebuild it itself (read only, no write).
bool storeMadeByOlderRules(const std::string& filesFolder);

struct RebuildResult {
    bool ok = false;
    std::string error;
    std::size_t downloads = 0;           // kept downloads taken
    std::vector<std::string> unreadable; // kept downloads that could not be read ("path: why")
    // Kept downloads `xrq-series prune-kept --remove` removed (a later one holds them).
    std::vector<PrunedDownload> pruned;
    std::size_t series = 0;
    // What each kept download gave, in the order taken.
    std::vector<std::pair<std::string, ApplyResult>> taken;
    // The organisation's clock sets learnt from its server, carried over from the store
    // replaced; none when that store could not be read (`learntNotCarried` says why, and the
    // store is kept aside as `keptAside`, never lost).
    std::size_t learntCarried = 0;
    std::string learntNotCarried;
    std::string keptAside;
};

// Builds the store anew from the kept raw downloads and the register's clears and clock
// sets, by their UTC instants, and puts it in place of the old one. Same result as taking
// the downloads one by one. What is known only to the old store (the kept downloads pruned,
// the clock sets learnt from the server) is carried over. `progress` (optional) hears each
// download taken.
RebuildResult rebuild(const std::string& filesFolder,
                      const std::function<void(const std::string&)>& progress = {});

// Where the store is, in a files folder.
std::string storePath(const std::string& filesFolder);
// The program's files folder where none is given (xrq-series, xrq-view): the generic data
// location's "Quorvant/XRQ/", as the program has it; ends with "/".
std::string defaultFilesFolder();

} // namespace series
