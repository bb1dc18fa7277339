// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series store's tables and their migrations by `PRAGMA user_version`: 1 the series,
// segments, chunks and notes; 2 what of each segment is in the outbox; 3 what downloads said
// at disputed places, clock sets, pruned downloads, the rules' version; 4 the sets' title
// lines.

#include "series/series_store.h"

#include <string>

namespace series::detail {

inline constexpr int kSchemaVersion = 4;

// Brings the store of `db` from `version` (as read before the lock) to kSchemaVersion in one
// transaction (BEGIN IMMEDIATE): another program may have made or migrated it meanwhile, so
// the version is read again under the lock. False, with `db.error`, when it could not be
// done; the store is then as it was.
bool migrate(SeriesStore::Db& db, int version);

} // namespace series::detail
