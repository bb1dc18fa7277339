// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/observation_reads.h"

#include "fleet/server_values.h"
#include "office/observation_deriver.h"
#include "office/read_connections.h"
#include "platform/checked_number.h"
#include "series/series_share.h"

#include <algorithm>
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

// ---- The sites' Datastreams, from their pieces ----

// One piece of a site's Datastream as its page reads it.
struct Piece {
    std::int64_t datastream = 0;
    QString unit, dataSet;
    int field = 0, source = 0, least = 0, tie = 0;
    std::int64_t fromMs = 0;
    std::optional<std::int64_t> toMs;
    std::optional<std::pair<double, double>> calibration;
    std::int64_t deployedMs = 0;
    long long records = 0;
};

// A site Datastream's pieces are read one branch each (an index range of its unit Datastream):
// beyond this many, its page is derived as before.
constexpr int kMostPieces = 2000;

std::optional<double> doubleAt(const PgResult& r, int row, int column) {
    if (r.isNull(row, column))
        return std::nullopt;
    return platform::parseFinite(r.value(row, column), -1e300, 1e300);
}

// Whether the site's pieces are as its facts and series stand, none of its units' series
// behind; where they are behind, page.sitesBehind says so. False with page.error set when the
// server failed.
bool siteCurrent(PgConnection& pg, const QString& site, const ReadLimits& limits,
                 DerivedPage& page) {
    const PgResult r = pg.exec(
        std::string("SELECT g.served, g.site_facts = ") + kSiteFactsSignatureSql +
            " AND g.series = " + kSiteSeriesSignatureSql +
            ", (SELECT pg_catalog.count(*) FROM (SELECT a.unit FROM " + kSignaturesSql +
            kBehindSql +
            ") b WHERE b.unit IN (SELECT u.unit FROM xrq.derived_site_units u WHERE u.site = "
            "g.site)) FROM xrq.derived_sites g WHERE g.site = $1",
        {PgParam::text(site.toStdString())}, limits.statementTimeout);
    if (!r.ok()) {
        if (r.sqlState() != kNoTable)
            page.error = unavailable("the derived Observations not read", r);
        return false;
    }
    // No row: no such site, or one the deriver has not seen yet (derived as before either way).
    const bool current = r.rows() == 1 && r.value(0, 1) == "t" && r.value(0, 2) == "0";
    if (r.rows() == 1 && !current)
        page.sitesBehind = 1;
    return current && r.value(0, 0) == "t";
}

// A read connection on which the site's pieces stand as its facts and series do; none where
// they do not (state.sitesBehind says so) or the server failed (state.error).
ReadConnections::Lease leaseWithSiteCurrent(const std::string& conninfo, const QString& site,
                                            const ReadLimits& limits, DerivedPage& state) {
    platform::Result<ReadConnections::Lease> taken =
        ReadConnections::shared().take(conninfo, limits);
    if (!taken) {
        state.error = readErrorOf(taken.error());
        return {};
    }
    if (!siteCurrent(*taken.value(), site, limits, state))
        return {};
    return std::move(taken.value());
}

bool readPieces(PgConnection& pg, const DerivedAsk::SiteStream& s, const ReadLimits& limits,
                std::vector<Piece>& out, DerivedPage& page) {
    const PgResult r =
        pg.exec("SELECT datastream, unit, data_set, field, source, least_cell, from_ms, to_ms, "
                "a, b, deployed_ms, records FROM xrq.derived_site_pieces WHERE site = $1 AND "
                "stream = $2 ORDER BY source, from_ms, field",
                {PgParam::text(s.site.toStdString()), PgParam::text(s.id.toStdString())},
                limits.statementTimeout);
    if (!r.ok()) {
        page.error = unavailable("the derived Observations not read", r);
        return false;
    }
    for (int i = 0; i < r.rows(); ++i) {
        Piece p;
        const auto stream = fleet::integerAt(r, i, 0, 1, kMost);
        const auto field = fleet::integerAt(r, i, 3, 1, 100000);
        const auto source = fleet::integerAt(r, i, 4, 0, 1 << 30);
        const auto least = fleet::integerAt(r, i, 5, 0, 3);
        const auto from =
            fleet::integerAt(r, i, 6, std::numeric_limits<std::int64_t>::min(), kMost);
        const auto deployed =
            fleet::integerAt(r, i, 10, std::numeric_limits<std::int64_t>::min(), kMost);
        const auto records = fleet::integerAt(r, i, 11, 0, kMost);
        if (!stream || !field || !source || !least || !from || !deployed || !records)
            return false; // pieces the deriver writes are always in range: derived as before
        p.datastream = *stream;
        p.unit = utf8(r.value(i, 1));
        p.dataSet = utf8(r.value(i, 2));
        p.field = int(*field);
        p.source = int(*source);
        p.least = int(*least);
        p.fromMs = *from;
        if (!r.isNull(i, 7))
            p.toMs = fleet::integerAt(r, i, 7, std::numeric_limits<std::int64_t>::min(), kMost);
        const auto a = doubleAt(r, i, 8), b = doubleAt(r, i, 9);
        if (a && b)
            p.calibration = std::pair(*a, *b);
        p.deployedMs = *deployed;
        p.records = *records;
        out.push_back(std::move(p));
    }
    // Rows at one time in the series' order: by unit (its bytes), then as the sources came.
    std::vector<std::pair<std::string, int>> ties;
    for (const Piece& p : out)
        ties.emplace_back(p.unit.toStdString(), p.source);
    std::sort(ties.begin(), ties.end());
    ties.erase(std::unique(ties.begin(), ties.end()), ties.end());
    for (Piece& p : out)
        p.tie = int(
            std::lower_bound(ties.begin(), ties.end(), std::pair(p.unit.toStdString(), p.source)) -
            ties.begin());
    return true;
}

// A page of the rows' keys selected by `sql` (its rows x: datastream, ordinal and what `order`
// names), cut by LIMIT and OFFSET as its next two parameters, then each row read whole by its key
// in the same order.
std::string pageOfKeys(std::string sql, const std::string& order, int& parameters) {
    sql += order;
    sql += " LIMIT $" + std::to_string(++parameters);
    sql += " OFFSET $" + std::to_string(++parameters);
    return sql +
           ") x JOIN xrq.derived_observations r ON r.datastream = x.datastream AND "
           "r.ordinal = x.ordinal" +
           order;
}

// A site Datastream's rows: a branch a piece, each value bound, the time's comparisons shared.
std::string siteStreamSql(const DerivedAsk& ask, std::size_t pieces, bool count, int& parameters) {
    parameters = int(ask.time.size());
    std::string time;
    int at = 0;
    for (const TimeComparison& c : ask.time)
        time += comparison(c.op) + std::to_string(++at);
    // Each piece's rows in its order, cut at the rows the page can reach: its index read in
    // order and stopped, the pieces' merged after.
    std::string reach;
    if (!count)
        reach = std::string(ask.order == DerivedAsk::Order::TimeDescending
                                ? " ORDER BY o.utc DESC, o.ordinal DESC"
                                : " ORDER BY o.utc, o.ordinal") +
                " LIMIT $" + std::to_string(++parameters);
    // The page found on narrow rows, then only its rows read whole (by the primary key).
    std::string sql =
        count ? "SELECT pg_catalog.count(*) FROM ("
              : "SELECT x.piece, r.segment, r.place, r.utc, r.utc_offset, r.flags, r.record FROM "
                "(SELECT * FROM (";
    for (std::size_t i = 0; i < pieces; ++i) {
        if (i)
            sql += " UNION ALL ";
        // Its parameters in siteStreamParameters' order, numbered one statement at a time.
        const auto n = [&] { return "$" + std::to_string(++parameters); };
        sql += "(SELECT " + n();
        sql += "::integer AS piece, " + n();
        sql += "::integer AS tie, o.datastream, o.ordinal, o.utc FROM "
               "xrq.derived_observations o WHERE o.datastream = " +
               n();
        sql += "::bigint AND o.utc >= " + n();
        sql += "::double precision AND o.utc < " + n();
        sql += "::double precision AND o.utc * 1000 >= " + n();
        sql += "::double precision AND o.utc * 1000 < " + n();
        sql += "::double precision AND o.cells[" + n();
        sql += "::integer] >= " + n();
        sql += "::smallint" + time + reach + ")";
    }
    if (count)
        return sql + ") x";
    const std::string order = ask.order == DerivedAsk::Order::TimeDescending
                                  ? " ORDER BY x.utc DESC, x.tie DESC, x.ordinal DESC"
                                  : " ORDER BY x.utc, x.tie, x.ordinal";
    return pageOfKeys(sql + ") x", order, parameters);
}

std::vector<PgParam> siteStreamParameters(const DerivedAsk& ask, const std::vector<Piece>& pieces,
                                          bool count) {
    std::vector<PgParam> p;
    for (const TimeComparison& c : ask.time)
        p.push_back(PgParam::text(number(c.seconds)));
    if (!count)
        p.push_back(PgParam::text(std::to_string(ask.skip + ask.top + 1)));
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const double from = double(piece.fromMs);
        const double to = piece.toMs ? double(*piece.toMs) : HUGE_VAL;
        p.push_back(PgParam::text(std::to_string(i)));
        p.push_back(PgParam::text(std::to_string(piece.tie)));
        p.push_back(PgParam::text(std::to_string(piece.datastream)));
        p.push_back(PgParam::text(number(from / 1000 - 1)));
        p.push_back(PgParam::text(piece.toMs ? number(to / 1000 + 1) : "Infinity"));
        p.push_back(PgParam::text(number(from)));
        p.push_back(PgParam::text(piece.toMs ? number(to) : "Infinity"));
        p.push_back(PgParam::text(std::to_string(piece.field)));
        p.push_back(PgParam::text(std::to_string(piece.least)));
    }
    if (!count) {
        p.push_back(PgParam::text(std::to_string(ask.top + 1)));
        p.push_back(PgParam::text(std::to_string(ask.skip)));
    }
    return p;
}

// A row's own fields (segment, place, utc, offset, flags, record from column `at` on) into `o`.
bool rowAt(const PgResult& r, int i, int at, SiteCopyObservation& o) {
    const auto segment = fleet::integerAt(r, i, at, 1, std::numeric_limits<int>::max());
    const auto place = fleet::integerAt(r, i, at + 1, 0, kMost);
    const auto utc = platform::parseFinite(r.value(i, at + 2), -1e13, 1e13);
    const auto offset = fleet::integerAt(r, i, at + 3, -86400, 86400);
    if (!segment || !place || !utc || !offset)
        return false; // rows the deriver writes are always in range
    o.segment = int(*segment);
    o.place = std::uint64_t(*place);
    o.utc = *utc;
    o.offset = int(*offset);
    o.flags = latin1(r.value(i, at + 4));
    o.record = latin1(r.value(i, at + 5));
    return true;
}

// The page's statement and, where asked (or the $skip is past the bound), its count: the rows
// each made by `row`, the bound on $skip as readDerivedObservations keeps it.
template <typename Row>
void servePage(PgConnection& pg, const DerivedAsk& ask, const ReadLimits& limits,
               const std::string& sql, const std::vector<PgParam>& params,
               const std::string& countSql, const std::vector<PgParam>& countParams,
               std::optional<long long> known, DerivedPage& page, Row&& row) {
    const auto counted = [&]() -> std::optional<long long> {
        if (known)
            return known;
        const PgResult r = pg.exec(countSql, countParams, limits.statementTimeout);
        if (!r.ok()) {
            page.error = unavailable("the derived Observations not counted", r);
            return std::nullopt;
        }
        return fleet::integerAt(r, 0, 0, 0, kMost).value_or(0);
    };
    if (ask.skip > limits.mostSkipped) {
        const std::optional<long long> total = counted();
        if (!total)
            return;
        if (ask.skip < *total) {
            page.error = {ReadError::Kind::TooLarge,
                          QStringLiteral("$skip passes over at most %1 Observations; narrow the "
                                         "page with a $filter on phenomenonTime instead")
                              .arg(limits.mostSkipped)};
            return;
        }
        if (ask.count)
            page.total = *total;
        page.served = true;
        return;
    }
    const PgResult r = pg.exec(sql, params, limits.statementTimeout);
    if (!r.ok()) {
        page.error = unavailable("the derived Observations not read", r);
        return;
    }
    for (int i = 0; i < r.rows() && int(page.rows.size()) < ask.top; ++i)
        if (std::optional<DerivedObservation> o = row(r, i))
            page.rows.push_back(std::move(*o));
    page.more = ask.top > 0 && r.rows() > ask.top;
    if (ask.count) {
        const std::optional<long long> total = counted();
        if (!total)
            return;
        page.total = *total;
    }
    page.served = true;
}

// Whole: whether the site's pieces are current, then its page from them.
void readSiteStream(PgConnection& pg, const DerivedAsk& ask, const ReadLimits& limits,
                    DerivedPage& page) {
    const DerivedAsk::SiteStream& s = *ask.siteStream;
    if (ask.condition || !siteCurrent(pg, s.site, limits, page))
        return;
    std::vector<Piece> pieces;
    if (!readPieces(pg, s, limits, pieces, page) || pieces.empty() ||
        int(pieces.size()) > kMostPieces)
        return;
    long long records = 0;
    for (const Piece& p : pieces)
        records += p.records;
    if (records == 0)
        return; // no such Datastream: the site's series shows none without a record
    int parameters = 0;
    const std::string sql = siteStreamSql(ask, pieces.size(), false, parameters);
    const std::string countSql = siteStreamSql(ask, pieces.size(), true, parameters);
    // Counted by the pieces where no time narrows it.
    const std::optional<long long> known = ask.time.empty() ? std::optional(records) : std::nullopt;
    servePage(pg, ask, limits, sql, siteStreamParameters(ask, pieces, false), countSql,
              siteStreamParameters(ask, pieces, true), known, page,
              [&](const PgResult& r, int i) -> std::optional<DerivedObservation> {
                  const auto at = fleet::integerAt(r, i, 0, 0, kMost);
                  SiteCopyObservation o;
                  if (!at || std::size_t(*at) >= pieces.size() || !rowAt(r, i, 1, o))
                      return std::nullopt;
                  const Piece& p = pieces[std::size_t(*at)];
                  o.site = s.site;
                  o.stream = s.id;
                  o.unit = p.unit;
                  o.dataSet = p.dataSet;
                  o.field = p.field;
                  o.calibration = p.calibration;
                  o.deployedMs = p.deployedMs;
                  DerivedObservation d;
                  d.site = std::move(o);
                  return d;
              });
}

// Every Datastream's rows, the units' and the sites': one branch each, the same fixed
// fragments as derivedObservationsSql for the time, every value bound.
std::string everyWithSitesSql(const DerivedAsk& ask, bool count, int& parameters) {
    parameters = 0;
    std::string time;
    for (const TimeComparison& c : ask.time)
        time += comparison(c.op) + std::to_string(++parameters);
    // Each branch in its order, cut at the rows the page can reach (the index read in order and
    // stopped), then the two merged: neither sorts all its rows.
    std::string units, sites;
    const std::string way = ask.order == DerivedAsk::Order::TimeDescending ? " DESC" : "";
    if (ask.order == DerivedAsk::Order::Series) {
        units = " ORDER BY d.unit COLLATE \"C\", d.data_set, d.field, o.ordinal";
        sites = " ORDER BY p.site COLLATE \"C\", p.place, o.utc, p.unit COLLATE \"C\", p.source, "
                "o.ordinal";
    } else {
        units = " ORDER BY o.utc" + way + ", d.unit COLLATE \"C\", d.data_set, d.field, o.ordinal";
        sites = " ORDER BY o.utc" + way +
                ", p.site COLLATE \"C\", p.place, p.unit COLLATE \"C\", p.source, o.ordinal";
    }
    if (!count) {
        const std::string reach = " LIMIT $" + std::to_string(++parameters);
        units += reach;
        sites += reach;
    } else {
        units.clear();
        sites.clear();
    }
    // The page found on narrow rows, then only its rows read whole (by the primary key).
    std::string sql =
        std::string(count ? "SELECT pg_catalog.count(*) FROM ("
                          : "SELECT x.kind, x.a, x.b, x.c, x.t, x.e, x.f, x.ordinal, "
                            "r.segment, r.place, r.utc, r.utc_offset, r.flags, r.record, "
                            "x.stream, x.unit, x.data_set, x.field, x.ca, x.cb, x.deployed, "
                            "x.site FROM (SELECT * FROM (") +
        "(SELECT 0 AS kind, d.unit AS a, d.data_set AS b, d.field AS c, 0::double precision AS "
        "t, ''::text AS e, 0 AS f, o.ordinal, o.datastream, o.utc, ''::text AS stream, d.unit "
        "AS unit, d.data_set AS data_set, d.field AS field, NULL::double precision AS ca, "
        "NULL::double precision AS cb, 0::bigint AS deployed, ''::text AS site FROM "
        "xrq.derived_observations o JOIN xrq.derived_datastreams d ON d.id = o.datastream "
        "WHERE true" +
        time + units +
        ") UNION ALL (SELECT 1, p.site, '', p.place, o.utc, p.unit, p.source, o.ordinal, "
        "o.datastream, o.utc, p.stream, p.unit, p.data_set, p.field, p.a, p.b, p.deployed_ms, "
        "p.site FROM xrq.derived_site_pieces p JOIN xrq.derived_observations o ON " +
        kPieceRowsSql + " AND o.cells[p.field] >= p.least_cell WHERE true" + time + sites + ")) x";
    if (count)
        return sql;
    // The per-request order: the units' Datastreams, then each site's in its properties'
    // order, each in its series' order; in time, those at one time in that order.
    const std::string ties =
        "x.kind, x.a COLLATE \"C\", x.b, x.c, x.e COLLATE \"C\", x.f, x.ordinal";
    std::string order;
    switch (ask.order) {
    case DerivedAsk::Order::Series:
        order = " ORDER BY x.kind, x.a COLLATE \"C\", x.b, x.c, x.t, x.e COLLATE \"C\", x.f, "
                "x.ordinal";
        break;
    case DerivedAsk::Order::TimeAscending:
        order = " ORDER BY x.utc, " + ties;
        break;
    case DerivedAsk::Order::TimeDescending:
        order = " ORDER BY x.utc DESC, " + ties;
        break;
    }
    return pageOfKeys(std::move(sql), order, parameters);
}

// Whole: whether every site's pieces are current, then the page of the units' and the sites'.
void readEveryWithSites(PgConnection& pg, const DerivedAsk& ask, const ReadLimits& limits,
                        DerivedPage& page) {
    if (ask.condition)
        return;
    const PgResult r = pg.exec(
        std::string("SELECT pg_catalog.count(*), pg_catalog.count(*) FILTER (WHERE g.site_facts "
                    "<> f.facts OR g.series <> COALESCE(c.series, '')), pg_catalog.count(*) "
                    "FILTER (WHERE NOT g.served) FROM xrq.derived_sites g CROSS JOIN (SELECT ") +
            kSiteFactsSignatureSql + " AS facts) f LEFT JOIN " + kSitesSeriesSignaturesSql +
            "ON c.site = g.site",
        {}, limits.statementTimeout);
    if (!r.ok()) {
        if (r.sqlState() != kNoTable)
            page.error = unavailable("the derived Observations not read", r);
        return;
    }
    // Every site of the facts has a row once the deriver has seen them (one it could not build
    // has one not served); none yet: derived as before.
    page.sitesBehind = fleet::integerAt(r, 0, 1, 0, kMost).value_or(0);
    if (page.sitesBehind > 0 || r.value(0, 0) == "0" || r.value(0, 2) != "0")
        return;
    int parameters = 0;
    const std::string sql = everyWithSitesSql(ask, false, parameters);
    const std::string countSql = everyWithSitesSql(ask, true, parameters);
    std::vector<PgParam> countParams;
    for (const TimeComparison& c : ask.time)
        countParams.push_back(PgParam::text(number(c.seconds)));
    std::vector<PgParam> params = countParams;
    params.push_back(PgParam::text(std::to_string(ask.skip + ask.top + 1)));
    params.push_back(PgParam::text(std::to_string(ask.top + 1)));
    params.push_back(PgParam::text(std::to_string(ask.skip)));
    servePage(pg, ask, limits, sql, params, countSql, countParams, std::nullopt, page,
              [&](const PgResult& r, int i) -> std::optional<DerivedObservation> {
                  SiteCopyObservation o;
                  const auto field = fleet::integerAt(r, i, 17, 1, 100000);
                  if (!field || !rowAt(r, i, 8, o))
                      return std::nullopt;
                  DerivedObservation d;
                  d.unit = utf8(r.value(i, 15));
                  d.dataSet = utf8(r.value(i, 16));
                  d.field = int(*field);
                  d.segment = o.segment;
                  d.place = o.place;
                  d.utc = o.utc;
                  d.offset = o.offset;
                  if (r.value(i, 0) == "0") {
                      d.flags = std::move(o.flags);
                      d.record = std::move(o.record);
                      return d;
                  }
                  const auto deployed =
                      fleet::integerAt(r, i, 20, std::numeric_limits<std::int64_t>::min(), kMost);
                  if (!deployed)
                      return std::nullopt;
                  o.site = utf8(r.value(i, 21));
                  o.stream = utf8(r.value(i, 14));
                  o.unit = d.unit;
                  o.dataSet = d.dataSet;
                  o.field = d.field;
                  const auto a = doubleAt(r, i, 18), b = doubleAt(r, i, 19);
                  if (a && b)
                      o.calibration = std::pair(*a, *b);
                  o.deployedMs = *deployed;
                  d.site = std::move(o);
                  return d;
              });
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

std::string derivedObservationsWithSitesSql(const DerivedAsk& ask, bool count, int& parameters) {
    return everyWithSitesSql(ask, count, parameters);
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
    if (ask.siteStream) {
        readSiteStream(pg, ask, limits, page);
        return page;
    }
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
        // Once a unit is deployed its records are a site's Observations too.
        if (ask.sites) {
            const PgResult deployed = pg.exec("SELECT EXISTS (SELECT FROM xrq.owned_site_facts "
                                              "WHERE kind = 'deployment')",
                                              {}, limits.statementTimeout);
            if (!deployed.ok() && deployed.sqlState() != kNoTable) { // none before schema 11
                page.error = unavailable("the derived Observations not read", deployed);
                return page;
            }
            if (deployed.ok() && deployed.rows() == 1 && deployed.value(0, 0) == "t") {
                readEveryWithSites(pg, ask, limits, page);
                return page;
            }
        }
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

// Whole: whether the site's pieces are current, then its Datastreams summed over them.
SiteStreamsRead readSiteStreamsFromPieces(const std::string& conninfo, const QString& site,
                                          const ReadLimits& limits) {
    SiteStreamsRead out;
    DerivedPage state;
    ReadConnections::Lease lease = leaseWithSiteCurrent(conninfo, site, limits, state);
    out.error = state.error;
    out.sitesBehind = state.sitesBehind;
    if (!lease)
        return out;
    PgConnection& pg = *lease;
    // Each unit's first time with a record of the stream orders its units.
    const PgResult r = pg.exec(
        "SELECT p.stream, pg_catalog.min(p.place), pg_catalog.min(p.property), "
        "pg_catalog.min(p.definition), pg_catalog.min(p.uom_code), pg_catalog.min(p.uom_symbol), "
        "pg_catalog.min(p.uom_name), pg_catalog.min(p.column_set), pg_catalog.sum(p.records), "
        "pg_catalog.min(p.first_utc), pg_catalog.max(p.last_utc), (SELECT "
        "pg_catalog.string_agg(u.unit, E'\\x1f' ORDER BY u.first, u.unit COLLATE \"C\") FROM "
        "(SELECT q.unit, pg_catalog.min(q.first_utc) AS first FROM xrq.derived_site_pieces q "
        "WHERE q.site = p.site AND q.stream = p.stream AND q.records > 0 GROUP BY q.unit) u) "
        "FROM xrq.derived_site_pieces p WHERE p.site = $1 GROUP BY p.site, p.stream HAVING "
        "pg_catalog.sum(p.records) > 0 ORDER BY 2",
        {PgParam::text(site.toStdString())}, limits.statementTimeout);
    if (!r.ok()) {
        out.error = unavailable("the derived Datastreams not read", r);
        return out;
    }
    for (int i = 0; i < r.rows(); ++i) {
        SiteStreamSummary s;
        const auto place = fleet::integerAt(r, i, 1, 1, 1 << 30);
        const auto records = fleet::integerAt(r, i, 8, 1, kMost);
        const auto first = platform::parseFinite(r.value(i, 9), -1e13, 1e13);
        const auto last = platform::parseFinite(r.value(i, 10), -1e13, 1e13);
        if (!place || !records || !first || !last)
            return out; // pieces the deriver writes are always in range: read as before
        s.index = std::size_t(*place - 1);
        s.records = *records;
        s.first = *first;
        s.last = *last;
        s.property.name = r.value(i, 2);
        s.property.definition = r.value(i, 3);
        s.property.uom = {utf8(r.value(i, 4)), utf8(r.value(i, 5)), utf8(r.value(i, 6))};
        s.property.dataSet = latin1(r.value(i, 7)); // the series' own bytes
        s.units = utf8(r.value(i, 11)).split(QChar(0x1f), Qt::SkipEmptyParts);
        out.streams.push_back(std::move(s));
    }
    out.served = true;
    return out;
}

// Whole: whether the site's pieces are current, its pieces of the record's unit and data set,
// then the record looked for in each (by its place, within the piece).
SiteObservationRead readSiteObservationFromPieces(const std::string& conninfo, const QString& site,
                                                  const QString& stream, const QString& id,
                                                  const ReadLimits& limits) {
    SiteObservationRead out;
    const std::optional<QStringList> key = id.startsWith(stream + QLatin1Char('/'))
                                               ? splitId(id.mid(stream.size() + 1), 4)
                                               : std::nullopt;
    bool segmentOk = false, placeOk = false;
    const int segment = key ? (*key)[2].toInt(&segmentOk) : 0;
    const qulonglong place = key ? (*key)[3].toULongLong(&placeOk) : 0;
    // Written as an identity writes them ("01" is no segment).
    if (!key || !segmentOk || !placeOk || segment < 1 || place > qulonglong(kMost) ||
        QString::number(segment) != (*key)[2] || QString::number(place) != (*key)[3]) {
        out.served = true; // no record is named so
        return out;
    }
    DerivedPage state;
    ReadConnections::Lease lease = leaseWithSiteCurrent(conninfo, site, limits, state);
    std::vector<Piece> pieces;
    if (!lease || !readPieces(*lease, {site, stream}, limits, pieces, state)) {
        out.error = state.error;
        return out;
    }
    PgConnection& pg = *lease;
    out.served = true;
    for (const Piece& p : pieces) {
        // The data set as an Observation's identity names it: the series' own name.
        const std::string name = series::dataSetOfShared(p.dataSet).first;
        if (p.unit != (*key)[0] || utf8(name) != (*key)[1])
            continue;
        const double from = double(p.fromMs);
        const double to = p.toMs ? double(*p.toMs) : HUGE_VAL;
        const PgResult r = pg.exec(
            "SELECT segment, place, utc, utc_offset, flags, record FROM "
            "xrq.derived_observations o WHERE o.datastream = $1::bigint AND o.segment = "
            "$2::integer AND o.place = $3::bigint AND o.utc >= $4::double precision AND o.utc < "
            "$5::double precision AND o.utc * 1000 >= $6::double precision AND o.utc * 1000 < "
            "$7::double precision AND o.cells[$8::integer] >= $9::smallint",
            {PgParam::text(std::to_string(p.datastream)), PgParam::text(std::to_string(segment)),
             PgParam::text(std::to_string(place)), PgParam::text(number(from / 1000 - 1)),
             PgParam::text(p.toMs ? number(to / 1000 + 1) : "Infinity"),
             PgParam::text(number(from)), PgParam::text(p.toMs ? number(to) : "Infinity"),
             PgParam::text(std::to_string(p.field)), PgParam::text(std::to_string(p.least))},
            limits.statementTimeout);
        if (!r.ok()) {
            out.error = unavailable("the derived Observation not read", r);
            return out;
        }
        SiteCopyObservation o;
        if (r.rows() < 1 || !rowAt(r, 0, 0, o))
            continue;
        o.site = site;
        o.stream = stream;
        o.unit = p.unit;
        o.dataSet = p.dataSet;
        o.field = p.field;
        o.calibration = p.calibration;
        o.deployedMs = p.deployedMs;
        out.observation = std::move(o);
        return out;
    }
    return out;
}

} // namespace office
