// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the Units window and the main window show of the register, and the history as CSV:
// plain functions over the register's records, tested without a window.

#include "register/unit_register.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace unitreg {

// Texts shown in the windows.
QString serialText(const std::string& serial); // Latin-1, one character per byte
QString pathText(const std::string& path);     // as the file system names it
QString localTimeText(std::int64_t msSinceEpoch, bool withSeconds = false);
QString eventKindText(EventKind kind);
QString eventDetails(const UnitEvent& event);
// A download of a unit that gave no serial number, named this unit later (its event's id).
QString linkDetails(const QString& downloadId);
// A download's raw bytes as they were kept, by their size and SHA-256 (hex).
QString keptDownloadDetails(std::uint64_t size, const QString& sha256);
// "last downloaded 2026-11-03, complete"; "not downloaded yet" when none.
QString lastDownloadText(const std::optional<LastDownload>& last);
// The history as CSV (RFC 4180 quoting), one line per event, newest first, in UTF-8.
QByteArray historyCsv(const std::string& serial, const std::vector<UnitEvent>& events);
// The name Export CSV suggests: "XRQ<serial>-history.csv", each byte of the serial number
// that is not an ASCII letter or digit made "_" (it is the unit's own bytes).
QString historyFileName(const std::string& serial);
// Writes the history as CSV to `path`: beside it first, synced, renamed into place, then its
// folder synced, so that a failure leaves an earlier file of that name as it was. Empty when
// it is on the disk, else the words for the operator ("Cannot write <path>: <why>").
std::string writeHistoryCsv(const QString& path, const std::string& serial,
                            const std::vector<UnitEvent>& events);
// The folders holding a download's data files, each once, and the files no longer there.
struct FilesFolders {
    std::set<QString> folders; // each once, in the order a file manager is asked to show them
    QStringList missing;
};
FilesFolders filesFolders(const std::vector<std::string>& files);
// Why a download's files cannot be shown when none of them is there any more.
std::string noFilesText(const QStringList& missing);

} // namespace unitreg
