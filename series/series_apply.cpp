// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_apply.h"

#include "platform/durable_file.h"
#include "series/register_facts.h"

#include <QDateTime>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace series {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void removeStore(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        ::unlink((path + suffix).c_str());
}

// A store that cannot be used is kept aside for a look, never removed: its new name.
std::string keepAside(const std::string& filesFolder, const std::string& path) {
    const std::string aside =
        filesFolder + "series-damaged-" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString() +
        ".sqlite";
    ::rename(path.c_str(), aside.c_str());
    for (const char* suffix : {"-wal", "-shm"})
        ::rename((path + suffix).c_str(), (aside + suffix).c_str());
    return aside;
}

// What only the store a rebuild replaces knows, read from it to be carried over.
struct OldStore {
    bool exists = false;
    bool readable = false;
    bool damaged = false; // not readable, for it is no store (else: not now, or not ours)
    std::vector<PrunedDownload> pruned;
    std::vector<std::pair<std::string, ClockFact>> learnt;
    std::string why; // not readable: why
};

OldStore readOldStore(const std::string& path) {
    OldStore old;
    old.exists = exists(path);
    if (!old.exists)
        return old;
    SeriesStore store;
    if (auto opened = store.openToRead(path); !opened) {
        old.damaged = opened.kind() == platform::ErrorKind::Corrupt;
        old.why = opened.text();
        return old;
    }
    // Opened, then not read through: damage past its first page.
    auto learnt = store.learntClockSets();
    if (!learnt) {
        old.damaged = true;
        old.why = learnt.text();
        return old;
    }
    old.learnt = std::move(*learnt);
    old.pruned = store.pruned();
    old.readable = true;
    return old;
}

} // namespace

bool capturedWhole(const std::vector<std::string>& reasons) {
    for (const std::string& reason : reasons)
        if (reason == capture_end::kStopped || reason == capture_end::kNotWritten ||
            reason == capture_end::kNoPrompt)
            return false;
    return true;
}

namespace {

bool takes(bool captured, bool readable, bool cut, bool noData) {
    return captured && readable && !cut && !noData;
}

} // namespace

bool seriesTakes(const DownloadSets& sets, bool captured) {
    return takes(captured, sets.readable, sets.cut, sets.noData);
}

bool seriesTakes(const DownloadRecords& download, bool captured) {
    return takes(captured, download.readable(), download.cut(), download.noData());
}

bool storeMadeByOlderRules(const std::string& filesFolder) {
    const std::string path = storePath(filesFolder);
    if (!exists(path))
        return false;
    SeriesStore store;
    return store.openToRead(path) && store.rulesVersion() < kRulesVersion;
}

std::string storePath(const std::string& filesFolder) {
    return filesFolder + kFileName;
}

std::string defaultFilesFolder() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!base.endsWith('/'))
        base += '/';
    return QFile::encodeName(base + QStringLiteral("Quorvant/XRQ/")).toStdString();
}

namespace {

// The store's writers in this process (a download taking its sets, a rebuild at start) take
// turns: a rebuild puts a new store in place of the old one, and a download written into the
// old one meanwhile would be lost from it. Recursive: a download may rebuild first.
std::recursive_mutex& storeWriters() {
    static std::recursive_mutex writers;
    return writers;
}

} // namespace

namespace {

// The rebuild, carrying over what the store at `oldStore` knows alone: the store in place,
// or one a download has just put aside as damaged.
// Whole: the rebuild's steps and their failures share the old store, the new one and the register.
RebuildResult rebuildFrom(const std::string& filesFolder, const std::string& oldStore,
                          const std::function<void(const std::string&)>& progress) {
    const std::lock_guard<std::recursive_mutex> turn(storeWriters());
    RebuildResult result;
    const std::string registerPath = filesFolder + kRegisterFileName;
    const std::string target = storePath(filesFolder);
    const std::string building = filesFolder + "series-rebuilding.sqlite";
    removeStore(building); // our own half-built store from a rebuild that did not end
    if (!exists(registerPath) && exists(target)) {
        // Without the register the kept downloads belong to no unit: the series would be
        // emptied, and it may be the one place their records are still put together.
        result.error = "the unit register " + registerPath +
                       " is missing: a rebuild would empty the series, which is left as it is";
        return result;
    }
    const auto serialsRead = registerSerials(registerPath);
    if (!serialsRead) {
        result.error = serialsRead.text();
        return result;
    }
    const std::vector<std::string>& serials = *serialsRead;
    // The kept downloads pruned before and the clock sets learnt: known to the new store too.
    const OldStore old = readOldStore(oldStore);
    if (oldStore == target && old.exists && !old.readable && !old.damaged) {
        // Held by another program, made by a newer one, or not this user's to read: not
        // damaged, so not ours to put aside or replace.
        result.error = "the series store cannot be read now (" + old.why +
                       "): a rebuild would replace it, so it is left as it is";
        return result;
    }
    const std::vector<PrunedDownload>& pruned = old.pruned;
    if (old.exists && !old.readable)
        result.learntNotCarried = "the store replaced could not be read (" + old.why +
                                  "): no clock sets learnt from the server were carried over";
    {
        SeriesStore store;
        if (auto opened = store.open(building); !opened) {
            result.error = opened.text();
            return result;
        }
        for (const PrunedDownload& p : pruned)
            if (auto noted = store.notePruned(p); !noted) {
                result.error = noted.text();
                return result;
            }
        std::map<std::string, std::vector<ClockFact>> learnt;
        for (const auto& [serial, set] : old.learnt)
            learnt[serial].push_back(set);
        for (const auto& [serial, sets] : learnt) {
            auto added = store.keepLearntClockSets(serial, sets);
            if (!added) {
                result.error = added.text();
                return result;
            }
            result.learntCarried += *added;
        }
        for (const std::string& serial : serials) {
            auto read = readRegisterFacts(registerPath, serial);
            if (!read) {
                result.error = read.text();
                return result;
            }
            RegisterFacts& facts = *read;
            std::stable_sort(facts.kept.begin(), facts.kept.end(),
                             [](const KeptDownload& a, const KeptDownload& b) {
                                 return a.startedMs < b.startedMs;
                             });
            for (const KeptDownload& kept : facts.kept) {
                const auto prunedHere =
                    std::find_if(pruned.begin(), pruned.end(), [&](const PrunedDownload& p) {
                        return p.serial == serial && p.path == kept.path;
                    });
                if (prunedHere != pruned.end() && !exists(kept.path)) {
                    result.pruned.push_back(*prunedHere);
                    continue;
                }
                const std::unique_ptr<DownloadRecords> download = readDownloadRecords(kept.path);
                if (!download->readable()) {
                    result.unreadable.push_back(download->error());
                    continue;
                }
                if (!seriesTakes(*download, kept.captured))
                    continue;
                const ApplyResult taken = store.apply(
                    {serial, kept.path, kept.startedMs, kept.safe}, *download, facts.facts);
                if (!taken.ok) {
                    result.error = taken.error;
                    return result;
                }
                ++result.downloads;
                if (progress)
                    progress(kept.path + ": " + taken.text());
                result.taken.emplace_back(kept.path, taken);
            }
        }
        result.series = store.list().size();
        store.close(); // the log is checkpointed into the file and removed
    }
    // A store in place that could not be read is kept aside; a readable one is replaced, its
    // log first: it must never be read as the new one's.
    if (oldStore == target && old.exists && !old.readable)
        result.keptAside = keepAside(filesFolder, target);
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        ::unlink((target + suffix).c_str());
    if (::rename(building.c_str(), target.c_str()) != 0) {
        result.error =
            "cannot put " + building + " in place of " + target + ": " + std::strerror(errno);
        return result;
    }
    // The new name is the store's only once its folder is on the disk.
    const std::string folder = filesFolder.empty() ? std::string(".") : filesFolder;
    if (!platform::syncFolder(folder)) {
        result.error = "the rebuilt series store is in place as " + target + ", but its folder " +
                       folder + " could not be synced (" + std::strerror(errno) +
                       "): a power cut now may lose it";
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace

RebuildResult rebuild(const std::string& filesFolder,
                      const std::function<void(const std::string&)>& progress) {
    return rebuildFrom(filesFolder, storePath(filesFolder), progress);
}

ApplyResult applyDownload(const std::string& filesFolder, const DownloadSets& sets,
                          const std::string& serial, const std::string& keptPath, bool safe) {
    const std::unique_ptr<DownloadRecords> download = downloadRecordsOf(sets);
    return applyDownload(filesFolder, *download, serial, keptPath, safe);
}

ApplyResult applyDownload(const std::string& filesFolder, DownloadRecords& download,
                          const std::string& serial, const std::string& keptPath, bool safe) {
    const std::lock_guard<std::recursive_mutex> turn(storeWriters());
    ApplyResult result;
    const std::string path = storePath(filesFolder);
    const std::string registerPath = filesFolder + kRegisterFileName;
    if (serial.empty()) {
        result.error = "the unit gave no serial number";
        return result;
    }
    // A rebuild below may take this very download (the register may have it already): then
    // what the rebuild said of it is the answer.
    RebuildResult rebuilt;
    // A store lost while kept downloads remain would start again from this one: built from
    // them first, so that nothing the series held is forgotten.
    if (!exists(path)) {
        const auto serials = registerSerials(registerPath);
        if (serials && !serials->empty()) {
            rebuilt = rebuild(filesFolder);
            if (!rebuilt.ok) {
                result.error =
                    "the series store was lost and could not be rebuilt: " + rebuilt.error;
                return result;
            }
        }
    }
    SeriesStore store;
    if (auto opened = store.open(path); !opened) {
        result.error = opened.text();
        if (opened.kind() != platform::ErrorKind::Corrupt)
            return result;
        // A damaged store is kept aside for a look, and made again from the facts, with what
        // can still be read of it carried over.
        const std::string aside = keepAside(filesFolder, path);
        rebuilt = rebuildFrom(filesFolder, aside, {});
        std::string notRebuilt = rebuilt.error;
        if (rebuilt.ok)
            if (auto reopened = store.open(path); !reopened)
                notRebuilt = reopened.text();
        if (!rebuilt.ok || !store.isOpen()) {
            result.error = "the series store was damaged (kept as " + aside +
                           ") and could not be rebuilt: " + notRebuilt;
            return result;
        }
    }
    // A store made by older rules is made again from the kept downloads by the rules of
    // now, once (the first download after the upgrade): the register's facts did not change.
    // Where it cannot be (no register beside it), the store as it is takes the download by
    // the rules of now.
    if (store.rulesVersion() < kRulesVersion) {
        store.close();
        rebuilt = rebuild(filesFolder);
        if (auto opened = store.open(path); !opened) {
            result.error = opened.text();
            return result;
        }
    }
    const auto facts = readRegisterFacts(registerPath, serial);
    if (!facts) {
        result.error = facts.text();
        return result;
    }
    result = store.apply({serial, keptPath, QDateTime::currentMSecsSinceEpoch(), safe}, download,
                         facts->facts);
    if (result.replayed)
        for (const auto& [kept, taken] : rebuilt.taken)
            if (kept == keptPath)
                return taken;
    return result;
}

} // namespace series
