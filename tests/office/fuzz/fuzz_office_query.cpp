// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the office's parsers of what a client sends: any bytes, as a query
// string with every option ($top, $skip, $count, $orderby, $select, $filter, $expand with its
// nested options), as a $filter (read and evaluated), and as a web service path, must come
// back parsed or refused with a reason, with no fault the sanitizers see.
#include "office/odata_query.h"
#include "office/query_params.h"

#include <QJsonArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    static const QStringList allowed = {
        QStringLiteral("$top"),     QStringLiteral("$skip"),   QStringLiteral("$count"),
        QStringLiteral("$orderby"), QStringLiteral("$filter"), QStringLiteral("$select"),
        QStringLiteral("$expand"),  QStringLiteral("u"),       QStringLiteral("set"),
        QStringLiteral("from"),     QStringLiteral("to")};
    const office::QueryParams p = office::parseQuery(raw, allowed);
    QString why;
    if (p.ok) {
        office::QueryOptions options;
        office::QueryRefusal refusal;
        if (!office::parseQueryOptions(p.values, options, refusal) &&
            (refusal.why.isEmpty() || (refusal.status != 400 && refusal.status != 413)))
            __builtin_trap(); // a refusal always says why
    } else if (p.error.isEmpty()) {
        __builtin_trap();
    }
    const QString text = QString::fromUtf8(raw.data(), raw.size());
    if (const auto filter = office::parseTimeFilter(text); !filter && filter.text().empty())
        __builtin_trap();
    // Any bytes as a $filter: read or refused, and evaluated over an entity without fault.
    office::QueryRefusal refusal;
    if (const std::optional<office::FilterTree> tree = office::parseFilter(text, refusal)) {
        static const QJsonObject entity = {
            {QStringLiteral("@iot.id"), QStringLiteral("A/B/2/1/3")},
            {QStringLiteral("phenomenonTime"), QStringLiteral("2026-12-01T00:00:00Z")},
            {QStringLiteral("result"), 1.5},
            {QStringLiteral("name"), QStringLiteral("x")},
            {QStringLiteral("parameters"), QJsonObject{{QStringLiteral("flags"), QJsonArray{}}}}};
        office::holds(**tree, entity, nullptr, 0);
        office::timeWindowOf(**tree, QStringLiteral("phenomenonTime"));
        office::timeFilterOf(**tree);
    } else if (refusal.why.isEmpty()) {
        __builtin_trap();
    }
    std::vector<office::PathPart> parts;
    if (office::parseResourcePath(text, parts) && parts.size() > office::kMostPathParts)
        __builtin_trap();
    // An identity split back and joined again is what it was.
    if (const std::optional<QStringList> id = office::splitId(text, 3))
        if (office::splitId(office::joinId(*id), 3) != id)
            __builtin_trap();
    return 0;
}
