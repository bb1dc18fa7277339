// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The register's events as facts for the organisation's server (fleet/fact.h), and their
// place in the register's outbox. UnitRegister calls these inside the transaction that writes
// the event, so an event is recorded and waiting to be shared, or neither. They are written
// whether or not sharing is switched on: events recorded before it are pushed once it is.
//
// The unit of a fact is the serial number as Latin-1 text; a unit that gave none goes under
// kNoSerialUnit (longer than any serial number, so it names no real unit). Each fact's
// occurred_at is the event's time; paths travel as information in the payload.

#include "register/unit_register.h"

#include "fleet/fact.h"
#include "fleet/sharing_sources.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

namespace unitreg {

inline constexpr const char* kNoSerialUnit = "(no serial number)";

// The unit's name on the server.
QString factUnit(const std::string& serial);

// A row of the downloads table as the register keeps it: `q` at a row that selected
// kDownloadColumns from its column `first` on (the serial, files, sets and identity are the
// caller's). One reading for the history and for the outbox's first filling.
inline constexpr const char* kDownloadColumns =
    "d.started, d.ended, d.bytes, d.sets, d.complete, d.why, d.verified, d.kept_file, d.port,"
    " d.reasons, d.line_errors";
Download downloadOfRow(const QSqlQuery& q, int first);

fleet::Fact visitFact(const Visit& v, const std::string& id, const QString& laptop);
fleet::Fact batteryFact(const BatteryReading& r, const std::string& id, const QString& laptop);
fleet::Fact clockSetFact(const ClockSet& c, const std::string& id, const QString& laptop);
fleet::Fact downloadFact(const Download& d, const std::string& id, const QString& laptop);
fleet::Fact clearFact(const Clear& c, const std::string& id, const QString& laptop);
fleet::Fact linkFact(const Identification& i, const std::string& id, const QString& laptop);
fleet::Fact judgedAgainFact(const JudgedAgain& j, const std::string& id, const QString& laptop);

// The other way: a register event's fact (its type and payload, as the functions above write
// them, on this laptop or another) read back into the event the history shows. Missing or
// mistyped keys read as an empty field (another laptop's program may be older or newer).
// nullopt for a type that is no register event ("link", or one this program does not know).
// The payload is another laptop's text: what it lists is cut at kFactListMost items.
inline constexpr int kFactListMost = 50;
std::optional<UnitEvent> eventOfFact(const QString& type, const QJsonObject& payload,
                                     std::int64_t occurredAt);

// The kept raw download's fact (its SHA-256 and size, read from the file now); nullopt when
// the download kept no file or the file cannot be read (the download's own fact still goes).
std::optional<fleet::Fact> keptFact(const Download& d, const std::string& id,
                                    const QString& laptop);

// Enqueues every event of a register written before it had an outbox, once, inside the
// migration's transaction: events without an identity (files from before identities) get
// one first. An error (a full disk, a lock: kinds that pass; Internal: a fault) leaves the
// migration to roll back.
platform::Result<void> enqueueEarlierEvents(QSqlDatabase& db, const QString& laptop);

// The register's part of what sharing reads (fleet/sharing_sources.h): the requeuer of the
// files that have a "visits" table. Beside the series' (series::sharingSources) in each
// program's start.
void addSharingSources(fleet::SharingSources& sources);

} // namespace unitreg
