// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/fact.h"

#include <QJsonArray>
#include <QLocale>
#include <QUuid>

#include <cmath>
#include <cstdio>

namespace fleet {

QString kindName(FactKind kind) {
    switch (kind) {
    case FactKind::Event:
        return QStringLiteral("event");
    case FactKind::Record:
        return QStringLiteral("record");
    case FactKind::KeptDownload:
        return QStringLiteral("kept_download");
    case FactKind::Site:
        return QStringLiteral("site");
    }
    return {};
}

std::optional<FactKind> kindFromName(const QString& name) {
    for (FactKind k : {FactKind::Event, FactKind::Record, FactKind::KeptDownload, FactKind::Site})
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

Fact siteFact(const QString& id, const QString& siteKind, const QString& unit,
              const QJsonObject& payload, std::int64_t occurredAt, const QString& laptop) {
    Fact f;
    f.kind = FactKind::Site;
    f.identity = id;
    f.unit = unit.isNull() ? QStringLiteral("") : unit; // the outbox keeps "" for none
    f.type = siteKind;
    f.payload = payload;
    f.occurredAt = occurredAt;
    f.laptop = laptop;
    return f;
}

namespace {

bool lowerHex(const QString& s, qsizetype least, qsizetype most) {
    if (s.size() < least || s.size() > most)
        return false;
    for (QChar c : s)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    return true;
}

// 8-4-4-4-12 lower-case hex digits.
bool uuidText(const QString& s) {
    if (s.size() != 36)
        return false;
    for (qsizetype i = 0; i < 36; ++i) {
        const QChar c = s[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != u'-' : !((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

} // namespace

// Checked on every fact written (a download writes thousands): plain loops, no expressions.
QString invalidReason(const Fact& fact) {
    // A note about a site is about no unit.
    if (fact.unit.isEmpty() && fact.kind != FactKind::Site)
        return QStringLiteral("no unit");
    if (fact.laptop.isEmpty())
        return QStringLiteral("no laptop name");
    switch (fact.kind) {
    case FactKind::Event:
        if (!uuidText(fact.identity))
            return QStringLiteral("the identity is not a UUID: ") + fact.identity;
        if (fact.type.isEmpty())
            return QStringLiteral("no event type");
        break;
    case FactKind::Record:
        if (!lowerHex(fact.identity, 16, 128))
            return QStringLiteral("the chained hash is not lower-case hex: ") + fact.identity;
        if (fact.record.dataSet.isEmpty() || fact.record.segment < 0 || fact.record.position < 0)
            return QStringLiteral("no data set, or a negative segment or position");
        break;
    case FactKind::KeptDownload:
        if (!uuidText(fact.identity))
            return QStringLiteral("the identity is not a UUID: ") + fact.identity;
        if (!lowerHex(fact.payload.value(QStringLiteral("sha256")).toString(), 64, 64))
            return QStringLiteral("no SHA-256");
        if (fact.payload.value(QStringLiteral("size")).toInteger(-1) < 0)
            return QStringLiteral("no size");
        break;
    case FactKind::Site:
        if (!uuidText(fact.identity))
            return QStringLiteral("the identity is not a UUID: ") + fact.identity;
        if (fact.type != QLatin1String("note") && fact.type != QLatin1String("deployment") &&
            fact.type != QLatin1String("removal"))
            return QStringLiteral("a laptop records no site fact of kind ") + fact.type.left(40);
        if (fact.unit.isEmpty() && fact.type != QLatin1String("note"))
            return QStringLiteral("no unit");
        break;
    }
    return {};
}

void appendJsonString(QByteArray& out, const QString& s) {
    // Escaped as Qt's own writer does (the short forms, then \u00xx); the rest as UTF-8.
    out += '"';
    // Nearly every text is ASCII: its characters go as they are, without a conversion.
    bool ascii = true;
    for (QChar c : s)
        ascii = ascii && c.unicode() < 0x80;
    const QByteArray bytes = ascii ? QByteArray() : s.toUtf8();
    const qsizetype n = ascii ? s.size() : bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = ascii ? static_cast<char>(s[i].unicode()) : bytes[i];
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[(c >> 4) & 0xf];
                out += hex[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

namespace {

void appendJson(QByteArray& out, const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += "null";
        break;
    case QJsonValue::Bool:
        out += v.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double: {
        const double d = v.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9007199254740992.0)
            out += QByteArray::number(static_cast<qlonglong>(v.toInteger(static_cast<qint64>(d))));
        else if (std::isfinite(d))
            out += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
        else
            out += "null"; // JSON has no infinities
        break;
    }
    case QJsonValue::String:
        appendJsonString(out, v.toString());
        break;
    case QJsonValue::Array: {
        out += '[';
        bool first = true;
        for (const QJsonValue& e : v.toArray()) {
            if (!first)
                out += ',';
            first = false;
            appendJson(out, e);
        }
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        out += '{';
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (it != o.begin())
                out += ',';
            appendJsonString(out, it.key());
            out += ':';
            appendJson(out, it.value());
        }
        out += '}';
        break;
    }
    }
}

} // namespace

// Written here rather than through QJsonDocument: a download writes one per record, and
// this costs a fraction of building a document each time.
QByteArray payloadText(const QJsonObject& payload) {
    QByteArray out;
    out.reserve(128);
    appendJson(out, payload);
    return out;
}

void appendPayload(QByteArray& out, const QJsonObject& payload) {
    appendJson(out, payload);
}

} // namespace fleet
