// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/other_laptops.h"

#include "fleet/push_status.h"

#include <algorithm>

namespace fleet {

namespace {

// "a", "a and b", "a, b and c"
QString namesText(const QStringList& names) {
    if (names.size() < 2)
        return names.value(0);
    return QStringList(names.mid(0, names.size() - 1)).join(QStringLiteral(", ")) +
           QStringLiteral(" and ") + names.back();
}

} // namespace

OtherDownload judgeOtherRecords(const OtherRecords& answer, const std::string& folder,
                                const QString& unit, const RecordLookup& look) {
    OtherDownload d;
    if (!answer.ok) {
        d.message = answer.message;
        return d;
    }
    if (!look) {
        d.message = QStringLiteral("this program cannot read its series");
        return d;
    }
    std::vector<RecordLook> looks;
    if (!answer.records.empty()) {
        auto looked = look(folder, unit, answer.records);
        if (looked)
            looks = std::move(*looked);
        if (!looked || looks.size() != answer.records.size()) {
            d.message = QStringLiteral("this laptop's series not read: ") +
                        (looked ? QString() : QString::fromStdString(looked.text()));
            return d;
        }
    }
    d.ok = true;
    // The unseen records, the latest by the unit's clock first (one whose stamp does not read
    // after those that do, in the server's order).
    std::vector<std::size_t> unseen;
    for (std::size_t i = 0; i < looks.size(); ++i)
        if (!looks[i].held)
            unseen.push_back(i);
    if (unseen.empty())
        return d;
    std::stable_sort(unseen.begin(), unseen.end(), [&](std::size_t a, std::size_t b) {
        const auto& x = looks[a].unitSeconds;
        const auto& y = looks[b].unitSeconds;
        return x && (!y || *x > *y);
    });
    OtherDownload::Unseen u;
    u.stamp = looks[unseen.front()].stamp;
    for (std::size_t i : unseen)
        if (!u.laptops.contains(answer.records[i].laptop))
            u.laptops << answer.records[i].laptop;
    d.found = std::move(u);
    return d;
}

QString otherLaptopsNote(const std::optional<OtherDownload>& answer, const QString& unitName,
                         std::optional<std::int64_t> lastContact, std::int64_t nowMs) {
    if (answer && answer->ok) {
        if (!answer->found)
            return {};
        const OtherDownload::Unseen& u = *answer->found;
        const QString what =
            QStringLiteral("%1 was downloaded safely by %2 with records this laptop has not seen")
                .arg(unitName, namesText(u.laptops));
        return u.stamp.isEmpty()
                   ? what + QStringLiteral(".")
                   : what + QStringLiteral(", the last stamped %1 by the unit.").arg(u.stamp);
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
