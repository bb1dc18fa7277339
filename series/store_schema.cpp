// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/store_schema.h"

#include "series/store_db.h"

#include "fleet/outbox.h"

#include <QSqlQuery>

#include <QVariant>
#include <functional>

namespace series::detail {

namespace {

const char* const kSchema[] = {
    "CREATE TABLE downloads(id INTEGER PRIMARY KEY, serial BLOB NOT NULL, at INTEGER NOT NULL,"
    " path BLOB NOT NULL, safe INTEGER NOT NULL)",
    "CREATE INDEX downloads_by_path ON downloads(serial, path)",
    "CREATE TABLE series(id INTEGER PRIMARY KEY, serial BLOB NOT NULL, name BLOB NOT NULL,"
    " ordinal INTEGER NOT NULL, usual_interval REAL NOT NULL DEFAULT 0,"
    " UNIQUE(serial, name, ordinal))",
    // confirmed: the records before it are confirmed, those after provisional.
    "CREATE TABLE segments(id INTEGER PRIMARY KEY, series_id INTEGER NOT NULL, seq INTEGER NOT"
    " NULL, records INTEGER NOT NULL, confirmed INTEGER NOT NULL, last_download_at INTEGER NOT"
    " NULL, UNIQUE(series_id, seq))",
    // The records `first` .. `first + count - 1` of a segment, all brought by one download.
    "CREATE TABLE chunks(id INTEGER PRIMARY KEY, segment_id INTEGER NOT NULL, first INTEGER NOT"
    " NULL, count INTEGER NOT NULL, bytes INTEGER NOT NULL, download_id INTEGER NOT NULL,"
    " utc_offset INTEGER, date_order INTEGER NOT NULL, data BLOB NOT NULL)",
    "CREATE UNIQUE INDEX chunks_by_place ON chunks(segment_id, first)",
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, series_id INTEGER NOT NULL, download_id INTEGER"
    " NOT NULL, segment INTEGER NOT NULL, record INTEGER NOT NULL, text TEXT NOT NULL)",
};

// Version 2: how many of a segment's records are in the outbox (always confirmed ones, from
// its start) and the chained hash after the last of them (series_share.h); the outbox's
// tables are made beside them, and every confirmed record of an older store is put in.
const char* const kSchema2[] = {
    "ALTER TABLE segments ADD COLUMN shared INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE segments ADD COLUMN shared_chain BLOB",
};

// Version 3: what each download said at a place where downloads said different records.
// `safe`: the download was called safe, or the record it said was confirmed by one.
const char* const kSchema3[] = {
    "CREATE TABLE versions(id INTEGER PRIMARY KEY, segment_id INTEGER NOT NULL, place INTEGER"
    " NOT NULL, download_id INTEGER NOT NULL, safe INTEGER NOT NULL, line BLOB NOT NULL)",
    "CREATE INDEX versions_by_place ON versions(segment_id, place)",
    // The unit's clock sets as the register had them at its last download taken: what a
    // reader of the series puts its records in UTC with (record_time.h's RecordClock).
    "CREATE TABLE clock_sets(serial BLOB NOT NULL, at INTEGER NOT NULL, utc_offset INTEGER,"
    " sent BLOB NOT NULL)",
    "CREATE INDEX clock_sets_by_unit ON clock_sets(serial)",
    // Kept downloads `xrq-series prune-kept --remove` removed, each wholly held by a later
    // safe one (`held_by`): a rebuild knows them as pruned, not as unreadable.
    "CREATE TABLE pruned(serial BLOB NOT NULL, path BLOB NOT NULL, held_by BLOB NOT NULL,"
    " UNIQUE(serial, path))",
    // "rules": the version whose rules made the series it holds (a store migrated from an
    // older one keeps the older one's until it is rebuilt).
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)",
};

// Version 4: each set's title line as each download brought it (download_text.h's
// namesColumns): the names of its columns, never a record.
const char* const kSchema4[] = {
    "CREATE TABLE IF NOT EXISTS titles(series_id INTEGER NOT NULL, download_id INTEGER NOT NULL,"
    " line BLOB NOT NULL, UNIQUE(series_id, download_id))",
};

} // namespace

std::vector<storage::Step> migrationSteps(const std::string& settingsFolder) {
    // A step's statements through the store's own connection object, so that the earlier
    // records' sharing (version 2) writes as a download does; its error is the step's.
    auto through =
        [settingsFolder](
            QSqlDatabase& handle,
            const std::function<bool(SeriesStore::Db&)>& work) -> platform::Result<void> {
        SeriesStore::Db db;
        db.db = handle;
        db.settingsFolder = settingsFolder;
        const bool ok = work(db);
        db.db = QSqlDatabase();
        if (ok)
            return {};
        return platform::makeError(platform::ErrorKind::Invalid,
                                   "the series' tables could not be made: " + db.error);
    };
    auto runAll = [](SeriesStore::Db& db, const auto& sql) {
        for (const char* statement : sql)
            if (!db.run(statement))
                return false;
        return true;
    };
    std::vector<storage::Step> steps(kSchemaVersion);
    steps[0] = [=](QSqlDatabase& handle, int) {
        return through(handle, [&](SeriesStore::Db& db) { return runAll(db, kSchema); });
    };
    // Every confirmed record of a store made before the outbox goes into it, once.
    steps[1] = [=](QSqlDatabase& handle, int) {
        return through(handle, [&](SeriesStore::Db& db) {
            if (!runAll(db, kSchema2))
                return false;
            if (auto created = fleet::Outbox::createTables(db.db); !created)
                return db.fail(created.error());
            return db.shareEarlier();
        });
    };
    // A store made now holds series of today's rules; one migrated keeps its older ones'
    // until it is rebuilt.
    steps[2] = [=](QSqlDatabase& handle, int found) {
        return through(handle, [&](SeriesStore::Db& db) {
            if (!runAll(db, kSchema3))
                return false;
            QSqlQuery r(db.db);
            r.prepare(QStringLiteral("INSERT INTO meta(key, value) VALUES('rules', ?)"));
            r.bindValue(0, found == 0 ? kRulesVersion : found);
            return db.exec(r);
        });
    };
    steps[3] = [=](QSqlDatabase& handle, int) {
        return through(handle, [&](SeriesStore::Db& db) { return runAll(db, kSchema4); });
    };
    return steps;
}

} // namespace series::detail
