// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_share.h"

#include "fleet/fact.h"
#include "fleet/server_values.h"

#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <xxhash.h>

namespace series {

namespace {

QString latin1(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// `bytes` (Latin-1) as a JSON string in UTF-8.
void appendLatin1String(QByteArray& out, std::string_view bytes) {
    out += '"';
    // Nearly every record is plain ASCII with nothing to escape: appended whole.
    bool plain = true;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        plain = plain && u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
    }
    if (plain) {
        out.append(bytes.data(), static_cast<qsizetype>(bytes.size()));
        out += '"';
        return;
    }
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendNumber(QByteArray& out, long long v) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr - digits);
}

} // namespace

QString sharedDataSet(const std::string& name, int ordinal) {
    QString text = latin1(name);
    if (ordinal > 0)
        text += QChar(0x1f) + QString::number(ordinal + 1);
    return text;
}

std::pair<std::string, int> dataSetOfShared(const QString& shared) {
    const qsizetype mark = shared.indexOf(QChar(0x1f));
    if (mark < 0)
        return {shared.toLatin1().toStdString(), 0};
    bool ok = false;
    const int number = shared.mid(mark + 1).toInt(&ok);
    return {shared.left(mark).toLatin1().toStdString(), ok && number > 1 ? number - 1 : -1};
}

namespace {

void toHex(const XXH128_canonical_t& canonical, char* hex) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = digits[canonical.digest[i] >> 4];
        hex[2 * i + 1] = digits[canonical.digest[i] & 0xf];
    }
}

} // namespace

void recordIdentity(std::string_view before, std::string_view line, char* hex) {
    // The two records with a line end between them (no record holds one), hashed whole from
    // a buffer that stops allocating once it has grown to the longest pair.
    thread_local std::string buffer;
    buffer.assign(before);
    buffer += '\n';
    buffer.append(line);
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(buffer.data(), buffer.size()));
    toHex(canonical, hex);
}

QString recordIdentity(std::string_view before, std::string_view line) {
    char hex[kIdentityHexSize];
    recordIdentity(before, line, hex);
    return QString::fromLatin1(hex, kIdentityHexSize);
}

namespace {

std::uint64_t leading64(const char* hex) {
    std::uint64_t v = 0;
    for (int i = 0; i < 16; ++i) {
        const char c = hex[i];
        v = v << 4 | std::uint64_t(c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0');
    }
    return v;
}

} // namespace

std::uint32_t OccurrenceCount::next(const char* hex) {
    const std::uint64_t key = leading64(hex);
    const auto [from, to] = std::equal_range(m_sorted.begin(), m_sorted.end(), key);
    std::uint32_t& recent = m_recent[key];
    const auto before = std::uint32_t(to - from) + recent;
    ++recent;
    ++m_counted;
    if (m_recent.size() > std::max<std::size_t>(65536, m_sorted.size() / 8)) {
        const std::size_t old = m_sorted.size();
        for (const auto& [k, n] : m_recent)
            m_sorted.insert(m_sorted.end(), n, k);
        std::sort(m_sorted.begin() + std::ptrdiff_t(old), m_sorted.end());
        std::inplace_merge(m_sorted.begin(), m_sorted.begin() + std::ptrdiff_t(old),
                           m_sorted.end());
        m_recent.clear();
    }
    return before;
}

std::uint32_t OccurrenceCount::next(const QString& hex) {
    const QByteArray latin = hex.toLatin1();
    return latin.size() >= 16 ? next(latin.constData()) : 0;
}

void OccurrenceCount::clear() {
    m_sorted.clear();
    m_recent.clear();
    m_counted = 0;
}

RecordChain::RecordChain(const QByteArray& before)
    : m_buffer(before.constData(), static_cast<std::size_t>(before.size())) {}

QByteArray RecordChain::last() const {
    return QByteArray(m_buffer.data(), static_cast<qsizetype>(m_buffer.size()));
}

void RecordChain::next(std::string_view line, char* hex) {
    m_buffer.append(line);
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(m_buffer.data(), m_buffer.size()));
    m_buffer.assign(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = digits[canonical.digest[i] >> 4];
        hex[2 * i + 1] = digits[canonical.digest[i] & 0xf];
    }
}

QString RecordChain::next(std::string_view line) {
    char hex[kHexSize];
    next(line, hex);
    return QString::fromLatin1(hex, kHexSize);
}

void appendRecordPayload(QByteArray& out, const SharedRecord& r, bool info) {
    out += "{\"line\":";
    appendLatin1String(out, r.line);
    if (info) {
        out += ",\"info\":{\"download\":";
        fleet::appendJsonString(
            out, QFile::decodeName(QByteArray(r.download.data(), qsizetype(r.download.size()))));
        out += ",\"order\":";
        appendNumber(out, static_cast<int>(r.dateOrder));
        out += ",\"offset\":";
        if (r.offsetSeconds)
            appendNumber(out, *r.offsetSeconds);
        else
            out += "null";
        out += ",\"flags\":";
        appendNumber(out, r.timeFlags);
        if (!r.notes.empty()) {
            out += ",\"notes\":[";
            for (std::size_t i = 0; i < r.notes.size(); ++i) {
                if (i > 0)
                    out += ',';
                fleet::appendJsonString(out, QString::fromStdString(r.notes[i]));
            }
            out += ']';
        }
        if (r.usualInterval > 0)
            out += ",\"interval\":" + QByteArray::number(r.usualInterval, 'g', 17);
        if (!r.titles.empty()) {
            out += ",\"titles\":";
            appendLatin1String(out, r.titles);
        }
        out += '}';
    }
    out += '}';
}

platform::Result<ServerRecord> recordFromPayload(const QJsonObject& payload,
                                                 const ServerRecord* before) {
    auto refuse = [](const char* text) {
        return platform::makeError(platform::ErrorKind::Invalid, text);
    };
    ServerRecord out;
    const QJsonValue line = payload.value(QStringLiteral("line"));
    if (!line.isString())
        return refuse("no line");
    out.line = line.toString().toLatin1().toStdString();
    out.notes.clear();
    out.usualInterval = 0;
    out.titles.clear();
    const QJsonValue info = payload.value(QStringLiteral("info"));
    if (!info.isObject()) {
        if (!before)
            return refuse("no info at a segment's start"); // a segment's first record says it
        out.download = before->download;
        out.offsetSeconds = before->offsetSeconds;
        out.dateOrder = before->dateOrder;
        out.timeFlags = before->timeFlags;
        return out;
    }
    const QJsonObject i = info.toObject();
    // toInt() gives 0 for a value no int holds: each is checked as a double first.
    const double order = i.value(QStringLiteral("order")).toDouble(0);
    if (order != 0 && order != 1 && order != 2 && order != 4)
        return refuse("info: order is no date order");
    const QJsonValue offset = i.value(QStringLiteral("offset"));
    if (offset.isDouble() && (std::abs(offset.toDouble()) > fleet::kMostUtcOffsetSeconds ||
                              offset.toDouble() != std::trunc(offset.toDouble())))
        return refuse("info: offset is not whole seconds within ±14 h");
    const double flags = i.value(QStringLiteral("flags")).toDouble(0);
    if (!(flags >= 0 && flags <= 255))
        return refuse("info: flags out of range");
    const double interval = i.value(QStringLiteral("interval")).toDouble(0);
    if (!(interval >= 0 && interval <= 366.0 * 86400))
        return refuse("info: interval is not a finite time of at most a year");
    out.download = QFile::encodeName(i.value(QStringLiteral("download")).toString()).toStdString();
    out.dateOrder = static_cast<viewer::DateOrder>(int(order));
    out.offsetSeconds =
        offset.isDouble() ? std::optional<int>(int(offset.toDouble())) : std::nullopt;
    out.timeFlags = static_cast<std::uint8_t>(int(flags));
    for (const QJsonValue& n : i.value(QStringLiteral("notes")).toArray())
        out.notes.push_back(n.toString().toStdString());
    out.usualInterval = interval;
    const QJsonValue titles = i.value(QStringLiteral("titles"));
    if (titles.isString())
        out.titles = titles.toString().toLatin1().toStdString();
    return out;
}

} // namespace series
