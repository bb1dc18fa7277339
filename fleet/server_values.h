// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading what the server holds as what others wrote: every laptop role can insert facts, and
// a server made before its checks holds whatever was inserted (a payload value of the wrong
// type, a battery of 1e400 V, a visit at 'infinity' or in the year 9999). Each reader of the
// server (the laptops' windows and exports, xrq-series, the office) takes its values through
// here: a value that does not pass is nothing, the fact it belongs to is skipped and counted
// in UnreadFacts, and what was skipped is told where the unit is shown. A reader never throws
// and never stops on a fact.
//
// Times: a fact's time is read as PostgreSQL gives it (msSql), which for 'infinity' is a word
// and not a number. Which times may be a unit's last visit is fleet/laptop_roles.h's one
// rule (timeTakenSql: not stamped by a clock ahead).

#include "fleet/fact_values.h"
#include "fleet/laptop_roles.h"
#include "fleet/pg_connection.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// The SQL text of `timeExpression` (a timestamptz) as ms since 1970, as text that msAt reads:
// 'Infinity' and '-Infinity' come through as words instead of failing the whole statement
// (a cast of an infinite epoch to bigint is an error on the server).
std::string msSql(std::string_view timeExpression);

// A checked value of row `row`, column `column`: nothing when NULL or not within range.
std::optional<std::int64_t> msAt(const PgResult& r, int row, int column);
std::optional<std::int64_t> integerAt(const PgResult& r, int row, int column, std::int64_t least,
                                      std::int64_t most);
std::optional<double> finiteAt(const PgResult& r, int row, int column, double least, double most);

// The roles that pushed the facts of these ids (xrq.events' and xrq.kept_downloads'),
// by id; empty when not read (the caller then names the laptops). One statement.
std::map<QString, QString> pushersOf(PgConnection& pg, const std::vector<QString>& ids,
                                     std::chrono::milliseconds timeout);

} // namespace fleet
