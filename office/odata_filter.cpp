// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/odata_filter.h"

#include "office/odata_query.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace office {

namespace {

struct Token {
    enum class Kind { End, Name, Number, String, Time, Geo, Open, Close, Comma, Minus };
    Kind kind = Kind::End;
    QString text;
    FilterValue value;
};

bool isNameStart(QChar c) {
    return (c.isLetter() && c.unicode() < 0x80) || c == QLatin1Char('_') || c == QLatin1Char('@') ||
           c == QLatin1Char('$');
}
bool isNameChar(QChar c) {
    return isNameStart(c) || (c.isDigit() && c.unicode() < 0x80) || c == QLatin1Char('.') ||
           c == QLatin1Char('/'); // a path's steps
}
bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// "+01:00", "-05:30", "Z" at the end of an ISO time: its offset in minutes.
int offsetMinutesOf(QStringView t) {
    if (t.endsWith(QLatin1Char('Z')) || t.size() < 6)
        return 0;
    const QStringView z = t.last(6);
    if (z[0] != QLatin1Char('+') && z[0] != QLatin1Char('-'))
        return 0;
    const int m = (z[1].unicode() - '0') * 600 + (z[2].unicode() - '0') * 60 +
                  (z[4].unicode() - '0') * 10 + (z[5].unicode() - '0');
    return z[0] == QLatin1Char('-') ? -m : m;
}

// An ISO date-time with its zone, or a date (its midnight, UTC); the start of an interval
// "a/b".
std::optional<FilterValue> timeOf(QStringView text) {
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash >= 0)
        text = text.first(slash);
    FilterValue v;
    v.type = FilterValue::Type::Time;
    if (text.size() == 10) {
        const std::optional<double> t =
            parseIsoTime(text.toString() + QStringLiteral("T00:00:00Z"));
        if (!t)
            return std::nullopt;
        v.n = *t;
        return v;
    }
    const std::optional<double> t = parseIsoTime(text);
    if (!t)
        return std::nullopt;
    v.n = *t;
    v.offsetMinutes = offsetMinutesOf(text);
    return v;
}

// "x y" pairs separated by commas.
bool readPoints(QStringView text, std::vector<std::pair<double, double>>& out) {
    for (const QStringView pair : text.split(QLatin1Char(','))) {
        const QList<QStringView> xy = pair.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (xy.size() != 2)
            return false;
        bool okX = false, okY = false;
        const double x = xy[0].toDouble(&okX), y = xy[1].toDouble(&okY);
        if (!okX || !okY || !std::isfinite(x) || !std::isfinite(y))
            return false;
        out.emplace_back(x, y);
        if (out.size() > 1000)
            return false;
    }
    return !out.empty();
}

// Well-known text of a point, a line or a polygon's outer ring.
std::shared_ptr<const Geometry> readWkt(QStringView text) {
    text = text.trimmed();
    auto g = std::make_shared<Geometry>();
    auto body = [&](const char* word, int parens) -> std::optional<QStringView> {
        if (!text.startsWith(QLatin1String(word), Qt::CaseInsensitive))
            return std::nullopt;
        QStringView rest = text.sliced(qsizetype(std::strlen(word))).trimmed();
        for (int i = 0; i < parens; ++i) {
            if (!rest.startsWith(QLatin1Char('(')) || !rest.endsWith(QLatin1Char(')')))
                return std::nullopt;
            rest = rest.sliced(1, rest.size() - 2).trimmed();
        }
        return rest;
    };
    if (const auto p = body("POINT", 1)) {
        g->kind = Geometry::Kind::Point;
        if (!readPoints(*p, g->points) || g->points.size() != 1)
            return nullptr;
    } else if (const auto l = body("LINESTRING", 1)) {
        g->kind = Geometry::Kind::LineString;
        if (!readPoints(*l, g->points) || g->points.size() < 2)
            return nullptr;
    } else if (const auto q = body("POLYGON", 2)) {
        g->kind = Geometry::Kind::Polygon;
        if (q->contains(QLatin1Char('(')) || !readPoints(*q, g->points) || g->points.size() < 4 ||
            g->points.front() != g->points.back())
            return nullptr;
    } else {
        return nullptr;
    }
    return g;
}

// A GeoJSON Point, LineString or Polygon (its outer ring).
std::shared_ptr<const Geometry> readGeoJson(const QJsonObject& o) {
    const QString type = o.value(QLatin1String("type")).toString();
    const QJsonArray c = o.value(QLatin1String("coordinates")).toArray();
    auto g = std::make_shared<Geometry>();
    auto pair = [](const QJsonValue& v, std::vector<std::pair<double, double>>& out) {
        const QJsonArray a = v.toArray();
        if (a.size() < 2 || !a[0].isDouble() || !a[1].isDouble())
            return false;
        out.emplace_back(a[0].toDouble(), a[1].toDouble());
        return true;
    };
    if (type == QLatin1String("Point")) {
        if (!pair(c, g->points))
            return nullptr;
    } else if (type == QLatin1String("LineString") || type == QLatin1String("Polygon")) {
        g->kind =
            type == QLatin1String("Polygon") ? Geometry::Kind::Polygon : Geometry::Kind::LineString;
        const QJsonArray ring = g->kind == Geometry::Kind::Polygon ? c.first().toArray() : c;
        if (ring.size() > 1000)
            return nullptr;
        for (const QJsonValue& p : ring)
            if (!pair(p, g->points))
                return nullptr;
        if (g->points.size() < 2)
            return nullptr;
    } else {
        return nullptr;
    }
    return g;
}

class Lexer {
public:
    explicit Lexer(QStringView s) : m_s(s) {}

    // False with `why` on a character outside the grammar.
    bool next(Token& t, QString& why) {
        while (m_at < m_s.size() && m_s[m_at] == QLatin1Char(' '))
            ++m_at;
        t = Token{};
        if (m_at >= m_s.size())
            return true;
        const QChar c = m_s[m_at];
        if (c == QLatin1Char('(') || c == QLatin1Char(')') || c == QLatin1Char(',')) {
            t.kind = c == QLatin1Char('(')   ? Token::Kind::Open
                     : c == QLatin1Char(')') ? Token::Kind::Close
                                             : Token::Kind::Comma;
            ++m_at;
            return true;
        }
        if (c == QLatin1Char('\''))
            return string(t, why);
        if (c == QLatin1Char('-') && !(m_at + 1 < m_s.size() && isDigit(m_s[m_at + 1]))) {
            t.kind = Token::Kind::Minus;
            ++m_at;
            return true;
        }
        if (isDigit(c) || c == QLatin1Char('-'))
            return number(t, why);
        if (isNameStart(c)) {
            const qsizetype begin = m_at;
            while (m_at < m_s.size() && isNameChar(m_s[m_at]))
                ++m_at;
            t.kind = Token::Kind::Name;
            t.text = m_s.sliced(begin, m_at - begin).toString();
            if (t.text == QLatin1String("geography") && m_at < m_s.size() &&
                m_s[m_at] == QLatin1Char('\'')) {
                if (!string(t, why))
                    return false;
                t.kind = Token::Kind::Geo;
                t.value.type = FilterValue::Type::Geo;
                t.value.geo = readWkt(t.value.s);
                if (!t.value.geo) {
                    why = QStringLiteral("$filter's geography literals are POINT(x y), "
                                         "LINESTRING(x y, ...) or POLYGON((x y, ...))");
                    return false;
                }
            }
            return true;
        }
        why = QStringLiteral("$filter has a character it does not take at %1").arg(m_at);
        return false;
    }

private:
    bool string(Token& t, QString& why) {
        ++m_at;
        QString text;
        for (;;) {
            if (m_at >= m_s.size()) {
                why = QStringLiteral("$filter has a string without its closing quote");
                return false;
            }
            if (m_s[m_at] == QLatin1Char('\'')) {
                if (m_at + 1 < m_s.size() && m_s[m_at + 1] == QLatin1Char('\'')) {
                    text += QLatin1Char('\'');
                    m_at += 2;
                    continue;
                }
                ++m_at;
                break;
            }
            text += m_s[m_at++];
        }
        t.kind = Token::Kind::String;
        t.value.type = FilterValue::Type::String;
        t.value.s = text;
        return true;
    }

    bool number(Token& t, QString& why) {
        const qsizetype begin = m_at;
        // A date or a time: four digits and a '-'.
        if (m_at + 4 < m_s.size() && m_s[m_at + 4] == QLatin1Char('-') &&
            std::all_of(m_s.begin() + m_at, m_s.begin() + m_at + 4, isDigit)) {
            while (m_at < m_s.size() &&
                   (isDigit(m_s[m_at]) || QStringLiteral("-:.TZ+").contains(m_s[m_at])))
                ++m_at;
            const std::optional<FilterValue> v = timeOf(m_s.sliced(begin, m_at - begin));
            if (!v) {
                why = QStringLiteral("$filter's times are ISO 8601 with a zone, as "
                                     "2026-12-01T08:00:00Z, or dates as 2026-12-01");
                return false;
            }
            t.kind = Token::Kind::Time;
            t.value = *v;
            return true;
        }
        if (m_s[m_at] == QLatin1Char('-'))
            ++m_at;
        while (m_at < m_s.size() &&
               (isDigit(m_s[m_at]) || m_s[m_at] == QLatin1Char('.') ||
                m_s[m_at] == QLatin1Char('e') || m_s[m_at] == QLatin1Char('E') ||
                ((m_s[m_at] == QLatin1Char('+') || m_s[m_at] == QLatin1Char('-')) &&
                 (m_s[m_at - 1] == QLatin1Char('e') || m_s[m_at - 1] == QLatin1Char('E')))))
            ++m_at;
        bool ok = false;
        const QStringView text = m_s.sliced(begin, m_at - begin);
        const double n = text.size() <= 32 ? text.toDouble(&ok) : 0;
        if (!ok || !std::isfinite(n)) {
            why = QStringLiteral("$filter has a number it cannot read: %1").arg(text.left(32));
            return false;
        }
        t.kind = Token::Kind::Number;
        t.value.type = FilterValue::Type::Number;
        t.value.n = n;
        return true;
    }

    QStringView m_s;
    qsizetype m_at = 0;
};

struct FunctionArity {
    const char* name;
    int least, most;
};
constexpr FunctionArity kFunctions[] = {
    {"substringof", 2, 2},   {"endswith", 2, 2},    {"startswith", 2, 2},
    {"contains", 2, 2},      {"length", 1, 1},      {"indexof", 2, 2},
    {"substring", 2, 3},     {"tolower", 1, 1},     {"toupper", 1, 1},
    {"trim", 1, 1},          {"concat", 2, 2},      {"year", 1, 1},
    {"month", 1, 1},         {"day", 1, 1},         {"hour", 1, 1},
    {"minute", 1, 1},        {"second", 1, 1},      {"fractionalseconds", 1, 1},
    {"date", 1, 1},          {"time", 1, 1},        {"totaloffsetminutes", 1, 1},
    {"now", 0, 0},           {"mindatetime", 0, 0}, {"maxdatetime", 0, 0},
    {"round", 1, 1},         {"floor", 1, 1},       {"ceiling", 1, 1},
    {"geo.distance", 2, 2},  {"geo.length", 1, 1},  {"geo.intersects", 2, 2},
    {"st_equals", 2, 2},     {"st_disjoint", 2, 2}, {"st_touches", 2, 2},
    {"st_within", 2, 2},     {"st_overlaps", 2, 2}, {"st_crosses", 2, 2},
    {"st_intersects", 2, 2}, {"st_contains", 2, 2}, {"st_relate", 3, 3},
};

class Parser {
public:
    Parser(QStringView s, QueryRefusal& refusal) : m_lexer(s), m_refusal(refusal) {}

    std::optional<FilterTree> parse() {
        if (!advance())
            return std::nullopt;
        FilterTree t = binary(0);
        if (!t)
            return std::nullopt;
        if (m_token.kind != Token::Kind::End) {
            fail(QStringLiteral("$filter has more after a whole expression"));
            return std::nullopt;
        }
        return t;
    }

private:
    static constexpr const char* kLevels[][3] = {
        {"or", nullptr, nullptr}, {"and", nullptr, nullptr}, {"eq", "ne", nullptr},
        {"gt", "ge", "lt"},       {"add", "sub", nullptr},   {"mul", "div", "mod"}};
    static constexpr int kLevelCount = 6;

    bool advance() {
        QString why;
        if (!m_lexer.next(m_token, why)) {
            m_refusal = {400, why};
            return false;
        }
        return true;
    }

    std::nullptr_t fail(const QString& why, int status = 400) {
        if (m_refusal.why.isEmpty())
            m_refusal = {status, why};
        return nullptr;
    }

    std::shared_ptr<FilterNode> node(FilterNode::Kind kind) {
        if (++m_nodes > kMostFilterNodes) {
            fail(QStringLiteral("$filter has more than %1 terms (the bound on a query's size)")
                     .arg(kMostFilterNodes),
                 413);
            return nullptr;
        }
        auto n = std::make_shared<FilterNode>();
        n->kind = kind;
        return n;
    }

    bool opAt(int level, QString& op) const {
        if (m_token.kind != Token::Kind::Name)
            return false;
        for (const char* name : kLevels[level])
            if (name && m_token.text == QLatin1String(name)) {
                op = m_token.text;
                return true;
            }
        // "le" shares the comparisons' level.
        if (level == 3 && m_token.text == QLatin1String("le")) {
            op = m_token.text;
            return true;
        }
        return false;
    }

    struct Deeper {
        explicit Deeper(Parser& p) : p(p) { ++p.m_depth; }
        ~Deeper() { --p.m_depth; }
        Parser& p;
    };

    FilterTree binary(int level) {
        const Deeper d(*this);
        if (m_depth > kMostFilterDepth)
            return fail(QStringLiteral("$filter nests deeper than %1 (the bound on nesting)")
                            .arg(kMostFilterDepth));
        FilterTree left = level + 1 < kLevelCount ? binary(level + 1) : unary();
        if (!left)
            return nullptr;
        QString op;
        while (opAt(level, op)) {
            if (!advance())
                return nullptr;
            FilterTree right = level + 1 < kLevelCount ? binary(level + 1) : unary();
            if (!right)
                return nullptr;
            auto n = node(FilterNode::Kind::Binary);
            if (!n)
                return nullptr;
            n->op = op;
            n->args = {left, right};
            left = n;
        }
        return left;
    }

    FilterTree unary() {
        const Deeper d(*this);
        if (m_depth > kMostFilterDepth)
            return fail(QStringLiteral("$filter nests deeper than %1 (the bound on nesting)")
                            .arg(kMostFilterDepth));
        const bool isNot =
            m_token.kind == Token::Kind::Name && m_token.text == QLatin1String("not");
        if (isNot || m_token.kind == Token::Kind::Minus) {
            if (!advance())
                return nullptr;
            // "not" takes a comparison after it; "-" a primary.
            FilterTree operand = isNot ? binary(2) : unary();
            if (!operand)
                return nullptr;
            auto n = node(isNot ? FilterNode::Kind::Not : FilterNode::Kind::Negate);
            if (!n)
                return nullptr;
            n->args = {operand};
            return n;
        }
        return primary();
    }

    FilterTree primary() {
        switch (m_token.kind) {
        case Token::Kind::Open: {
            if (!advance())
                return nullptr;
            FilterTree inner = binary(0);
            if (!inner)
                return nullptr;
            if (m_token.kind != Token::Kind::Close)
                return fail(QStringLiteral("$filter has a '(' without its ')'"));
            return advance() ? inner : nullptr;
        }
        case Token::Kind::Number:
        case Token::Kind::String:
        case Token::Kind::Time:
        case Token::Kind::Geo: {
            auto n = node(FilterNode::Kind::Literal);
            if (!n)
                return nullptr;
            n->literal = m_token.value;
            return advance() ? n : nullptr;
        }
        case Token::Kind::Name:
            return name();
        default:
            return fail(QStringLiteral("$filter lacks a value where one is due"));
        }
    }

    FilterTree name() {
        const QString word = m_token.text;
        if (!advance())
            return nullptr;
        if (m_token.kind == Token::Kind::Open) {
            const FunctionArity* f = nullptr;
            for (const FunctionArity& k : kFunctions)
                if (word == QLatin1String(k.name))
                    f = &k;
            if (!f)
                return fail(QStringLiteral("$filter has no function %1").arg(word.left(40)));
            auto n = node(FilterNode::Kind::Call);
            if (!n || !advance())
                return nullptr;
            n->op = word;
            while (m_token.kind != Token::Kind::Close) {
                if (!n->args.empty()) {
                    if (m_token.kind != Token::Kind::Comma)
                        return fail(QStringLiteral("$filter's %1 lacks a ',' or ')'").arg(word));
                    if (!advance())
                        return nullptr;
                }
                FilterTree a = binary(0);
                if (!a)
                    return nullptr;
                n->args.push_back(a);
            }
            if (int(n->args.size()) < f->least || int(n->args.size()) > f->most)
                return fail(QStringLiteral("$filter's %1 takes %2 arguments")
                                .arg(word)
                                .arg(f->least == f->most
                                         ? QString::number(f->least)
                                         : QStringLiteral("%1 to %2").arg(f->least).arg(f->most)));
            return advance() ? n : nullptr;
        }
        auto n = node(FilterNode::Kind::Literal);
        if (!n)
            return nullptr;
        if (word == QLatin1String("true") || word == QLatin1String("false")) {
            n->literal.type = FilterValue::Type::Bool;
            n->literal.b = word == QLatin1String("true");
            return n;
        }
        if (word == QLatin1String("null"))
            return n;
        n->kind = FilterNode::Kind::Path;
        n->path = word.split(QLatin1Char('/'));
        for (const QString& part : n->path)
            if (part.isEmpty() || part.front().isDigit())
                return fail(QStringLiteral("$filter has a property path it cannot read"));
        return n;
    }

    Lexer m_lexer;
    QueryRefusal& m_refusal;
    Token m_token;
    int m_depth = 0;
    int m_nodes = 0;
};

using T = FilterValue::Type;

FilterValue number(double n) {
    FilterValue v;
    v.type = std::isfinite(n) ? T::Number : T::Null;
    v.n = n;
    return v;
}
FilterValue boolean(bool b) {
    FilterValue v;
    v.type = T::Bool;
    v.b = b;
    return v;
}
FilterValue text(QString s) {
    FilterValue v;
    v.type = T::String;
    v.s = std::move(s);
    return v;
}

// A value as a time: a Time, or a String in ISO 8601 (an interval by its start).
std::optional<FilterValue> asTime(const FilterValue& v) {
    if (v.type == T::Time)
        return v;
    if (v.type == T::String && v.s.size() >= 10 && v.s.size() <= 80)
        return timeOf(v.s);
    return std::nullopt;
}

// Both as the same type where one can be read as the other's; false where they cannot.
bool alike(FilterValue& a, FilterValue& b) {
    if (a.type == b.type)
        return true;
    if (a.type == T::Time || b.type == T::Time) {
        const auto ta = asTime(a), tb = asTime(b);
        if (!ta || !tb)
            return false;
        a = *ta;
        b = *tb;
        return true;
    }
    return false;
}

int compareAlike(const FilterValue& a, const FilterValue& b) {
    switch (a.type) {
    case T::Null:
        return 0;
    case T::Bool:
        return int(a.b) - int(b.b);
    case T::Number:
    case T::Time:
        return a.n < b.n ? -1 : a.n > b.n ? 1 : 0;
    case T::String:
        return a.s < b.s ? -1 : a.s > b.s ? 1 : 0;
    case T::Geo:
        return a.geo && b.geo && a.geo->points == b.geo->points ? 0 : 1;
    }
    return 0;
}

// The UTC civil parts of a time shifted to its own zone.
struct Civil {
    long long y;
    int m, d, hour, minute, second;
    double fraction;
};
Civil civilOf(const FilterValue& t) {
    const double local = t.n + t.offsetMinutes * 60.0;
    const double whole = std::floor(local);
    long long days = (long long)std::floor(whole / 86400);
    long long secs = (long long)whole - days * 86400;
    // Civil from days (proleptic Gregorian).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    Civil c{};
    c.d = int(doy - (153 * mp + 2) / 5 + 1);
    c.m = int(mp < 10 ? mp + 3 : mp - 9);
    c.y = yoe + era * 400 + (c.m <= 2);
    c.hour = int(secs / 3600);
    c.minute = int(secs % 3600 / 60);
    c.second = int(secs % 60);
    c.fraction = local - whole;
    return c;
}

// Whether a point lies inside a ring (even-odd), and whether on its edge.
struct PointInRing {
    bool inside = false, onEdge = false;
};
PointInRing locate(std::pair<double, double> p, const std::vector<std::pair<double, double>>& r) {
    PointInRing out;
    for (std::size_t i = 0, j = r.size() - 1; i < r.size(); j = i++) {
        const auto [xi, yi] = r[i];
        const auto [xj, yj] = r[j];
        const double cross = (xj - xi) * (p.second - yi) - (yj - yi) * (p.first - xi);
        if (cross == 0 && p.first >= std::min(xi, xj) && p.first <= std::max(xi, xj) &&
            p.second >= std::min(yi, yj) && p.second <= std::max(yi, yj))
            out.onEdge = true;
        if ((yi > p.second) != (yj > p.second) &&
            p.first < (xj - xi) * (p.second - yi) / (yj - yi) + xi)
            out.inside = !out.inside;
    }
    if (out.onEdge)
        out.inside = false;
    return out;
}

// The spatial relations between points, and between a point and a polygon; null for the
// others (lines and polygons against each other are not evaluated).
FilterValue spatial(const QString& f, const Geometry& a, const Geometry& b) {
    using K = Geometry::Kind;
    const bool aPoint = a.kind == K::Point, bPoint = b.kind == K::Point;
    if (aPoint && bPoint) {
        const bool same = a.points == b.points;
        if (f == QLatin1String("st_equals") || f == QLatin1String("st_within") ||
            f == QLatin1String("st_contains") || f == QLatin1String("st_intersects") ||
            f == QLatin1String("geo.intersects"))
            return boolean(same);
        if (f == QLatin1String("st_disjoint"))
            return boolean(!same);
        return boolean(false); // touches, overlaps, crosses
    }
    const Geometry* point = aPoint ? &a : bPoint ? &b : nullptr;
    const Geometry* other = aPoint ? &b : &a;
    if (!point || other->kind != K::Polygon)
        return {};
    const PointInRing at = locate(point->points.front(), other->points);
    const bool meets = at.inside || at.onEdge;
    if (f == QLatin1String("st_intersects") || f == QLatin1String("geo.intersects"))
        return boolean(meets);
    if (f == QLatin1String("st_disjoint"))
        return boolean(!meets);
    if (f == QLatin1String("st_touches"))
        return boolean(at.onEdge);
    if (f == QLatin1String("st_within"))
        return boolean(aPoint && at.inside);
    if (f == QLatin1String("st_contains"))
        return boolean(!aPoint && at.inside);
    return boolean(false); // equals, overlaps, crosses
}

// The DE-9IM matrix (interior, boundary, exterior of `a` against those of `b`: "F" none, or
// the dimension of what they share) of points and of a point and a polygon, matched against a
// pattern of T, F, *, 0, 1, 2; null for the others.
FilterValue relate(const Geometry& a, const Geometry& b, const QString& pattern) {
    using K = Geometry::Kind;
    if (pattern.size() != 9)
        return {};
    QString m;
    if (a.kind == K::Point && b.kind == K::Point) {
        m = a.points == b.points ? QStringLiteral("0FFFFFFF2") : QStringLiteral("FF0FFF0F2");
    } else if (a.kind == K::Point && b.kind == K::Polygon) {
        const PointInRing at = locate(a.points.front(), b.points);
        m = at.inside   ? QStringLiteral("0FFFFF212")
            : at.onEdge ? QStringLiteral("F0FFFF212")
                        : QStringLiteral("FF0FFF212");
    } else if (a.kind == K::Polygon && b.kind == K::Point) {
        const PointInRing at = locate(b.points.front(), a.points);
        m = at.inside   ? QStringLiteral("0F2FF1FF2")
            : at.onEdge ? QStringLiteral("FF20F1FF2")
                        : QStringLiteral("FF2FF10F2");
    } else {
        return {};
    }
    for (qsizetype i = 0; i < 9; ++i) {
        const QChar p = pattern[i].toUpper();
        const bool fits = p == QLatin1Char('*') ||
                          (p == QLatin1Char('T') && m[i] != QLatin1Char('F')) ||
                          (p == QLatin1Char('F') && m[i] == QLatin1Char('F')) ||
                          (QStringLiteral("012").contains(p) && m[i] == p);
        if (!fits)
            return boolean(false);
    }
    return boolean(true);
}

// The geometry functions (names beginning geo. or st_).
FilterValue geoCall(const QString& f, const std::vector<FilterValue>& a) {
    for (const FilterValue& v : a)
        if (v.type == T::Geo && !v.geo)
            return {};
    if (f == QLatin1String("geo.length")) {
        if (a[0].type != T::Geo || a[0].geo->kind != Geometry::Kind::LineString)
            return {};
        double sum = 0;
        const auto& p = a[0].geo->points;
        for (std::size_t i = 1; i < p.size(); ++i)
            sum += std::hypot(p[i].first - p[i - 1].first, p[i].second - p[i - 1].second);
        return number(sum);
    }
    if (a[0].type != T::Geo || a[1].type != T::Geo)
        return {};
    if (f == QLatin1String("geo.distance")) {
        if (a[0].geo->kind != Geometry::Kind::Point || a[1].geo->kind != Geometry::Kind::Point)
            return {};
        const auto p = a[0].geo->points.front(), q = a[1].geo->points.front();
        return number(std::hypot(p.first - q.first, p.second - q.second));
    }
    if (f == QLatin1String("st_relate")) {
        if (a[2].type != T::String)
            return {};
        return relate(*a[0].geo, *a[1].geo, a[2].s);
    }
    return spatial(f, *a[0].geo, *a[1].geo);
}

// The date functions of a time (or an ISO text) `v`.
FilterValue dateCall(const QString& f, const FilterValue& v) {
    const std::optional<FilterValue> t = asTime(v);
    if (!t)
        return {};
    const Civil c = civilOf(*t);
    if (f == QLatin1String("year"))
        return number(double(c.y));
    if (f == QLatin1String("month"))
        return number(c.m);
    if (f == QLatin1String("day"))
        return number(c.d);
    if (f == QLatin1String("hour"))
        return number(c.hour);
    if (f == QLatin1String("minute"))
        return number(c.minute);
    if (f == QLatin1String("second"))
        return number(c.second);
    if (f == QLatin1String("fractionalseconds"))
        return number(c.fraction);
    if (f == QLatin1String("totaloffsetminutes"))
        return number(t->offsetMinutes);
    if (f == QLatin1String("date"))
        return text(QStringLiteral("%1-%2-%3")
                        .arg(c.y, 4, 10, QLatin1Char('0'))
                        .arg(c.m, 2, 10, QLatin1Char('0'))
                        .arg(c.d, 2, 10, QLatin1Char('0')));
    if (f == QLatin1String("time"))
        return text(QStringLiteral("%1:%2:%3")
                        .arg(c.hour, 2, 10, QLatin1Char('0'))
                        .arg(c.minute, 2, 10, QLatin1Char('0'))
                        .arg(c.second, 2, 10, QLatin1Char('0')));
    return {};
}

FilterValue call(const QString& f, const std::vector<FilterValue>& a, double now) {
    auto str = [&](std::size_t i) { return a[i].type == T::String; };
    auto num = [&](std::size_t i) { return a[i].type == T::Number; };
    if (f == QLatin1String("now") || f == QLatin1String("mindatetime") ||
        f == QLatin1String("maxdatetime")) {
        FilterValue v;
        v.type = T::Time;
        v.n = f == QLatin1String("now")           ? now
              : f == QLatin1String("mindatetime") ? -62135596800.0  // 0001-01-01
                                                  : 253402300799.0; // 9999-12-31T23:59:59
        return v;
    }
    if (f == QLatin1String("substringof") || f == QLatin1String("endswith") ||
        f == QLatin1String("startswith") || f == QLatin1String("contains") ||
        f == QLatin1String("indexof") || f == QLatin1String("concat")) {
        if (!str(0) || !str(1))
            return {};
        if (f == QLatin1String("substringof"))
            return boolean(a[1].s.contains(a[0].s));
        if (f == QLatin1String("contains"))
            return boolean(a[0].s.contains(a[1].s));
        if (f == QLatin1String("endswith"))
            return boolean(a[0].s.endsWith(a[1].s));
        if (f == QLatin1String("startswith"))
            return boolean(a[0].s.startsWith(a[1].s));
        if (f == QLatin1String("indexof"))
            return number(double(a[0].s.indexOf(a[1].s)));
        if (a[0].s.size() + a[1].s.size() > kMostFilterChars * 4)
            return {};
        return text(a[0].s + a[1].s);
    }
    if (f == QLatin1String("length") || f == QLatin1String("tolower") ||
        f == QLatin1String("toupper") || f == QLatin1String("trim")) {
        if (!str(0))
            return {};
        if (f == QLatin1String("length"))
            return number(double(a[0].s.size()));
        return text(f == QLatin1String("tolower")   ? a[0].s.toLower()
                    : f == QLatin1String("toupper") ? a[0].s.toUpper()
                                                    : a[0].s.trimmed());
    }
    if (f == QLatin1String("substring")) {
        if (!str(0) || !num(1) || (a.size() == 3 && !num(2)) || a[1].n < 0 ||
            (a.size() == 3 && a[2].n < 0))
            return {};
        const qsizetype from = qsizetype(std::min<double>(a[1].n, double(a[0].s.size())));
        const qsizetype n = a.size() == 3 ? qsizetype(std::min<double>(a[2].n, 1e9)) : -1;
        return text(a[0].s.mid(from, n));
    }
    if (f == QLatin1String("round") || f == QLatin1String("floor") ||
        f == QLatin1String("ceiling")) {
        if (!num(0))
            return {};
        return number(f == QLatin1String("round")   ? std::round(a[0].n)
                      : f == QLatin1String("floor") ? std::floor(a[0].n)
                                                    : std::ceil(a[0].n));
    }
    if (f.startsWith(QLatin1String("geo.")) || f.startsWith(QLatin1String("st_")))
        return geoCall(f, a);
    return dateCall(f, a[0]);
}

} // namespace

std::optional<FilterTree> parseFilter(QStringView s, QueryRefusal& refusal) {
    refusal = {};
    if (s.size() > kMostFilterChars) {
        refusal = {413, QStringLiteral("$filter is longer than %1 characters (the bound on a "
                                       "query's size)")
                            .arg(kMostFilterChars)};
        return std::nullopt;
    }
    if (s.trimmed().isEmpty()) {
        refusal = {400, QStringLiteral("$filter is empty")};
        return std::nullopt;
    }
    Parser p(s, refusal);
    std::optional<FilterTree> t = p.parse();
    if (t && !*t)
        t.reset();
    if (!t && refusal.why.isEmpty())
        refusal = {400, QStringLiteral("$filter cannot be read")};
    return t;
}

FilterValue pathValue(const QJsonObject& entity, const QStringList& path, const Resolver& resolve) {
    QJsonObject at = entity;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QString key = path[i] == QLatin1String("id") ? QStringLiteral("@iot.id") : path[i];
        const auto it = at.constFind(key);
        QJsonValue v;
        if (it != at.constEnd()) {
            v = *it;
        } else if (resolve && at.contains(key + QLatin1String("@iot.navigationLink"))) {
            const std::optional<QJsonObject> next = resolve(at, key);
            if (!next)
                return {};
            v = *next;
        } else {
            return {};
        }
        const bool last = i + 1 == path.size();
        if (v.isObject()) {
            if (last) {
                FilterValue g;
                g.type = T::Geo;
                g.geo = readGeoJson(v.toObject());
                return g.geo ? g : FilterValue{};
            }
            at = v.toObject();
            continue;
        }
        if (!last)
            return {};
        if (v.isDouble())
            return number(v.toDouble());
        if (v.isBool())
            return boolean(v.toBool());
        if (v.isString())
            return text(v.toString());
        return {};
    }
    return {};
}

FilterValue evaluate(const FilterNode& n, const QJsonObject& e, const Resolver& r, double now) {
    switch (n.kind) {
    case FilterNode::Kind::Literal:
        return n.literal;
    case FilterNode::Kind::Path:
        return pathValue(e, n.path, r);
    case FilterNode::Kind::Not: {
        const FilterValue v = evaluate(*n.args[0], e, r, now);
        return v.type == T::Bool ? boolean(!v.b) : FilterValue{};
    }
    case FilterNode::Kind::Negate: {
        const FilterValue v = evaluate(*n.args[0], e, r, now);
        return v.type == T::Number ? number(-v.n) : FilterValue{};
    }
    case FilterNode::Kind::Call: {
        std::vector<FilterValue> args;
        for (const FilterTree& a : n.args)
            args.push_back(evaluate(*a, e, r, now));
        return call(n.op, args, now);
    }
    case FilterNode::Kind::Binary:
        break;
    }
    const QString& op = n.op;
    if (op == QLatin1String("and") || op == QLatin1String("or")) {
        const bool left = holds(*n.args[0], e, r, now);
        if (op == QLatin1String("and") ? !left : left)
            return boolean(left);
        return boolean(holds(*n.args[1], e, r, now));
    }
    FilterValue a = evaluate(*n.args[0], e, r, now), b = evaluate(*n.args[1], e, r, now);
    if (op == QLatin1String("eq") || op == QLatin1String("ne")) {
        bool same = false;
        if (a.type == T::Null || b.type == T::Null)
            same = a.type == b.type;
        else
            same = alike(a, b) && compareAlike(a, b) == 0;
        return boolean(op == QLatin1String("eq") ? same : !same);
    }
    if (op == QLatin1String("gt") || op == QLatin1String("ge") || op == QLatin1String("lt") ||
        op == QLatin1String("le")) {
        if (a.type == T::Null || b.type == T::Null || !alike(a, b) || a.type == T::Geo)
            return {};
        const int c = compareAlike(a, b);
        return boolean(op == QLatin1String("gt")   ? c > 0
                       : op == QLatin1String("ge") ? c >= 0
                       : op == QLatin1String("lt") ? c < 0
                                                   : c <= 0);
    }
    if (a.type != T::Number || b.type != T::Number)
        return {};
    if (op == QLatin1String("add"))
        return number(a.n + b.n);
    if (op == QLatin1String("sub"))
        return number(a.n - b.n);
    if (op == QLatin1String("mul"))
        return number(a.n * b.n);
    if (b.n == 0)
        return {};
    if (op == QLatin1String("div"))
        return number(a.n / b.n);
    return number(std::fmod(a.n, b.n));
}

bool holds(const FilterNode& tree, const QJsonObject& e, const Resolver& r, double now) {
    const FilterValue v = evaluate(tree, e, r, now);
    return v.type == T::Bool && v.b;
}

int compareForOrder(const FilterValue& x, const FilterValue& y) {
    FilterValue a = x, b = y;
    if (a.type == T::Null || b.type == T::Null)
        return int(b.type == T::Null) - int(a.type == T::Null) == 0 ? 0
                                                                    : (a.type == T::Null ? -1 : 1);
    if (!alike(a, b))
        return int(a.type) < int(b.type) ? -1 : 1;
    return compareAlike(a, b);
}

TimeWindow timeWindowOf(const FilterNode& n, const QString& property) {
    TimeWindow w;
    if (n.kind != FilterNode::Kind::Binary)
        return w;
    if (n.op == QLatin1String("and")) {
        const TimeWindow a = timeWindowOf(*n.args[0], property);
        const TimeWindow b = timeWindowOf(*n.args[1], property);
        w.from = a.from && b.from ? std::max(*a.from, *b.from) : a.from ? a.from : b.from;
        w.to = a.to && b.to ? std::min(*a.to, *b.to) : a.to ? a.to : b.to;
        return w;
    }
    const FilterNode& l = *n.args[0];
    const FilterNode& r = *n.args[1];
    const bool pathLeft = l.kind == FilterNode::Kind::Path && l.path == QStringList{property} &&
                          r.kind == FilterNode::Kind::Literal && r.literal.type == T::Time;
    const bool pathRight = r.kind == FilterNode::Kind::Path && r.path == QStringList{property} &&
                           l.kind == FilterNode::Kind::Literal && l.literal.type == T::Time;
    if (!pathLeft && !pathRight)
        return w;
    const double t = pathLeft ? r.literal.n : l.literal.n;
    QString op = n.op;
    if (pathRight) // "t lt phenomenonTime" is "phenomenonTime gt t"
        op = op == QLatin1String("lt")   ? QStringLiteral("gt")
             : op == QLatin1String("gt") ? QStringLiteral("lt")
             : op == QLatin1String("le") ? QStringLiteral("ge")
             : op == QLatin1String("ge") ? QStringLiteral("le")
                                         : op;
    if (op == QLatin1String("eq"))
        w.from = w.to = t;
    else if (op == QLatin1String("gt") || op == QLatin1String("ge"))
        w.from = t;
    else if (op == QLatin1String("lt") || op == QLatin1String("le"))
        w.to = t;
    return w;
}

} // namespace office
