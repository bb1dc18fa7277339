// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the Units window and the main window show of the register, and the history as CSV:
// plain functions over the register's records, tested without a window.

#include "register/unit_register.h"

#include <QByteArray>
#include <QString>

#include <optional>
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

} // namespace unitreg
