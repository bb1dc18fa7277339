// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A request's query string read strictly: only the names a page takes, each at most once,
// percent-escapes that decode, values that are UTF-8 without control characters, and bounds on
// the whole. Anything else is refused with a reason that the 400 answer carries. Pure; the fuzz
// target's entry.

#include <QByteArrayView>
#include <QMap>
#include <QString>
#include <QStringList>

namespace office {

inline constexpr qsizetype kMostQueryBytes = 4096;
inline constexpr int kMostQueryParams = 16;

struct QueryParams {
    bool ok = false;
    QString error;
    QMap<QString, QString> values;
    QString value(const char* name) const { return values.value(QLatin1String(name)); }
    bool has(const char* name) const { return values.contains(QLatin1String(name)); }
};

// `raw`: the query as it came, without the "?"; "+" stands for a blank, as forms send it.
QueryParams parseQuery(QByteArrayView raw, const QStringList& allowed);

} // namespace office
