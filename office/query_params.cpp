// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/query_params.h"

#include <QStringDecoder>

namespace office {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-escapes decoded; false on a "%" without two hex digits after it.
bool unescape(QByteArrayView in, QByteArray& out) {
    out.clear();
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size())
                return false;
            const int hi = hexDigit(in[i + 1]), lo = hexDigit(in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

bool utf8Text(const QByteArray& bytes, QString& out) {
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    out = decode(bytes);
    if (decode.hasError())
        return false;
    for (const QChar c : out)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            if (c.unicode() != 0x1f) // the separator of a data set's place among its namesakes
                return false;
    return true;
}

QueryParams refused(const QString& why) {
    QueryParams p;
    p.error = why;
    return p;
}

} // namespace

QueryParams parseQuery(QByteArrayView raw, const QStringList& allowed) {
    if (raw.size() > kMostQueryBytes)
        return refused(QStringLiteral("the query is longer than %1 bytes").arg(kMostQueryBytes));
    QueryParams p;
    qsizetype at = 0;
    int count = 0;
    while (at < raw.size()) {
        qsizetype end = raw.indexOf('&', at);
        if (end < 0)
            end = raw.size();
        const QByteArrayView item = raw.sliced(at, end - at);
        at = end + 1;
        if (item.isEmpty())
            continue;
        if (++count > kMostQueryParams)
            return refused(QStringLiteral("more than %1 query parameters").arg(kMostQueryParams));
        const qsizetype eq = item.indexOf('=');
        QByteArray nameBytes, valueBytes;
        if (!unescape(eq < 0 ? item : item.first(eq), nameBytes) ||
            !unescape(eq < 0 ? QByteArrayView() : item.sliced(eq + 1), valueBytes))
            return refused(QStringLiteral("a query parameter has a broken %-escape"));
        QString name, value;
        if (!utf8Text(nameBytes, name) || !utf8Text(valueBytes, value))
            return refused(QStringLiteral("a query parameter is not UTF-8 text"));
        if (!allowed.contains(name))
            return refused(QStringLiteral("unknown query parameter \"%1\"").arg(name.left(40)));
        if (p.values.contains(name))
            return refused(QStringLiteral("query parameter \"%1\" given twice").arg(name));
        p.values.insert(name, value);
    }
    p.ok = true;
    return p;
}

} // namespace office
