// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series' records as facts for the organisation's server (fleet/fact.h), and back.
//
// A record is identified by what it is: its unit, its data set, its segment, its position in
// the segment and the hash chained over the segment's records up to it (SHA-256 of the hash
// before and the record's bytes; the first record's "hash before" is empty). Two laptops that
// hold the same records therefore push the same identities, and the server keeps them once.
// Only confirmed records are shared: a provisional record may still be replaced, so it goes
// when a safe download confirms it. A rebuild makes the same segments from the same kept
// downloads, so it shares the same records under the same identities again (harmless: the
// server keeps each identity once).
//
// The payload is the record's bytes ("line", Latin-1 as text) and the date order it was read
// with; what this laptop says of it (the kept download it came from, the time flags and
// offset, a note on it, the series' usual interval) goes under "info", which the server keeps
// but does not compare between laptops.

#include "series/series_store.h"

#include "fleet/fact.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace series {

// The data set's name on the server: the name as Latin-1 text, and for the second and later
// sets of that name in a download, a unit separator (U+001F) and the set's number.
QString sharedDataSet(const std::string& name, int ordinal);

// The hash chained over a segment's records.
class RecordChain {
public:
    // `before`: the raw hash after the records before (empty at a segment's start).
    explicit RecordChain(QByteArray before = {}) : m_last(std::move(before)) {}
    // Takes the next record; returns its hash (lower-case hex).
    QString next(std::string_view line);
    // Back to a segment's start.
    void restart() { m_last.clear(); }
    // The raw hash after the last record taken.
    const QByteArray& last() const { return m_last; }

private:
    QCryptographicHash m_sha{QCryptographicHash::Sha256};
    QByteArray m_last;
};

// One record as it is shared.
struct SharedRecord {
    std::string_view line;
    std::uint8_t timeFlags = 0;
    std::optional<int> offsetSeconds;
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    std::string download; // the kept download's path (information)
    std::vector<std::string> notes;
    double usualInterval = 0; // the series' usual interval, when this record tells it
};

QJsonObject recordPayload(const SharedRecord& record);

// A record read back from the server, ordered by segment and position.
struct ServerRecord {
    int segment = 0; // 0-based
    std::uint64_t position = 0;
    std::string line;
    std::uint8_t timeFlags = 0;
    std::optional<int> offsetSeconds;
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    std::string download;
    std::vector<std::string> notes;
    double usualInterval = 0;
};
// Fills `out` from a payload; false when it is no record's.
bool recordFromPayload(const QJsonObject& payload, ServerRecord& out);

} // namespace series
