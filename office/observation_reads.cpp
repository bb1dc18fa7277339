// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/observation_reads.h"

#include "fleet/server_values.h"
#include "office/observation_deriver.h"
#include "office/read_connections.h"
#include "platform/checked_number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <tuple>

namespace office {

namespace {

using fleet::PgConnection;
using fleet::PgParam;
using fleet::PgResult;

constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
// PostgreSQL's "undefined table": a server before schema 12.
constexpr const char* kNoTable = "42P01";

std::string number(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc{} ? end : buf);
}

const char* comparison(TimeComparison::Op op) {
    switch (op) {
    case TimeComparison::Op::Eq:
        return " AND o.utc = $";
    case TimeComparison::Op::Gt:
        return " AND o.utc > $";
    case TimeComparison::Op::Ge:
        return " AND o.utc >= $";
    case TimeComparison::Op::Lt:
        return " AND o.utc < $";
    case TimeComparison::Op::Le:
        return " AND o.utc <= $";
    }
    return " AND false AND $";
}

// One node of a condition: `exact` asks for the evaluation's three values (true, false, null as
// the evaluation's Bool and Null); otherwise only where it is true matters (null and false
// are alike to a WHERE and to and/or, which look at their sides' truth alone).
bool appendCondition(const FilterNode& n, bool exact, DerivedCondition& c);

// A comparison of result with a number, or of phenomenonTime with a time, either way round.
bool appendComparison(const FilterNode& n, DerivedCondition& c) {
    static const std::tuple<const char*, const char*, const char*> ops[] = {
        {"eq", "=", "="},   {"ne", "<>", "<>"}, {"gt", ">", "<"},
        {"ge", ">=", "<="}, {"lt", "<", ">"},   {"le", "<=", ">="}};
    const char* sqlOp = nullptr;
    const FilterNode& l = *n.args[0];
    const FilterNode& r = *n.args[1];
    const bool pathLeft = l.kind == FilterNode::Kind::Path;
    const FilterNode& path = pathLeft ? l : r;
    const FilterNode& other = pathLeft ? r : l;
    for (const auto& [name, left, right] : ops)
        if (n.op == QLatin1String(name))
            sqlOp = pathLeft ? left : right;
    if (!sqlOp || path.kind != FilterNode::Kind::Path || path.path.size() != 1)
        return false;
    // A number literal, or one negated ("-5" is read as the negation of 5).
    std::optional<double> number;
    if (other.kind == FilterNode::Kind::Literal && other.literal.type == FilterValue::Type::Number)
        number = other.literal.n;
    else if (other.kind == FilterNode::Kind::Negate &&
             other.args[0]->kind == FilterNode::Kind::Literal &&
             other.args[0]->literal.type == FilterValue::Type::Number)
        number = -other.args[0]->literal.n;
    if (path.path.front() == QLatin1String("phenomenonTime")) {
        if (other.kind != FilterNode::Kind::Literal ||
            other.literal.type != FilterValue::Type::Time)
            return false;
        c.sql += std::string("o.utc ") + sqlOp + " ?"; // never null: every row has its time
        c.values.push_back(other.literal.n);
        return true;
    }
    if (path.path.front() != QLatin1String("result") || !number || !std::isfinite(*number))
        return false;
    // A result that is no number is neither equal to a number (eq false, ne true) nor ordered
    // against it (null).
    const std::string op = sqlOp;
    c.sql += op == "="    ? "COALESCE(o.result = ?, false)"
             : op == "<>" ? "COALESCE(o.result <> ?, true)"
                          : "o.result " + op + " ?";
    c.values.push_back(*number);
    return true;
}

bool appendCondition(const FilterNode& n, bool exact, DerivedCondition& c) {
    if (n.kind == FilterNode::Kind::Not) {
        // Not of null is null, as in SQL.
        c.sql += "(NOT ";
        if (!appendCondition(*n.args[0], true, c))
            return false;
        c.sql += ")";
        return true;
    }
    if (n.kind != FilterNode::Kind::Binary)
        return false;
    const bool both = n.op == QLatin1String("and");
    if (!both && n.op != QLatin1String("or"))
        return appendComparison(n, c);
    // And and or are true or false, never null: a side that is null counts as false.
    c.sql += exact ? "COALESCE((" : "(";
    if (!appendCondition(*n.args[0], false, c))
        return false;
    c.sql += both ? " AND " : " OR ";
    if (!appendCondition(*n.args[1], false, c))
        return false;
    c.sql += exact ? "), false)" : ")";
    return true;
}

std::vector<PgParam> parametersOf(const DerivedAsk& ask, std::int64_t stream, bool count) {
    std::vector<PgParam> p;
    if (ask.stream)
        p.push_back(PgParam::text(std::to_string(stream)));
    for (const TimeComparison& c : ask.time)
        p.push_back(PgParam::text(number(c.seconds)));
    if (ask.condition)
        for (const double v : ask.condition->values)
            p.push_back(PgParam::text(number(v)));
    if (!count) {
        // One row more than the page: whether another page follows.
        p.push_back(PgParam::text(std::to_string(ask.top + 1)));
        p.push_back(PgParam::text(std::to_string(ask.skip)));
    }
    return p;
}

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string latin1(const std::string& utf8Text) {
    const QByteArray b = utf8(utf8Text).toLatin1();
    return std::string(b.constData(), std::size_t(b.size()));
}

// A statement the server ended at the statement time-out (its "query_canceled"), or whose answer
// did not come within it, asked more than the service's bound: 413, naming it, rather than the
// server's being unavailable.
ReadError unavailable(const char* what, const PgResult& r) {
    if (r.sqlState() == "57014" || r.timedOut())
        return {ReadError::Kind::TooLarge,
                QString::fromLatin1(what) +
                    QStringLiteral(": the query took longer than the statement time-out; narrow "
                                   "it by a phenomenonTime range or ask one Datastream")};
    return {ReadError::Kind::Unavailable,
            QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromStdString(r.error())};
}

} // namespace

std::string derivedObservationsSql(const DerivedAsk& ask, bool count, int& parameters) {
    std::string sql = count ? "SELECT pg_catalog.count(*) FROM xrq.derived_observations o"
                            : "SELECT d.unit, d.data_set, d.field, o.segment, o.place, o.utc, "
                              "o.utc_offset, o.flags, o.record FROM xrq.derived_observations o "
                              "JOIN xrq.derived_datastreams d ON d.id = o.datastream";
    parameters = 0;
    sql += ask.stream ? " WHERE o.datastream = $" + std::to_string(++parameters) : " WHERE true";
    for (const TimeComparison& c : ask.time)
        sql += comparison(c.op) + std::to_string(++parameters);
    if (ask.condition) {
        // Each "?" of the fixed fragments numbered in turn: no value is ever in the text.
        sql += " AND ";
        for (const char ch : ask.condition->sql)
            sql += ch == '?' ? "$" + std::to_string(++parameters) : std::string(1, ch);
    }
    if (count)
        return sql;
    // The order the per-request path gives: in time (ties by Datastream, then the series'
    // order) or the series' own, Datastream after Datastream.
    const std::string streams = ask.stream ? "" : "d.unit COLLATE \"C\", d.data_set, d.field, ";
    switch (ask.order) {
    case DerivedAsk::Order::Series:
        sql += " ORDER BY " + streams + "o.ordinal";
        break;
    case DerivedAsk::Order::TimeAscending:
        sql += " ORDER BY o.utc, " + streams + "o.ordinal";
        break;
    case DerivedAsk::Order::TimeDescending:
        sql += " ORDER BY o.utc DESC, " + streams + "o.ordinal";
        break;
    }
    sql += " LIMIT $" + std::to_string(++parameters);
    sql += " OFFSET $" + std::to_string(++parameters);
    return sql;
}

std::optional<DerivedCondition> derivedConditionOf(const FilterNode& tree) {
    DerivedCondition c;
    if (!appendCondition(tree, false, c))
        return std::nullopt;
    return c;
}

// Whole: the copy's state asked, then its page and count, each answer read with checks.
DerivedPage readDerivedObservations(const std::string& conninfo, const DerivedAsk& ask,
                                    const ReadLimits& limits) {
    DerivedPage page;
    platform::Result<ReadConnections::Lease> taken =
        ReadConnections::shared().take(conninfo, limits);
    if (!taken) {
        page.error = readErrorOf(taken.error());
        return page;
    }
    PgConnection& pg = *taken.value();
    std::int64_t stream = 0;
    if (ask.stream) {
        // The Datastream's row, and whether its series was derived at its facts' signature.
        const PgResult r =
            pg.exec(std::string("SELECT d.id, (s.facts, s.newest, s.trust, s.clocks) = (a.facts, "
                                "a.newest, a.trust, a.clocks) FROM xrq.derived_datastreams d "
                                "JOIN xrq.derived_series s ON s.id = d.series CROSS JOIN ") +
                        kOneSignatureSql + "WHERE d.unit = $1 AND d.data_set = $2 AND d.field = $3",
                    {PgParam::text(ask.stream->unit.toStdString()),
                     PgParam::text(ask.stream->dataSet.toStdString()),
                     PgParam::text(std::to_string(ask.stream->field))},
                    limits.statementTimeout);
        if (!r.ok()) {
            if (r.sqlState() != kNoTable)
                page.error = unavailable("the derived Observations not read", r);
            return page;
        }
        if (r.rows() != 1 || r.value(0, 1) != "t")
            return page;
        stream = fleet::integerAt(r, 0, 0, 1, kMost).value_or(0);
        if (stream == 0)
            return page;
    } else {
        const PgResult r =
            pg.exec(std::string("SELECT EXISTS (SELECT FROM xrq.derived_series), (SELECT "
                                "pg_catalog.count(*) FROM ") +
                        kSignaturesSql + kBehindSql + ")",
                    {}, limits.statementTimeout);
        if (!r.ok()) {
            if (r.sqlState() != kNoTable)
                page.error = unavailable("the derived Observations not read", r);
            return page;
        }
        if (r.rows() != 1 || r.value(0, 0) != "t")
            return page;
        page.seriesBehind = fleet::integerAt(r, 0, 1, 0, kMost).value_or(0);
    }
    int parameters = 0;
    if (ask.skip > limits.mostSkipped) {
        // Past the end is an empty page; a page deeper than the bound within the rows is
        // refused: OFFSET reads every row it passes over.
        const PgResult r = pg.exec(derivedObservationsSql(ask, true, parameters),
                                   parametersOf(ask, stream, true), limits.statementTimeout);
        if (!r.ok()) {
            page.error = unavailable("the derived Observations not counted", r);
            return page;
        }
        const long long total = fleet::integerAt(r, 0, 0, 0, kMost).value_or(0);
        if (ask.skip < total) {
            page.error = {ReadError::Kind::TooLarge,
                          QStringLiteral("$skip passes over at most %1 Observations; narrow the "
                                         "page with a $filter on phenomenonTime instead")
                              .arg(limits.mostSkipped)};
            return page;
        }
        if (ask.count)
            page.total = total;
        page.served = true;
        return page;
    }
    PgResult r = pg.exec(derivedObservationsSql(ask, false, parameters),
                         parametersOf(ask, stream, false), limits.statementTimeout);
    if (!r.ok()) {
        page.error = unavailable("the derived Observations not read", r);
        return page;
    }
    for (int i = 0; i < r.rows() && int(page.rows.size()) < ask.top; ++i) {
        DerivedObservation o;
        o.unit = utf8(r.value(i, 0));
        o.dataSet = utf8(r.value(i, 1));
        const auto field = fleet::integerAt(r, i, 2, 1, 100000);
        const auto segment = fleet::integerAt(r, i, 3, 1, std::numeric_limits<int>::max());
        const auto place = fleet::integerAt(r, i, 4, 0, kMost);
        const auto utc = platform::parseFinite(r.value(i, 5), -1e13, 1e13);
        const auto offset = fleet::integerAt(r, i, 6, -86400, 86400);
        if (!field || !segment || !place || !utc || !offset)
            continue; // rows the deriver writes are always in range; a broken one is left out
        o.field = int(*field);
        o.segment = int(*segment);
        o.place = std::uint64_t(*place);
        o.utc = *utc;
        o.offset = int(*offset);
        o.flags = latin1(r.value(i, 7));
        o.record = latin1(r.value(i, 8));
        page.rows.push_back(std::move(o));
    }
    page.more = ask.top > 0 && r.rows() > ask.top;
    if (ask.count) {
        r = pg.exec(derivedObservationsSql(ask, true, parameters), parametersOf(ask, stream, true),
                    limits.statementTimeout);
        if (!r.ok()) {
            page.error = unavailable("the derived Observations not counted", r);
            return page;
        }
        page.total = fleet::integerAt(r, 0, 0, 0, kMost).value_or(0);
    }
    page.served = true;
    return page;
}

} // namespace office
