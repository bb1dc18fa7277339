// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What sharing reads from series.sqlite (fleet/sharing_sources.h): the records an outbox span
// names, read from the series' chunks when the pusher sends them; the records an older
// program noted as refused, put back into the outbox; and which of another laptop's records
// this laptop holds (held_records.h). Each program's start hands them to fleet/ through
// sharingSources(); nothing here registers itself.

#include "fleet/outbox.h"
#include "fleet/sharing_sources.h"

#include "platform/result.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace series {

// The outbox's span reader for series.sqlite (fleet/outbox.h): the records of a span, each
// with its identity, its occurrence, the record before it and its payload (series_share.h).
// On the pusher's thread, on its connection.
platform::Result<std::vector<fleet::Outbox::SpanRecord>> readSharedSpan(QSqlDatabase& db,
                                                                        const QByteArray& reference,
                                                                        std::int64_t firstPosition,
                                                                        std::size_t count);

// The series' requeuer of the records an older program noted as refused (fleet/outbox.h),
// inside the caller's transaction. On the pusher's thread, on its connection.
platform::Result<void> queueRefusedRecords(QSqlDatabase& db,
                                           const std::vector<fleet::Outbox::Refused>& refused);

// The series' part of what sharing reads: the span reader, the record lookup, and the
// requeuer of the files that have a "segments" table. A program adds the register's
// (unitreg::addSharingSources) and hands the whole to fleet/.
fleet::SharingSources sharingSources();

} // namespace series
