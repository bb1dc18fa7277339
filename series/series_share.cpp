// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_share.h"

#include <QFile>
#include <QJsonArray>

namespace series {

namespace {

QString latin1(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

QString sharedDataSet(const std::string& name, int ordinal) {
    QString text = latin1(name);
    if (ordinal > 0)
        text += QChar(0x1f) + QString::number(ordinal + 1);
    return text;
}

QString RecordChain::next(std::string_view line) {
    m_sha.reset();
    m_sha.addData(m_last);
    m_sha.addData(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    m_last = m_sha.result();
    return QString::fromLatin1(m_last.toHex());
}

QJsonObject recordPayload(const SharedRecord& r) {
    QJsonObject info{
        {QStringLiteral("download"),
         QFile::decodeName(QByteArray(r.download.data(), qsizetype(r.download.size())))},
        {QStringLiteral("flags"), r.timeFlags},
        {QStringLiteral("offset"),
         r.offsetSeconds ? QJsonValue(*r.offsetSeconds) : QJsonValue(QJsonValue::Null)}};
    if (!r.notes.empty()) {
        QJsonArray notes;
        for (const std::string& n : r.notes)
            notes.append(QString::fromStdString(n));
        info.insert(QStringLiteral("notes"), notes);
    }
    if (r.usualInterval > 0)
        info.insert(QStringLiteral("interval"), r.usualInterval);
    return {{QStringLiteral("line"), latin1(r.line)},
            {QStringLiteral("order"), static_cast<int>(r.dateOrder)},
            {QStringLiteral("info"), info}};
}

bool recordFromPayload(const QJsonObject& payload, ServerRecord& out) {
    const QJsonValue line = payload.value(QStringLiteral("line"));
    if (!line.isString())
        return false;
    out.line = line.toString().toLatin1().toStdString();
    out.dateOrder = static_cast<viewer::DateOrder>(payload.value(QStringLiteral("order")).toInt());
    const QJsonObject info = payload.value(QStringLiteral("info")).toObject();
    out.download =
        QFile::encodeName(info.value(QStringLiteral("download")).toString()).toStdString();
    out.timeFlags = static_cast<std::uint8_t>(info.value(QStringLiteral("flags")).toInt());
    const QJsonValue offset = info.value(QStringLiteral("offset"));
    out.offsetSeconds = offset.isDouble() ? std::optional<int>(offset.toInt()) : std::nullopt;
    out.notes.clear();
    for (const QJsonValue& n : info.value(QStringLiteral("notes")).toArray())
        out.notes.push_back(n.toString().toStdString());
    out.usualInterval = info.value(QStringLiteral("interval")).toDouble();
    return true;
}

} // namespace series
