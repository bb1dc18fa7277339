// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A seam under SQLite for the register's tests: a file-system layer (an SQLite VFS, made the
// default, over the real one) that fails the next writes or syncs with the code a test asks
// for, as a failing disk, a full disk or a lost sync would. Qt's SQLite driver uses the same
// libsqlite3 as the tests, so the register meets the failures exactly as SQLite reports them.
// Unarmed it passes every call through.

#include <string>

namespace faultvfs {

// Installs the layer once (idempotent).
void install();
// The next `count` writes to any database file fail with `code` (SQLITE_IOERR_WRITE,
// SQLITE_FULL); 0 disarms.
void failWrites(int count, int code);
// The next `count` reads fail with `code` (SQLITE_CORRUPT: a page that came back garbled
// once).
void failReads(int count, int code);
// The next `count` syncs fail with SQLITE_IOERR_FSYNC.
void failSyncs(int count);
int failedSoFar();

// The journal mode the database file at `path` keeps ("wal", "delete"...), read through a
// connection of its own; empty when it cannot be read.
std::string journalModeOf(const std::string& path);

} // namespace faultvfs
