// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/other_laptops.h"

#include "fleet/push_status.h"

namespace fleet {

QString otherLaptopsNote(const std::optional<OtherDownload>& answer, const QString& unitName,
                         std::optional<std::int64_t> lastContact, std::int64_t nowMs) {
    if (answer && answer->ok) {
        if (!answer->found)
            return {};
        const HistoryEntry& e = *answer->found;
        return QStringLiteral("%1 was downloaded by %2 at %3, after this laptop's last download "
                              "of it.")
            .arg(unitName, e.laptop, momentText(e.occurredAt, nowMs));
    }
    const QString why = answer ? QStringLiteral("the server could not be asked")
                               : QStringLiteral("the server did not answer in time");
    if (!lastContact)
        return QStringLiteral("Other laptops not checked: %1, and it has never answered this "
                              "laptop.")
            .arg(why);
    return QStringLiteral("Other laptops not checked since %1: %2.")
        .arg(momentText(*lastContact, nowMs), why);
}

} // namespace fleet
