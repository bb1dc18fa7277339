// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading the organisation's record back: a unit's history as the server holds it, every
// laptop's facts together, each marked with the laptop that recorded it. Blocking, with a
// deadline: run it off the UI thread (the Units window asks from a worker and shows the
// local history, saying so, when this fails).

#include "fleet/pg_connection.h"
#include "fleet/server_values.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace fleet {

struct HistoryEntry {
    QString id;
    QString kind;                // the event's type ("visit", ...) or "kept_download"
    std::int64_t occurredAt = 0; // ms, the recording laptop's clock
    std::int64_t receivedAt = 0; // ms, the server's clock
    QString laptop;
    QString laptopId;         // its UUID; empty for a laptop that pushed before identities
    bool otherLaptop = false; // recorded by a laptop other than this one
    QJsonObject payload;
};

struct ServerHistory {
    bool ok = false;
    QString message;                   // why not, for the operator
    std::vector<HistoryEntry> entries; // newest first
    bool more = false;                 // the server holds older ones than these
    QString leftOut;    // what was left out (fleet/laptop_roles.h's disownedNote); empty if none
    UnreadFacts unread; // entries skipped: a time or payload not readable
};

// `stopFd`: a descriptor that becomes readable when the read must end at once (-1: none).
// `most`: at most this many of the newest entries (0: all), `more` telling of the rest.
ServerHistory readUnitHistory(const std::string& conninfo, const QString& unit,
                              const QString& thisLaptop,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5),
                              int stopFd = -1, int most = 0);

// This laptop as the server tells it apart: its UUID (fleet/laptop_identity.h), and its name
// for the rows of laptops that pushed before identities (their laptop_id is empty).
struct LaptopSelf {
    QString id;
    QString name;
};

// The last record, per data set and segment, that another laptop pushed of `unit`, from a
// laptop with a safe download of it on the server (Clear Memory asks before it clears which
// of them this laptop holds: other_laptops.h). Only confirmed records are shared, and only a
// safe download confirms: an incomplete or unsafe download brings none here.
struct OtherRecord {
    QString dataSet;
    std::int64_t segment = 0;
    std::int64_t position = 0;
    QString chainHash;
    QString line;   // the record's bytes, Latin-1 as text
    QString laptop; // the name of the laptop that pushed it
};
struct OtherRecords {
    bool ok = false;
    QString message; // why not, for the operator
    std::vector<OtherRecord> records;
    UnreadFacts unread;
};
OtherRecords otherLaptopsRecords(const std::string& conninfo, const QString& unit,
                                 const LaptopSelf& self, std::chrono::milliseconds timeout,
                                 int stopFd = -1);

// When the server received a fact: its received_at (ms, the server's clock) and its arrival
// within its table. What orders the laptops' facts where they disagree, never their clocks.
struct ServerSeen {
    std::int64_t receivedMs = 0;
    std::int64_t arrival = 0;
    friend bool operator<(const ServerSeen& a, const ServerSeen& b) {
        return a.receivedMs != b.receivedMs ? a.receivedMs < b.receivedMs : a.arrival < b.arrival;
    }
};

// One series record as the server holds it.
struct ServerSeriesRecord {
    // Its laptop's segment and position: what orders it on that laptop, never its key.
    std::int64_t segment = 0;
    std::int64_t position = 0;
    // Its identity (series/series_share.h); in an older version's rows of
    // xrq.series_records, the hash chained over its segment, or the identity.
    QString chainHash;
    // How many records before it in its laptop's segment have its identity, and the
    // identity and occurrence of the record before it there (empty at its segment's start):
    // with the unit, data set and identity, its key (xrq.series_facts).
    std::int64_t occurrence = 0;
    QString after;
    std::int64_t afterOccurrence = 0;
    QString laptop;
    QString laptopId;            // the laptop's UUID, where it pushed one
    std::int64_t occurredAt = 0; // ms: the download that confirmed it, by its laptop's clock
    ServerSeen seen;
    QJsonObject payload;
    QString pushedBy; // "role NAME": the server's role that pushed it, where read
};

// A clock set of the unit, as any laptop recorded it (the events of kind "clock_set").
struct ServerClockSet {
    std::int64_t atMs = 0;
    QString sent; // the clock text sent (Latin-1)
    std::optional<int> utcOffsetSeconds;
};

struct ServerSeries {
    bool ok = false;
    QString message; // why not, for the operator
    // xrq.series_facts' rows, in the order the server received them.
    std::vector<ServerSeriesRecord> records;
    // xrq.series_records' rows (older versions', by their places), by segment, position, then
    // arrival.
    std::vector<ServerSeriesRecord> byPlace;
    std::vector<ServerClockSet> clockSets; // the unit's, every laptop's, oldest first
    QString leftOut;    // what was left out (fleet/laptop_roles.h's disownedNote); empty if none
    UnreadFacts unread; // rows skipped: a value of theirs not readable
    UnreadFacts clockSetsUnread; // the unit's clock sets skipped
};

// The records of one unit's data set (fact.h's RecordKey::dataSet), every laptop's together.
ServerSeries readSeriesRecords(const std::string& conninfo, const QString& unit,
                               const QString& dataSet,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60));
// The same on a connection already open, its schema checked (the office's kept ones).
ServerSeries readSeriesRecords(PgConnection& connection, const QString& unit,
                               const QString& dataSet,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The unit's clock sets as every laptop recorded them, oldest first.
struct ServerClockSets {
    bool ok = false;
    QString message; // why not, for the operator
    std::vector<ServerClockSet> clockSets;
    UnreadFacts unread;
};
ServerClockSets readUnitClockSets(const std::string& conninfo, const QString& unit,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A unit as the server knows it: every laptop's facts of it together.
struct ServerUnit {
    QString unit;              // the fact's unit: the serial number as Latin-1 text
    std::int64_t lastSeen = 0; // ms, its newest fact by the recording laptops' clocks
    std::int64_t visits = 0;
    int laptops = 0; // how many laptops recorded facts of it
};

struct ServerUnits {
    bool ok = false;
    QString message;               // why not, for the operator
    std::vector<ServerUnit> units; // by unit
    UnreadFacts unread;            // units skipped: a count of theirs not readable
    QString leftOut; // what was left out (fleet/laptop_roles.h's disownedNote); empty if none
};

// Every unit any laptop recorded (the server's xrq.units view).
ServerUnits readUnits(const std::string& conninfo,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5), int stopFd = -1);

// "visit" or "visit (laptop-b)" for another laptop's fact.
QString historyLabel(const HistoryEntry& entry);

} // namespace fleet
