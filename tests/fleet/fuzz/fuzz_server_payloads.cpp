// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the readers' checks of what the server holds: any bytes, as a column's
// text (a time, a count, a payload value taken with ->>) and as a payload's JSON whose every
// value is taken as the readers take clock sets' offsets and batteries' volts, must come back
// as a value within its range or as nothing with a reason, with no fault the sanitizers see.
#include "fleet/fact_values.h"
#include "platform/checked_number.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void takeValue(std::string_view text, fleet::UnreadFacts& unread) {
    if (const auto offset = fleet::utcOffsetOf(text)) {
        if (*offset < -fleet::kMostUtcOffsetSeconds || *offset > fleet::kMostUtcOffsetSeconds)
            __builtin_trap();
    } else if (offset.text().empty() || offset.kind() != platform::ErrorKind::Invalid) {
        __builtin_trap(); // a value left out always says why
    } else {
        unread.add(QStringLiteral("role fuzz"), QString::fromStdString(offset.text()));
    }
    if (const auto volts = fleet::batteryVoltsOf(text)) {
        if (!std::isfinite(*volts) || *volts < fleet::kLeastBatteryVolts ||
            *volts > fleet::kMostBatteryVolts)
            __builtin_trap();
    } else if (volts.text().empty() || volts.kind() != platform::ErrorKind::Invalid) {
        __builtin_trap();
    }
    if (const auto ms = platform::parseEpochMs(text))
        if (*ms < platform::kLeastEpochMs || *ms > platform::kMostEpochMs)
            __builtin_trap();
    if (const auto n = platform::parseInteger(text, -1000, 1000))
        if (*n < -1000 || *n > 1000)
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    fleet::UnreadFacts unread;
    takeValue(raw, unread);
    // As a payload: each value's text as PostgreSQL's ->> gives it (a string's own text, a
    // number's or another value's JSON).
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(raw.data(), static_cast<qsizetype>(raw.size())));
    const QJsonObject payload = doc.object();
    for (auto it = payload.begin(); it != payload.end(); ++it) {
        const QJsonValue v = it.value();
        const QByteArray text = v.isString() ? v.toString().toUtf8()
                                : v.isDouble()
                                    ? QByteArray::number(v.toDouble(), 'g', 17)
                                    : QJsonDocument(QJsonObject{{QStringLiteral("v"), v}})
                                          .toJson(QJsonDocument::Compact);
        takeValue(std::string_view(text.constData(), std::size_t(text.size())), unread);
    }
    if (unread.count > 0 && unread.told().isEmpty())
        __builtin_trap();
    return 0;
}
