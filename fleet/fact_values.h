// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a fact's payload values may be as every reader of the server takes them, and the count
// of facts a read left out (server_values.h reads the server with them). Apart from the
// server's connection so that the fuzz target takes them alone.

#include "platform/result.h"

#include <QString>
#include <QStringList>

#include <map>
#include <string_view>

namespace fleet {

// What a payload value may be, as every reader takes it.
inline constexpr int kMostUtcOffsetSeconds = 14 * 3600;
inline constexpr double kLeastBatteryVolts = 0, kMostBatteryVolts = 100;

// A clock set's offset from UTC as its payload gives it (payload->>'utc_offset'): whole
// seconds within ±14 h; otherwise an Invalid error saying what is wrong.
platform::Result<int> utcOffsetOf(std::string_view text);
// A battery reading's volts (payload->>'volts').
platform::Result<double> batteryVoltsOf(std::string_view text);

// The facts a read skipped because a value of theirs could not be read, by who pushed them.
struct UnreadFacts {
    long long count = 0;
    std::map<QString, long long> byPusher; // the pushing role (or the laptop's name) and count
    QStringList reasons;                   // distinct, the first kMostReasons

    static constexpr int kMostReasons = 5;

    // `pusher`: the role that pushed it (pushed_by), else the laptop's name it gave.
    void add(const QString& pusher, const QString& why, long long n = 1);
    void add(const UnreadFacts& other);
    bool empty() const { return count == 0; }
    // "2 facts not read: pushed by role lapb (2); clock set: utc_offset is not ..." or empty.
    QString told() const;
};

} // namespace fleet
