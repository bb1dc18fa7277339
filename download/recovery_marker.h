// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recovery marker of a conversion under way: one file per conversion in
// <files folder>conversions-pending/, naming the download being converted (its kept copy, or
// the intermediate file when no whole copy was kept) and the data folder it goes into. The
// process that converts holds an exclusive flock on its marker for as long as the conversion
// runs and removes the marker when it has ended; the kernel drops the lock when that process
// dies, however it dies. So a marker whose lock can be taken was left by a conversion that
// did not end: it is offered once, into its own data folder. A marker another process holds
// belongs to a conversion still running there, and is never touched.
//
// A marker becomes visible only complete and locked: it is written and synced under a name
// beginning with "." (which readers pass over), locked before its first byte, then linked
// under its real name. UI thread (any thread: nothing here is shared).
//
// Versions before this one kept a single <files folder>conversion-pending.txt holding the
// download's path alone; one left behind is still offered (into the current data folder).

#include <optional>
#include <string>
#include <vector>

namespace download {

// The marker's folder under the files folder (ending in "/").
std::string pendingConversionsFolder(const std::string& filesFolder);

// What a marker says.
struct PendingConversion {
    std::string download;   // the file whose bytes are to be converted
    std::string dataPrefix; // where the data files go; empty for an old version's marker
    long process = 0;       // the process that wrote it (0: unknown)
    std::string started;    // local time the conversion began ("yyyy-MM-dd HH:mm:ss")
};

// The text of a marker, and back. A path may hold any byte but NUL: '\' and line ends are
// escaped. Parsing is empty when the text is no complete marker.
std::string markerText(const PendingConversion& pending);
std::optional<PendingConversion> parseMarkerText(const std::string& text);

// A marker this process holds while its conversion runs. Move-only; the destructor removes
// the marker (as clear() does).
class ConversionMarker {
public:
    ConversionMarker() = default;
    ~ConversionMarker();
    ConversionMarker(ConversionMarker&& other) noexcept;
    ConversionMarker& operator=(ConversionMarker&& other) noexcept;
    ConversionMarker(const ConversionMarker&) = delete;
    ConversionMarker& operator=(const ConversionMarker&) = delete;

    // Writes, syncs and locks the marker of converting `download` into `dataPrefix`. Not
    // held() when it could not be made durable (`why` says why); the conversion may still
    // run, it is only not recoverable after a crash.
    static ConversionMarker begin(const std::string& filesFolder, const std::string& download,
                                  const std::string& dataPrefix, std::string* why = nullptr);

    bool held() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    // The conversion has ended (whatever its outcome): the marker is removed, its folder
    // synced, and the lock dropped.
    void clear();

private:
    int m_fd = -1;
    std::string m_path;
};

// A marker left by a conversion that did not end, locked by this process while the object
// lives (so that no other instance offers it meanwhile). Several markers naming the same
// download into the same folder (a recovery that was itself cut short) are one orphan.
class OrphanedConversion {
public:
    OrphanedConversion() = default;
    ~OrphanedConversion(); // unlocks; the markers stay for the next start
    OrphanedConversion(OrphanedConversion&& other) noexcept;
    OrphanedConversion& operator=(OrphanedConversion&& other) noexcept;
    OrphanedConversion(const OrphanedConversion&) = delete;
    OrphanedConversion& operator=(const OrphanedConversion&) = delete;

    const PendingConversion& pending() const { return m_pending; }
    bool legacy() const { return m_legacy; }
    // Offered and answered (converted or declined): its markers are removed for good.
    void dismiss();

private:
    friend std::vector<OrphanedConversion> orphanedConversions(const std::string& filesFolder);
    PendingConversion m_pending;
    bool m_legacy = false;
    std::vector<std::pair<int, std::string>> m_markers; // locked descriptor, path
};

// Every marker under the files folder that no running process holds, the old version's file
// included, oldest first. Markers that are no complete marker and no one holds (a process
// that died while writing one) are removed.
std::vector<OrphanedConversion> orphanedConversions(const std::string& filesFolder);

} // namespace download
