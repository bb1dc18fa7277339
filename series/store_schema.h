// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series store's tables and their migrations by `PRAGMA user_version`: 1 the series,
// segments, chunks and notes; 2 what of each segment is in the outbox; 3 what downloads said
// at disputed places, clock sets, pruned downloads, the rules' version; 4 the sets' title
// lines.

#include "series/series_store.h"

#include "storage/sqlite_store.h"

#include <string>
#include <vector>

namespace series::detail {

inline constexpr int kSchemaVersion = 4;

// The steps from each version to the next, for the storage kit, which runs the missing ones in
// one transaction (BEGIN IMMEDIATE, the version read again under the lock: another program
// may have migrated the file meanwhile), so a store is migrated whole or not at all.
// `settingsFolder`: fleet.ini's folder, whose laptop name the earlier records shared carry.
std::vector<storage::Step> migrationSteps(const std::string& settingsFolder);

} // namespace series::detail
