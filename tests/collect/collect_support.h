// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <QJsonArray>
#include <QJsonValue>
#include <QLatin1String>

#include "support/read_file.h"
#include "tools/sim/data_set.h"

#include <fstream>
#include <iterator>
#include <string>

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

// The bytes a data set's file must hold: header and records as the unit sent them, CR LF.
inline std::string expectedFile(const sim::DataSet& set) {
    std::string text = "Name: " + set.name + "\r\n";
    for (const auto& r : set.records)
        text += r + "\r\n";
    return text;
}

} // namespace testsupport
