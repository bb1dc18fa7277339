// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/odata_query.h"

#include <algorithm>
#include <tuple>

namespace office {

namespace {

// Reads `n` digits at `at`; false when they are not all there.
bool digits(QStringView s, qsizetype& at, int n, int& value) {
    if (at + n > s.size())
        return false;
    value = 0;
    for (int i = 0; i < n; ++i) {
        const QChar c = s[at + i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    at += n;
    return true;
}

bool take(QStringView s, qsizetype& at, char c) {
    if (at >= s.size() || s[at] != QLatin1Char(c))
        return false;
    ++at;
    return true;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
long long daysFromCivil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

QStringView nextWord(QStringView s, qsizetype& at) {
    const qsizetype begin = at;
    while (at < s.size() && s[at] != QLatin1Char(' '))
        ++at;
    return s.sliced(begin, at - begin);
}

bool blanks(QStringView s, qsizetype& at) {
    const qsizetype begin = at;
    while (at < s.size() && s[at] == QLatin1Char(' '))
        ++at;
    return at > begin;
}

bool count(const QString& text, long long most, long long& value) {
    if (text.isEmpty() || text.size() > 10)
        return false;
    value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return value <= most;
}

} // namespace

bool TimeComparison::holds(double t) const {
    switch (op) {
    case Op::Eq:
        return t == seconds;
    case Op::Gt:
        return t > seconds;
    case Op::Ge:
        return t >= seconds;
    case Op::Lt:
        return t < seconds;
    case Op::Le:
        return t <= seconds;
    }
    return false;
}

bool TimeFilter::holds(double t) const {
    for (const TimeComparison& c : all)
        if (!c.holds(t))
            return false;
    return true;
}

std::optional<double> parseIsoTime(QStringView s) {
    qsizetype at = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!digits(s, at, 4, y) || !take(s, at, '-') || !digits(s, at, 2, mo) || !take(s, at, '-') ||
        !digits(s, at, 2, d) || !take(s, at, 'T') || !digits(s, at, 2, h) || !take(s, at, ':') ||
        !digits(s, at, 2, mi) || !take(s, at, ':') || !digits(s, at, 2, sec))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo) || h > 23 || mi > 59 || sec > 59)
        return std::nullopt;
    double fraction = 0;
    if (take(s, at, '.')) {
        double scale = 0.1;
        int n = 0;
        while (at < s.size() && s[at] >= QLatin1Char('0') && s[at] <= QLatin1Char('9') && n < 9) {
            fraction += scale * (s[at].unicode() - '0');
            scale /= 10;
            ++at;
            ++n;
        }
        if (n == 0)
            return std::nullopt;
    }
    int offset = 0;
    if (!take(s, at, 'Z')) {
        const bool plus = take(s, at, '+');
        if (!plus && !take(s, at, '-'))
            return std::nullopt;
        int oh = 0, om = 0;
        if (!digits(s, at, 2, oh) || !take(s, at, ':') || !digits(s, at, 2, om) || oh > 23 ||
            om > 59)
            return std::nullopt;
        offset = (plus ? 1 : -1) * (oh * 3600 + om * 60);
    }
    if (at != s.size())
        return std::nullopt;
    return double(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offset) + fraction;
}

platform::Result<TimeFilter> parseTimeFilter(QStringView s) {
    const auto refused = [](const QString& why) {
        return platform::makeError(platform::ErrorKind::Invalid, why.toStdString());
    };
    TimeFilter filter;
    qsizetype at = 0;
    blanks(s, at);
    while (true) {
        if (int(filter.all.size()) == kMostComparisons)
            return refused(
                QStringLiteral("$filter takes at most %1 comparisons").arg(kMostComparisons));
        const QStringView property = nextWord(s, at);
        if (property != QLatin1String("phenomenonTime"))
            return refused(
                QStringLiteral("$filter compares phenomenonTime only, as in "
                               "\"phenomenonTime ge 2026-12-01T00:00:00Z and phenomenonTime "
                               "lt 2026-12-02T00:00:00Z\""));
        blanks(s, at);
        const QStringView op = nextWord(s, at);
        TimeComparison c;
        static const std::pair<const char*, TimeComparison::Op> ops[] = {
            {"eq", TimeComparison::Op::Eq},
            {"gt", TimeComparison::Op::Gt},
            {"ge", TimeComparison::Op::Ge},
            {"lt", TimeComparison::Op::Lt},
            {"le", TimeComparison::Op::Le}};
        bool known = false;
        for (const auto& [name, value] : ops)
            if (op == QLatin1String(name)) {
                c.op = value;
                known = true;
            }
        if (!known)
            return refused(QStringLiteral("$filter's operators are eq, gt, ge, lt and le"));
        blanks(s, at);
        const std::optional<double> t = parseIsoTime(nextWord(s, at));
        if (!t)
            return refused(QStringLiteral("$filter's times are ISO 8601 with a zone, as "
                                          "2026-12-01T08:00:00Z or 2026-12-01T09:00:00+01:00"));
        c.seconds = *t;
        filter.all.push_back(c);
        blanks(s, at);
        if (at == s.size())
            return filter;
        if (nextWord(s, at) != QLatin1String("and") || !blanks(s, at))
            return refused(QStringLiteral("$filter joins its comparisons with \"and\" only"));
    }
}

std::optional<TimeFilter> timeFilterOf(const FilterNode& n) {
    if (n.kind != FilterNode::Kind::Binary)
        return std::nullopt;
    if (n.op == QLatin1String("and")) {
        std::optional<TimeFilter> a = timeFilterOf(*n.args[0]);
        const std::optional<TimeFilter> b = timeFilterOf(*n.args[1]);
        if (!a || !b)
            return std::nullopt;
        a->all.insert(a->all.end(), b->all.begin(), b->all.end());
        return a;
    }
    const FilterNode& l = *n.args[0];
    const FilterNode& r = *n.args[1];
    const QStringList property{QStringLiteral("phenomenonTime")};
    const bool pathLeft = l.kind == FilterNode::Kind::Path && l.path == property &&
                          r.kind == FilterNode::Kind::Literal &&
                          r.literal.type == FilterValue::Type::Time;
    const bool pathRight = r.kind == FilterNode::Kind::Path && r.path == property &&
                           l.kind == FilterNode::Kind::Literal &&
                           l.literal.type == FilterValue::Type::Time;
    if (!pathLeft && !pathRight)
        return std::nullopt;
    using Op = TimeComparison::Op;
    // As read with phenomenonTime on the left: "t lt phenomenonTime" is "phenomenonTime gt t".
    static const std::tuple<const char*, Op, Op> ops[] = {{"eq", Op::Eq, Op::Eq},
                                                          {"gt", Op::Gt, Op::Lt},
                                                          {"ge", Op::Ge, Op::Le},
                                                          {"lt", Op::Lt, Op::Gt},
                                                          {"le", Op::Le, Op::Ge}};
    for (const auto& [name, left, right] : ops)
        if (n.op == QLatin1String(name)) {
            TimeFilter f;
            f.all.push_back({pathLeft ? left : right, pathLeft ? r.literal.n : l.literal.n});
            return f;
        }
    return std::nullopt;
}

namespace {

// `text` split at `separator` where it is outside parentheses and quotes; nullopt when they do
// not balance.
std::optional<QStringList> splitOutside(QStringView text, QChar separator) {
    QStringList out;
    int depth = 0;
    bool quoted = false;
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\''))
            quoted = !quoted; // a doubled quote closes and opens again
        else if (quoted)
            continue;
        else if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')') && --depth < 0)
            return std::nullopt;
        else if (c == separator && depth == 0) {
            out << text.sliced(begin, i - begin).toString();
            begin = i + 1;
        }
    }
    if (depth != 0 || quoted)
        return std::nullopt;
    out << text.sliced(begin).toString();
    return out;
}

// A property path: names of letters, digits and "_" (an "@" leading) joined by "/".
std::optional<QStringList> propertyPath(QStringView text) {
    const QStringList path = text.trimmed().toString().split(QLatin1Char('/'));
    for (const QString& name : path) {
        if (name.isEmpty() || name.size() > 64 || name.front().isDigit())
            return std::nullopt;
        for (qsizetype i = 0; i < name.size(); ++i) {
            const QChar c = name[i];
            if (!((c.isLetterOrNumber() && c.unicode() < 0x80) || c == QLatin1Char('_') ||
                  (c == QLatin1Char('@') && i == 0) || (c == QLatin1Char('.') && i > 0)))
                return std::nullopt;
        }
    }
    return path;
}

bool refuse(QueryRefusal& r, const QString& why, int status = 400) {
    r = {status, why};
    return false;
}

bool parseOptionsAt(const QMap<QString, QString>& values, QueryOptions& o, QueryRefusal& r,
                    int depth);

bool parseExpand(const QString& value, QueryOptions& o, QueryRefusal& r, int depth) {
    if (depth >= kMostExpandDepth)
        return refuse(r, QStringLiteral("$expand nests deeper than %1 levels (the bound on "
                                        "nesting)")
                             .arg(kMostExpandDepth));
    const std::optional<QStringList> items = splitOutside(value, QLatin1Char(','));
    if (!items)
        return refuse(r, QStringLiteral("$expand's parentheses or quotes do not balance"));
    if (items->size() > kMostExpandItems)
        return refuse(
            r,
            QStringLiteral("$expand takes at most %1 items at each level").arg(kMostExpandItems));
    for (const QString& item : *items) {
        const qsizetype open = item.indexOf(QLatin1Char('('));
        ExpandItem e;
        const std::optional<QStringList> path = propertyPath(item.left(open));
        if (!path || path->size() > kMostExpandDepth)
            return refuse(r, QStringLiteral("$expand takes navigation properties, as "
                                            "Datastreams/Observations"));
        e.path = *path;
        if (open >= 0) {
            if (!item.trimmed().endsWith(QLatin1Char(')')))
                return refuse(r, QStringLiteral("$expand's options end with ')'"));
            const QString inner = item.trimmed().mid(open + 1).chopped(1);
            const std::optional<QStringList> options = splitOutside(inner, QLatin1Char(';'));
            if (!options)
                return refuse(r, QStringLiteral("$expand's options do not balance"));
            QMap<QString, QString> nested;
            for (const QString& option : *options) {
                const qsizetype eq = option.indexOf(QLatin1Char('='));
                const QString name = option.left(eq).trimmed();
                if (eq < 0 || nested.contains(name))
                    return refuse(r, QStringLiteral("$expand's options are name=value, each "
                                                    "once, separated by ';'"));
                nested.insert(name, option.mid(eq + 1));
            }
            if (!parseOptionsAt(nested, e.options, r, depth + 1))
                return false;
        }
        o.expand.push_back(std::move(e));
    }
    return true;
}

bool parseOptionsAt(const QMap<QString, QString>& values, QueryOptions& o, QueryRefusal& r,
                    int depth) {
    o = QueryOptions{};
    o.given = values;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString& name = it.key();
        const QString& value = it.value();
        long long n = 0;
        if (name == QLatin1String("$top")) {
            if (!count(value, kMostSkip, n))
                return refuse(r, QStringLiteral("$top takes a whole number"));
            o.top = int(std::min<long long>(n, kMostTop));
            o.topGiven = true;
        } else if (name == QLatin1String("$skip")) {
            if (!count(value, kMostSkip, n))
                return refuse(r,
                              QStringLiteral("$skip takes a whole number up to %1").arg(kMostSkip));
            o.skip = n;
        } else if (name == QLatin1String("$count")) {
            if (value != QLatin1String("true") && value != QLatin1String("false"))
                return refuse(r, QStringLiteral("$count takes true or false"));
            o.count = value == QLatin1String("true");
        } else if (name == QLatin1String("$orderby")) {
            const QStringList keys = value.split(QLatin1Char(','));
            if (keys.size() > kMostOrderKeys)
                return refuse(r,
                              QStringLiteral("$orderby takes at most %1 keys").arg(kMostOrderKeys));
            for (const QString& key : keys) {
                const QStringList words = key.simplified().split(QLatin1Char(' '));
                const std::optional<QStringList> path =
                    words.isEmpty() ? std::nullopt : propertyPath(words.front());
                if (!path || words.size() > 2 ||
                    (words.size() == 2 && words[1] != QLatin1String("asc") &&
                     words[1] != QLatin1String("desc")))
                    return refuse(r, QStringLiteral("$orderby takes properties, each with asc or "
                                                    "desc, as \"phenomenonTime desc,result\""));
                o.orderby.push_back(
                    {*path, words.size() == 2 && words[1] == QLatin1String("desc")});
            }
        } else if (name == QLatin1String("$select")) {
            const QStringList names = value.split(QLatin1Char(','));
            if (names.size() > kMostSelect)
                return refuse(
                    r, QStringLiteral("$select takes at most %1 properties").arg(kMostSelect));
            QStringList selected;
            for (const QString& s : names) {
                const std::optional<QStringList> path = propertyPath(s);
                if (!path || path->size() != 1)
                    return refuse(r, QStringLiteral("$select takes property names, as "
                                                    "\"id,name\""));
                selected << path->front();
            }
            o.select = selected;
        } else if (name == QLatin1String("$filter")) {
            std::optional<FilterTree> f = parseFilter(value, r);
            if (!f)
                return false;
            o.filter = *f;
        } else if (name == QLatin1String("$expand")) {
            if (!parseExpand(value, o, r, depth))
                return false;
        } else {
            return refuse(r, QStringLiteral("%1 is not taken here").arg(name.left(40)));
        }
    }
    return true;
}

} // namespace

bool parseQueryOptions(const QMap<QString, QString>& values, QueryOptions& options,
                       QueryRefusal& refusal) {
    refusal = {};
    return parseOptionsAt(values, options, refusal, 0);
}

QString joinId(const QStringList& parts) {
    QStringList out;
    for (const QString& p : parts) {
        QString e;
        for (const char b : p.toUtf8()) {
            const auto u = static_cast<unsigned char>(b);
            if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                u == '_' || u == '-')
                e += QLatin1Char(char(u));
            else
                e += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        }
        out << e;
    }
    return out.join(QLatin1Char('/'));
}

std::optional<QStringList> splitId(const QString& id, int parts) {
    const QStringList p = id.split(QLatin1Char('/'));
    if (p.size() != parts)
        return std::nullopt;
    QStringList out;
    for (const QString& part : p) {
        if (part.isEmpty())
            return std::nullopt;
        for (const QChar ch : part)
            if (!(ch.isLetterOrNumber() && ch.unicode() < 0x80) && ch != QLatin1Char('_') &&
                ch != QLatin1Char('-') && ch != QLatin1Char('%'))
                return std::nullopt;
        const QByteArray bytes = QByteArray::fromPercentEncoding(part.toLatin1());
        QString text = QString::fromUtf8(bytes);
        if (text.toUtf8() != bytes)
            return std::nullopt;
        out << text;
    }
    return out;
}

QString collectionOptionOf(const QueryOptions& o) {
    for (const char* name : {"$top", "$skip", "$count", "$orderby", "$filter"})
        if (o.given.contains(QLatin1String(name)))
            return QLatin1String(name);
    return {};
}

bool parseResourcePath(QStringView path, std::vector<PathPart>& parts) {
    parts.clear();
    qsizetype at = 0;
    while (at < path.size()) {
        if (path[at] != QLatin1Char('/') || parts.size() >= kMostPathParts)
            return false;
        ++at;
        PathPart part;
        const qsizetype begin = at;
        if (at < path.size() && path[at] == QLatin1Char('$'))
            ++at; // $value, $ref
        while (at < path.size() && path[at].isLetter() && path[at].unicode() < 0x80)
            ++at;
        part.name = path.sliced(begin, at - begin).toString();
        if (part.name.isEmpty() || part.name == QLatin1String("$"))
            return false;
        if (at < path.size() && path[at] == QLatin1Char('(')) {
            if (++at >= path.size() || path[at] != QLatin1Char('\''))
                return false;
            ++at;
            QString key;
            for (;;) {
                if (at >= path.size())
                    return false;
                if (path[at] == QLatin1Char('\'')) {
                    if (at + 1 < path.size() && path[at + 1] == QLatin1Char('\'')) {
                        key += QLatin1Char('\'');
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                key += path[at++];
            }
            if (at >= path.size() || path[at] != QLatin1Char(')'))
                return false;
            ++at;
            part.key = key;
        }
        parts.push_back(std::move(part));
    }
    return true;
}

} // namespace office
