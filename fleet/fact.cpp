// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/fact.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QUuid>

namespace fleet {

QString kindName(FactKind kind) {
    switch (kind) {
    case FactKind::Event:
        return QStringLiteral("event");
    case FactKind::Record:
        return QStringLiteral("record");
    case FactKind::KeptDownload:
        return QStringLiteral("kept_download");
    }
    return {};
}

std::optional<FactKind> kindFromName(const QString& name) {
    for (FactKind k : {FactKind::Event, FactKind::Record, FactKind::KeptDownload})
        if (kindName(k) == name)
            return k;
    return std::nullopt;
}

QString newFactId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

Fact eventFact(const QString& id, const QString& unit, const QString& type,
               const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop) {
    Fact f;
    f.kind = FactKind::Event;
    f.identity = id;
    f.unit = unit;
    f.type = type;
    f.payload = payload;
    f.occurredAt = occurredAt;
    f.laptop = laptop;
    return f;
}

Fact recordFact(const QString& unit, const RecordKey& key, const QString& chainHash,
                const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop) {
    Fact f;
    f.kind = FactKind::Record;
    f.identity = chainHash;
    f.unit = unit;
    f.record = key;
    f.payload = payload;
    f.occurredAt = occurredAt;
    f.laptop = laptop;
    return f;
}

Fact keptDownloadFact(const QString& downloadId, const QString& unit, const QString& sha256Hex,
                      std::int64_t size, const QString& localPath, std::int64_t occurredAt,
                      const QString& laptop) {
    Fact f;
    f.kind = FactKind::KeptDownload;
    f.identity = downloadId;
    f.unit = unit;
    f.type = QStringLiteral("kept_download");
    f.payload = QJsonObject{{QStringLiteral("sha256"), sha256Hex.toLower()},
                            {QStringLiteral("size"), static_cast<qint64>(size)},
                            {QStringLiteral("path"), localPath}};
    f.occurredAt = occurredAt;
    f.laptop = laptop;
    return f;
}

QString invalidReason(const Fact& fact) {
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{16,128}$"));
    static const QRegularExpression sha(QStringLiteral("^[0-9a-f]{64}$"));
    if (fact.unit.isEmpty())
        return QStringLiteral("no unit");
    if (fact.laptop.isEmpty())
        return QStringLiteral("no laptop name");
    switch (fact.kind) {
    case FactKind::Event:
        if (!uuid.match(fact.identity).hasMatch())
            return QStringLiteral("the identity is not a UUID: ") + fact.identity;
        if (fact.type.isEmpty())
            return QStringLiteral("no event type");
        break;
    case FactKind::Record:
        if (!hex.match(fact.identity).hasMatch())
            return QStringLiteral("the chained hash is not lower-case hex: ") + fact.identity;
        if (fact.record.dataSet.isEmpty() || fact.record.segment < 0 || fact.record.position < 0)
            return QStringLiteral("no data set, or a negative segment or position");
        break;
    case FactKind::KeptDownload:
        if (!uuid.match(fact.identity).hasMatch())
            return QStringLiteral("the identity is not a UUID: ") + fact.identity;
        if (!sha.match(fact.payload.value(QStringLiteral("sha256")).toString()).hasMatch())
            return QStringLiteral("no SHA-256");
        if (fact.payload.value(QStringLiteral("size")).toInteger(-1) < 0)
            return QStringLiteral("no size");
        break;
    }
    return {};
}

QByteArray payloadText(const QJsonObject& payload) {
    return QJsonDocument(payload).toJson(QJsonDocument::Compact);
}

} // namespace fleet
