// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/fact_values.h"

#include "platform/checked_number.h"

namespace fleet {

platform::Result<int> utcOffsetOf(std::string_view text) {
    // Whole seconds; a JSON number written as "3600.0" by some writer is still whole.
    std::optional<double> v =
        platform::parseFinite(text, -kMostUtcOffsetSeconds, kMostUtcOffsetSeconds);
    if (!v || *v != double(std::int64_t(*v)))
        return platform::makeError(platform::ErrorKind::Invalid,
                                   "utc_offset is not whole seconds within ±14 h");
    return int(*v);
}

platform::Result<double> batteryVoltsOf(std::string_view text) {
    const std::optional<double> v =
        platform::parseFinite(text, kLeastBatteryVolts, kMostBatteryVolts);
    if (!v)
        return platform::makeError(platform::ErrorKind::Invalid,
                                   QStringLiteral("volts is not a number from %1 to %2")
                                       .arg(kLeastBatteryVolts)
                                       .arg(kMostBatteryVolts)
                                       .toStdString());
    return *v;
}

void UnreadFacts::add(const QString& pusher, const QString& why, long long n) {
    if (n <= 0)
        return;
    count += n;
    byPusher[pusher] += n;
    if (!why.isEmpty() && !reasons.contains(why) && reasons.size() < kMostReasons)
        reasons << why;
}

void UnreadFacts::add(const UnreadFacts& other) {
    count += other.count;
    for (const auto& [who, n] : other.byPusher)
        byPusher[who] += n;
    for (const QString& why : other.reasons)
        if (!reasons.contains(why) && reasons.size() < kMostReasons)
            reasons << why;
}

QString UnreadFacts::told() const {
    if (count == 0)
        return {};
    QStringList by;
    for (const auto& [who, n] : byPusher)
        by << QStringLiteral("%1 (%2)").arg(who.isEmpty() ? QStringLiteral("?") : who).arg(n);
    QString text = QStringLiteral("%1 %2 not read: pushed by %3")
                       .arg(count)
                       .arg(count == 1 ? QStringLiteral("fact") : QStringLiteral("facts"),
                            by.join(QStringLiteral(", ")));
    if (!reasons.isEmpty())
        text += QStringLiteral("; ") + reasons.join(QStringLiteral("; "));
    return text;
}

} // namespace fleet
