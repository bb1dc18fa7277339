// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <QJsonArray>
#include <QJsonValue>
#include <QLatin1String>

namespace testsupport {

// A run's --json warnings but the note every pty run carries (a pseudo-terminal counts no line
// errors, so they are not checked): what a test is about.
inline QJsonArray warningsBesideLineErrors(const QJsonArray& all) {
    QJsonArray kept;
    for (const QJsonValue& w : all)
        if (!w.toString().startsWith(QLatin1String("Line errors not checked")))
            kept.append(w);
    return kept;
}

} // namespace testsupport
