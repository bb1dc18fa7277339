// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A fact: something that happened on a laptop (a register event, a series record, a kept
// download), as it is shared with the organisation's server. A fact never changes once
// written; its identity makes sending it again anywhere harmless:
// - an event (visit, battery reading, clock set, download, clear, link) and a kept download
//   carry the random UUID the event got when it happened;
// - a site fact a laptop records at a visit (a field note, a deployment, a removal:
//   fleet/site_facts.h) carries the UUID it got when it was recorded;
// - a series record is identified by what it is: its unit, data set, segment, position and
//   the hash chained over the records before it, so two laptops holding the same records
//   send the same identities and the server keeps them once.
// Serial numbers are Latin-1 text here (one character per byte, as the windows show them).

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace fleet {

enum class FactKind { Event, Record, KeptDownload, Site };

// The kind as the outbox stores it ("event", "record", "kept_download", "site").
QString kindName(FactKind kind);
std::optional<FactKind> kindFromName(const QString& name);

struct RecordKey {
    QString dataSet;
    std::int64_t segment = 0;
    std::int64_t position = 0;
};

struct Fact {
    FactKind kind = FactKind::Event;
    // Event and KeptDownload: the UUID in its text form; Record: the chained hash (hex).
    QString identity;
    QString unit;
    // Event: "visit", "battery", "clock_set", "download", "clear", "link"; Site: the site
    // fact's kind ("note", "deployment", "removal"); else empty.
    QString type;
    RecordKey record; // Record only
    QJsonObject payload;
    std::int64_t occurredAt = 0; // milliseconds since the epoch, by the laptop's clock
    QString laptop;
};

// A new random (version 4) UUID, lower case, without braces.
QString newFactId();

Fact eventFact(const QString& id, const QString& unit, const QString& type,
               const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop);
Fact recordFact(const QString& unit, const RecordKey& key, const QString& chainHash,
                const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop);
// A kept raw download: the download event's UUID, its SHA-256 (hex) and size; its path on
// this laptop goes along as information only (the pusher reads the bytes from it when the
// server takes them).
Fact keptDownloadFact(const QString& downloadId, const QString& unit, const QString& sha256Hex,
                      std::int64_t size, const QString& localPath, std::int64_t occurredAt,
                      const QString& laptop);

// A site fact of `siteKind` ("note", "deployment", "removal") whose payload is what
// xrq.site_facts takes; `unit` is the unit it is about (empty for a note about a site).
Fact siteFact(const QString& id, const QString& siteKind, const QString& unit,
              const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop);

// Why the fact cannot be shared (no identity, a malformed UUID or hash, no laptop...), or
// empty when it can.
QString invalidReason(const Fact& fact);

// The payload as the outbox keeps it: compact JSON, keys in order, UTF-8.
QByteArray payloadText(const QJsonObject& payload);
// The same, appended to `out`.
void appendPayload(QByteArray& out, const QJsonObject& payload);
// `s` as a JSON string, appended to `out` (UTF-8).
void appendJsonString(QByteArray& out, const QString& s);

} // namespace fleet
