// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_outbox.h"

#include "register/register_texts.h"

#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"
#include "platform/durable_file.h"
#include "storage/sqlite_store.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <map>
#include <set>

namespace unitreg {

namespace {

// Bytes the unit sent (its serial number, a reply, a data set's name): one character each,
// a NUL as U+2400 (the symbol for it): the server's JSON (jsonb) holds no U+0000 and refuses
// the whole fact for one (SQLSTATE 22P05), as a line noise's NUL in a battery answer did.
QString latin1(const std::string& bytes) {
    QString text = serialText(bytes);
    text.replace(QChar(0), QChar(0x2400));
    return text;
}

QJsonValue portValue(int port) {
    return port > 0 ? QJsonValue(port) : QJsonValue(QJsonValue::Null);
}

fleet::Fact event(const std::string& id, const std::string& serial, const char* type,
                  const QJsonObject& payload, std::int64_t at, const QString& laptop) {
    return fleet::eventFact(QString::fromStdString(id), factUnit(serial), QString::fromLatin1(type),
                            payload, at, laptop);
}

} // namespace

QString factUnit(const std::string& serial) {
    return serial.empty() ? QString::fromLatin1(kNoSerialUnit) : latin1(serial);
}

fleet::Fact visitFact(const Visit& v, const std::string& id, const QString& laptop) {
    return event(id, v.serial, "visit",
                 {{QStringLiteral("port"), portValue(v.port)},
                  {QStringLiteral("device"), pathText(v.device)}},
                 v.at, laptop);
}

fleet::Fact batteryFact(const BatteryReading& r, const std::string& id, const QString& laptop) {
    return event(id, r.serial, "battery",
                 {{QStringLiteral("volts"), r.volts},
                  {QStringLiteral("celsius"), r.celsius},
                  {QStringLiteral("reply"), latin1(r.reply)}},
                 r.at, laptop);
}

fleet::Fact clockSetFact(const ClockSet& c, const std::string& id, const QString& laptop) {
    return event(
        id, c.serial, "clock_set",
        {{QStringLiteral("sent"), latin1(c.sent)},
         {QStringLiteral("utc_offset"),
          c.utcOffsetSeconds ? QJsonValue(*c.utcOffsetSeconds) : QJsonValue(QJsonValue::Null)},
         {QStringLiteral("time_zone"), QString::fromStdString(c.timeZone)}},
        c.at, laptop);
}

fleet::Fact downloadFact(const Download& d, const std::string& id, const QString& laptop) {
    QJsonArray reasons, files, sets;
    for (const std::string& r : d.reasons)
        reasons.append(QString::fromUtf8(r.data(), static_cast<qsizetype>(r.size())));
    for (const std::string& f : d.files)
        files.append(pathText(f));
    for (const Download::SetLines& s : d.setLines)
        sets.append(QJsonObject{{QStringLiteral("name"), latin1(s.name)},
                                {QStringLiteral("lines"), s.lines}});
    return event(id, d.serial, "download",
                 {{QStringLiteral("started"), static_cast<qint64>(d.started)},
                  {QStringLiteral("ended"), static_cast<qint64>(d.ended)},
                  {QStringLiteral("bytes"), static_cast<qint64>(d.bytes)},
                  {QStringLiteral("sets"), d.sets},
                  {QStringLiteral("complete"), d.complete},
                  {QStringLiteral("why"), QString::fromLocal8Bit(d.why.c_str())},
                  {QStringLiteral("verified"), d.verified},
                  {QStringLiteral("safe"), d.verified && d.reasons.empty()},
                  {QStringLiteral("reasons"), reasons},
                  {QStringLiteral("set_lines"), sets},
                  {QStringLiteral("line_errors"), QString::fromStdString(d.lineErrors)},
                  {QStringLiteral("files"), files},
                  {QStringLiteral("kept_file"), pathText(d.keptFile)},
                  {QStringLiteral("port"), portValue(d.port)}},
                 d.started, laptop);
}

fleet::Fact clearFact(const Clear& c, const std::string& id, const QString& laptop) {
    return event(id, c.serial, "clear", {{QStringLiteral("confirmed"), c.confirmed}}, c.at, laptop);
}

fleet::Fact linkFact(const Identification& i, const std::string& id, const QString& laptop) {
    return event(id, i.serial, "link",
                 {{QStringLiteral("download"), QString::fromStdString(i.downloadId)}}, i.at,
                 laptop);
}

fleet::Fact judgedAgainFact(const JudgedAgain& j, const std::string& id, const QString& laptop) {
    QJsonArray reasons;
    for (const std::string& r : j.reasons)
        reasons.append(QString::fromUtf8(r.data(), static_cast<qsizetype>(r.size())));
    return event(id, j.serial, "judged_again",
                 {{QStringLiteral("download"), QString::fromStdString(j.downloadId)},
                  {QStringLiteral("download_started"), qint64(j.downloadStarted)},
                  {QStringLiteral("verified"), false},
                  {QStringLiteral("reasons"), reasons}},
                 j.at, laptop);
}

namespace {

std::string latin1Bytes(const QJsonValue& v) {
    return v.toString().toLatin1().toStdString();
}

std::string localBytes(const QJsonValue& v) {
    return v.toString().toLocal8Bit().toStdString();
}

std::string pathBytes(const QJsonValue& v) {
    return QFile::encodeName(v.toString()).toStdString();
}

int portOf(const QJsonValue& v) {
    return v.isDouble() && v.toInt() > 0 ? v.toInt() : -1;
}

template <class F> void eachOf(const QJsonValue& v, F&& each) {
    const QJsonArray list = v.toArray();
    for (qsizetype i = 0; i < std::min<qsizetype>(list.size(), kFactListMost); ++i)
        each(list.at(i));
}

} // namespace

std::optional<UnitEvent> eventOfFact(const QString& type, const QJsonObject& p,
                                     std::int64_t occurredAt) {
    UnitEvent e;
    e.at = occurredAt;
    if (type == QLatin1String("visit")) {
        e.kind = EventKind::Visit;
        e.port = portOf(p.value(QLatin1String("port")));
        e.device = pathBytes(p.value(QLatin1String("device")));
    } else if (type == QLatin1String("battery")) {
        e.kind = EventKind::Battery;
        e.volts = p.value(QLatin1String("volts")).toDouble();
        e.celsius = p.value(QLatin1String("celsius")).toDouble();
        e.reply = latin1Bytes(p.value(QLatin1String("reply")));
    } else if (type == QLatin1String("clock_set")) {
        e.kind = EventKind::ClockSet;
        e.sent = latin1Bytes(p.value(QLatin1String("sent")));
    } else if (type == QLatin1String("download")) {
        e.kind = EventKind::Download;
        Download& d = e.download;
        d.started = p.value(QLatin1String("started")).toInteger(occurredAt);
        d.ended = p.value(QLatin1String("ended")).toInteger();
        d.bytes = std::uint64_t(std::max<qint64>(0, p.value(QLatin1String("bytes")).toInteger()));
        d.sets = p.value(QLatin1String("sets")).toInt();
        d.complete = p.value(QLatin1String("complete")).toBool();
        d.why = localBytes(p.value(QLatin1String("why")));
        d.verified = p.value(QLatin1String("verified")).toBool();
        eachOf(p.value(QLatin1String("reasons")),
               [&](const QJsonValue& r) { d.reasons.push_back(r.toString().toStdString()); });
        eachOf(p.value(QLatin1String("set_lines")), [&](const QJsonValue& s) {
            const QJsonObject set = s.toObject();
            d.setLines.push_back({latin1Bytes(set.value(QLatin1String("name"))),
                                  set.value(QLatin1String("lines")).toInt()});
        });
        d.lineErrors = p.value(QLatin1String("line_errors")).toString().toStdString();
        eachOf(p.value(QLatin1String("files")),
               [&](const QJsonValue& f) { d.files.push_back(pathBytes(f)); });
        d.keptFile = pathBytes(p.value(QLatin1String("kept_file")));
        d.port = portOf(p.value(QLatin1String("port")));
    } else if (type == QLatin1String("clear")) {
        e.kind = EventKind::Clear;
        e.confirmed = p.value(QLatin1String("confirmed")).toBool();
    } else if (type == QLatin1String("judged_again")) {
        e.kind = EventKind::JudgedAgain;
        e.download.id = p.value(QLatin1String("download")).toString().toStdString();
        e.download.started = p.value(QLatin1String("download_started")).toInteger();
        eachOf(p.value(QLatin1String("reasons")), [&](const QJsonValue& r) {
            e.download.reasons.push_back(r.toString().toStdString());
        });
    } else {
        return std::nullopt;
    }
    return e;
}

std::optional<fleet::Fact> keptFact(const Download& d, const std::string& id,
                                    const QString& laptop) {
    if (d.keptFile.empty())
        return std::nullopt;
    QFile file(pathText(d.keptFile));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QCryptographicHash sha(QCryptographicHash::Sha256);
    if (!sha.addData(&file))
        return std::nullopt;
    return fleet::keptDownloadFact(QString::fromStdString(id), factUnit(d.serial),
                                   QString::fromLatin1(sha.result().toHex()), file.size(),
                                   file.fileName(), std::max(d.started, d.ended), laptop);
}

namespace {

std::string bytesOf(const QVariant& v) {
    return v.toByteArray().toStdString();
}

struct Reader {
    QSqlDatabase& db;
    std::string& why;
    // What `why` tells, in kind: SQLite's (a full disk, a lock), else a fault of ours.
    platform::ErrorKind kind = platform::ErrorKind::Internal;
    // When given, only these facts (kind, identity) are put in the outbox.
    const std::set<std::pair<fleet::FactKind, QString>>* only = nullptr;

    bool failed(const QSqlQuery& q) {
        kind = storage::kindOf(q.lastError());
        why = "the register's earlier events were not put in its outbox: " +
              q.lastError().text().toStdString();
        return false;
    }

    bool put(const fleet::Fact& fact) {
        if (only && !only->count({fact.kind, fact.identity}))
            return true;
        auto queued = fleet::Outbox::enqueue(db, fact);
        if (queued)
            return true;
        // A fact that cannot be shared is no SQLite failure: a fault of ours.
        if (queued.kind() != platform::ErrorKind::Invalid)
            kind = queued.kind();
        why = queued.text();
        return false;
    }

    // Gives every row of `table` without an identity one made from what the row is (its
    // table, row number, unit and time: a name-based UUID, version 5), so that every copy of
    // one older register (a restored backup, a cloned disk) gives its events the same
    // identities, and the server keeps each once.
    bool identify(const char* table) {
        static const QUuid kSpace = QUuid::fromString(u"6c1b2a3e-45a1-4e0b-9b45-0d6f1c2e7a45");
        const QLatin1String name(table);
        const QLatin1String time(name == QLatin1String("downloads") ? "started" : "at");
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT t.id, u.serial, t.%2 FROM %1 t JOIN units u ON "
                                   "u.id = t.unit_id WHERE t.event_id IS NULL")
                        .arg(name, time)))
            return failed(q);
        std::vector<std::pair<qint64, QString>> rows;
        while (q.next()) {
            const QByteArray what =
                QByteArray(table) + '\0' + QByteArray::number(q.value(0).toLongLong()) + '\0' +
                q.value(1).toByteArray() + '\0' + QByteArray::number(q.value(2).toLongLong());
            rows.emplace_back(q.value(0).toLongLong(),
                              QUuid::createUuidV5(kSpace, what).toString(QUuid::WithoutBraces));
        }
        QSqlQuery u(db);
        u.prepare(
            QStringLiteral("UPDATE %1 SET event_id = ? WHERE id = ?").arg(QLatin1String(table)));
        for (const auto& [row, id] : rows) {
            u.bindValue(0, id);
            u.bindValue(1, row);
            if (!u.exec())
                return failed(u);
        }
        return true;
    }

    // Runs `sql` and calls `each` per row; false when it failed or `each` did.
    template <class F> bool rows(const char* sql, F&& each) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QString::fromLatin1(sql)))
            return failed(q);
        while (q.next())
            if (!each(q))
                return false;
        return true;
    }
};

} // namespace

namespace {

bool enqueueEvents(Reader& r, const QString& laptop) {
    // Each table in the order its events were written.
    if (!r.rows("SELECT v.event_id, u.serial, v.at, v.port, v.device FROM visits v"
                " JOIN units u ON u.id = v.unit_id ORDER BY v.id",
                [&](QSqlQuery& q) {
                    Visit v{bytesOf(q.value(1)), q.value(2).toLongLong(),
                            q.value(3).isNull() ? -1 : q.value(3).toInt(), bytesOf(q.value(4))};
                    return r.put(visitFact(v, q.value(0).toString().toStdString(), laptop));
                }))
        return false;
    if (!r.rows("SELECT b.event_id, u.serial, b.at, b.volts, b.celsius, b.reply FROM battery b"
                " JOIN units u ON u.id = b.unit_id ORDER BY b.id",
                [&](QSqlQuery& q) {
                    BatteryReading b{bytesOf(q.value(1)), q.value(2).toLongLong(),
                                     q.value(3).toDouble(), q.value(4).toDouble(),
                                     bytesOf(q.value(5))};
                    return r.put(batteryFact(b, q.value(0).toString().toStdString(), laptop));
                }))
        return false;
    if (!r.rows("SELECT c.event_id, u.serial, c.at, c.sent, c.utc_offset, c.time_zone"
                " FROM clock_sets c JOIN units u ON u.id = c.unit_id ORDER BY c.id",
                [&](QSqlQuery& q) {
                    ClockSet c{bytesOf(q.value(1)), q.value(2).toLongLong(), bytesOf(q.value(3)),
                               q.value(4).isNull() ? std::nullopt
                                                   : std::optional<int>(q.value(4).toInt()),
                               q.value(5).toString().toStdString()};
                    return r.put(clockSetFact(c, q.value(0).toString().toStdString(), laptop));
                }))
        return false;
    std::map<qint64, std::vector<std::string>> files;
    std::map<qint64, std::vector<Download::SetLines>> sets;
    if (!r.rows("SELECT download_id, path FROM download_files ORDER BY download_id, seq",
                [&](QSqlQuery& q) {
                    files[q.value(0).toLongLong()].push_back(bytesOf(q.value(1)));
                    return true;
                }) ||
        !r.rows(
            "SELECT download_id, name, lines FROM download_sets ORDER BY download_id, seq",
            [&](QSqlQuery& q) {
                sets[q.value(0).toLongLong()].push_back({bytesOf(q.value(1)), q.value(2).toInt()});
                return true;
            }))
        return false;
    const std::string downloads =
        std::string("SELECT d.event_id, u.serial, d.id, ") + kDownloadColumns +
        " FROM downloads d JOIN units u ON u.id = d.unit_id ORDER BY d.id";
    if (!r.rows(downloads.c_str(), [&](QSqlQuery& q) {
            Download d = downloadOfRow(q, 3);
            d.serial = bytesOf(q.value(1));
            d.files = std::move(files[q.value(2).toLongLong()]);
            d.setLines = std::move(sets[q.value(2).toLongLong()]);
            const std::string id = q.value(0).toString().toStdString();
            if (!r.put(downloadFact(d, id, laptop)))
                return false;
            const auto kept = keptFact(d, id, laptop);
            return !kept || r.put(*kept);
        }))
        return false;
    if (!r.rows("SELECT c.event_id, u.serial, c.at, c.confirmed FROM clears c"
                " JOIN units u ON u.id = c.unit_id ORDER BY c.id",
                [&](QSqlQuery& q) {
                    Clear c{bytesOf(q.value(1)), q.value(2).toLongLong(), q.value(3).toInt() != 0};
                    return r.put(clearFact(c, q.value(0).toString().toStdString(), laptop));
                }))
        return false;
    return r.rows("SELECT i.event_id, i.download_event, u.serial, i.at FROM identifications i"
                  " JOIN units u ON u.id = i.unit_id ORDER BY i.id",
                  [&](QSqlQuery& q) {
                      Identification i{q.value(0).toString().toStdString(),
                                       q.value(1).toString().toStdString(), bytesOf(q.value(2)),
                                       q.value(3).toLongLong()};
                      return r.put(linkFact(i, i.id, laptop));
                  });
}

// The register's requeuer of the facts an older program noted as refused (fleet/outbox.h):
// they are made again from the events, as the register writes them. On the pusher's thread,
// on its connection.
platform::Result<void> queueRefusedEvents(QSqlDatabase& db,
                                          const std::vector<fleet::Outbox::Refused>& refused) {
    std::set<std::pair<fleet::FactKind, QString>> only;
    for (const fleet::Outbox::Refused& f : refused)
        only.insert({f.kind, f.identity});
    std::string text;
    Reader r{db, text, platform::ErrorKind::Internal, &only};
    const QString laptop =
        fleet::readFleetSettings(
            platform::folderOf(QFile::encodeName(db.databaseName()).toStdString()) + "/")
            .laptop;
    if (enqueueEvents(r, laptop))
        return {};
    return platform::makeError(r.kind, text);
}

} // namespace

void addSharingSources(fleet::SharingSources& sources) {
    sources.requeuers.emplace(QStringLiteral("visits"), queueRefusedEvents);
}

platform::Result<void> enqueueEarlierEvents(QSqlDatabase& db, const QString& laptop) {
    std::string why;
    Reader r{db, why};
    bool ok = true;
    for (const char* table : {"visits", "battery", "clock_sets", "downloads", "clears"})
        ok = ok && r.identify(table);
    if (ok && enqueueEvents(r, laptop))
        return {};
    // SQLite's own failures by their kind (a full disk, a lock: tried again); anything else is
    // a fault of ours, told as it is.
    return platform::makeError(
        r.kind == platform::ErrorKind::Invalid ? platform::ErrorKind::Internal : r.kind, why);
}

Download downloadOfRow(const QSqlQuery& q, int first) {
    auto at = [&](int column) { return q.value(first + column); };
    Download d;
    d.started = at(0).toLongLong();
    d.ended = at(1).toLongLong();
    d.bytes = at(2).toULongLong();
    d.sets = at(3).toInt();
    d.complete = at(4).toInt() != 0;
    d.why = at(5).toString().toLocal8Bit().toStdString();
    d.verified = at(6).toInt() != 0;
    d.keptFile = bytesOf(at(7));
    d.port = at(8).isNull() ? -1 : at(8).toInt();
    if (!at(9).isNull())
        for (const QJsonValue& v : QJsonDocument::fromJson(at(9).toString().toUtf8()).array())
            d.reasons.push_back(v.toString().toStdString());
    d.lineErrors = at(10).toString().toStdString();
    return d;
}

} // namespace unitreg
