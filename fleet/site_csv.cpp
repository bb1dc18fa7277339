// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_csv.h"

#include "fleet/laptop_roles.h"
#include "platform/checked_number.h"

#include <QStringDecoder>

#include <map>
#include <set>

namespace fleet {

namespace {

struct Columns {
    std::vector<const char*> needed;
    std::vector<const char*> optional;
};

const Columns& columnsOf(SiteCsvKind kind) {
    static const Columns sites{{"code", "name", "longitude", "latitude"},
                               {"elevation", "description", "visit_days"}};
    static const Columns deployments{{"unit", "site", "from"}, {"to"}};
    static const Columns meanings{{"data_set", "column", "from", "property", "uom"},
                                  {"unit", "definition", "symbol", "uom_name"}};
    static const Columns calibrations{{"data_set", "column", "from", "a", "b"}, {"to", "unit"}};
    switch (kind) {
    case SiteCsvKind::Sites:
        return sites;
    case SiteCsvKind::Deployments:
        return deployments;
    case SiteCsvKind::Meanings:
        return meanings;
    case SiteCsvKind::Calibrations:
        break;
    }
    return calibrations;
}

// One data row's cells by column name, with what reads them and says where a value is wrong.
class Row {
public:
    Row(const CsvRow& row, const std::map<QString, int>& at, QString& why)
        : m_row(row), m_at(at), m_why(why) {}
    QString where() const { return QStringLiteral("line %1").arg(m_row.line); }
    QString text(const char* name) const {
        const auto i = m_at.find(QString::fromLatin1(name));
        return i == m_at.end() || i->second >= m_row.cells.size()
                   ? QString()
                   : m_row.cells[i->second].trimmed();
    }
    bool has(const char* name) const { return !text(name).isEmpty(); }
    bool fail(const QString& what) {
        if (m_why.isEmpty())
            m_why = where() + QStringLiteral(": ") + what;
        return false;
    }
    bool needed(const char* name, QString& v) {
        v = text(name);
        return !v.isEmpty() || fail(QString::fromLatin1(name) + QStringLiteral(" is empty"));
    }
    bool number(const char* name, double least, double most, double& v) {
        const QString t = text(name);
        const auto n = platform::parseFinite(t.toStdString(), least, most);
        if (!n)
            return fail(QStringLiteral("%1 \"%2\" is not a number within %3 to %4")
                            .arg(QLatin1String(name), t.left(40))
                            .arg(least)
                            .arg(most));
        v = *n;
        return true;
    }
    bool integer(const char* name, int least, int most, int& v) {
        const QString t = text(name);
        const auto n = platform::parseInteger(t.toStdString(), least, most);
        if (!n)
            return fail(QStringLiteral("%1 \"%2\" is not a whole number within %3 to %4")
                            .arg(QLatin1String(name), t.left(40))
                            .arg(least)
                            .arg(most));
        v = int(*n);
        return true;
    }
    bool time(const char* name, std::int64_t& v) {
        const QString t = text(name);
        const auto ms = parseSinceTime(t);
        if (!ms)
            return fail(QStringLiteral("%1 \"%2\" is not a time such as 2026-06-01 or "
                                       "2026-06-01T08:00:00")
                            .arg(QLatin1String(name), t.left(40)));
        v = *ms;
        return true;
    }

private:
    const CsvRow& m_row;
    const std::map<QString, int>& m_at;
    QString& m_why;
};

bool factsOfRow(SiteCsvKind kind, Row& row, std::vector<SiteFactToAdd>& out) {
    const QString where = row.where();
    switch (kind) {
    case SiteCsvKind::Sites: {
        Site s;
        s.description = row.text("description");
        if (!row.needed("code", s.code) || !row.needed("name", s.name) ||
            !row.number("longitude", -180, 180, s.longitude) ||
            !row.number("latitude", -90, 90, s.latitude))
            return false;
        if (row.has("elevation")) {
            double e = 0;
            if (!row.number("elevation", -12000, 9000, e))
                return false;
            s.elevation = e;
        }
        if (row.has("visit_days")) {
            int d = 0;
            if (!row.integer("visit_days", 1, 3650, d))
                return false;
            s.visitDays = d;
        }
        out.push_back({s, false, where});
        return true;
    }
    case SiteCsvKind::Deployments: {
        Deployment d;
        if (!row.needed("unit", d.unit) || !row.needed("site", d.site) ||
            !row.time("from", d.fromMs))
            return false;
        out.push_back({d, false, where});
        if (row.has("to")) {
            Removal r;
            r.unit = d.unit;
            if (!row.time("to", r.atMs))
                return false;
            if (r.atMs <= d.fromMs)
                return row.fail(QStringLiteral("the deployment ends before it starts"));
            out.push_back({r, false, where});
        }
        return true;
    }
    case SiteCsvKind::Meanings: {
        ColumnMeaning m;
        QString code;
        m.unit = row.text("unit");
        m.definition = row.text("definition");
        if (!row.needed("data_set", m.dataSet) || !row.integer("column", 1, 1000, m.column) ||
            !row.time("from", m.fromMs) || !row.needed("property", m.property) ||
            !row.needed("uom", code))
            return false;
        m.uom = commonUnit(code).value_or(UnitOfMeasure{code, code, QString()});
        if (row.has("symbol"))
            m.uom.symbol = row.text("symbol");
        if (row.has("uom_name"))
            m.uom.name = row.text("uom_name");
        out.push_back({m, false, where});
        return true;
    }
    case SiteCsvKind::Calibrations: {
        Calibration c;
        c.unit = row.text("unit");
        if (!row.needed("data_set", c.dataSet) || !row.integer("column", 1, 1000, c.column) ||
            !row.time("from", c.fromMs) || !row.number("a", -1e12, 1e12, c.a) ||
            !row.number("b", -1e12, 1e12, c.b))
            return false;
        if (row.has("to")) {
            std::int64_t to = 0;
            if (!row.time("to", to))
                return false;
            if (to <= c.fromMs)
                return row.fail(QStringLiteral("the calibration window ends before it starts"));
            c.toMs = to;
        }
        out.push_back({c, false, where});
        return true;
    }
    }
    return false;
}

} // namespace

std::optional<SiteCsvKind> siteCsvKindFromName(const QString& word) {
    if (word == QLatin1String("sites"))
        return SiteCsvKind::Sites;
    if (word == QLatin1String("deployments"))
        return SiteCsvKind::Deployments;
    if (word == QLatin1String("meanings"))
        return SiteCsvKind::Meanings;
    if (word == QLatin1String("calibrations"))
        return SiteCsvKind::Calibrations;
    return std::nullopt;
}

platform::Result<std::vector<CsvRow>> readCsv(const QByteArray& bytes) {
    std::vector<CsvRow> rows;
    const auto refused = [](const QString& why) {
        return platform::makeError(platform::ErrorKind::Invalid, why.toStdString());
    };
    QString why;
    int line = 1;
    qsizetype i = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const qsizetype n = bytes.size();
    const auto cell = [&](const QByteArray& raw, int at, QString& out) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        out = utf8.decode(raw);
        if (utf8.hasError()) {
            why = QStringLiteral("line %1: a cell is not UTF-8 text (8-bit bytes); save the "
                                 "file as UTF-8")
                      .arg(at);
            return false;
        }
        return true;
    };
    while (i < n) {
        CsvRow row;
        row.line = line;
        bool blank = true;
        for (;;) {
            QByteArray raw;
            if (i < n && bytes[i] == '"') {
                blank = false;
                for (++i;; ++i) {
                    if (i >= n)
                        return refused(
                            QStringLiteral("line %1: a quote is left open").arg(row.line));
                    if (bytes[i] == '"') {
                        if (i + 1 < n && bytes[i + 1] == '"') {
                            raw += '"';
                            ++i;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (bytes[i] == '\n')
                        ++line;
                    raw += bytes[i];
                }
                if (i < n && bytes[i] != ',' && bytes[i] != '\n' && bytes[i] != '\r')
                    return refused(QStringLiteral("line %1: text after a closing quote").arg(line));
            } else {
                while (i < n && bytes[i] != ',' && bytes[i] != '\n' && bytes[i] != '\r')
                    raw += bytes[i++];
                if (!raw.isEmpty())
                    blank = false;
            }
            QString text;
            if (!cell(raw, row.line, text))
                return refused(why);
            row.cells << text;
            if (i < n && bytes[i] == ',') {
                blank = false;
                ++i;
                continue;
            }
            if (i < n && bytes[i] == '\r')
                ++i;
            if (i < n && bytes[i] == '\n')
                ++i;
            ++line;
            break;
        }
        if (!blank)
            rows.push_back(std::move(row));
    }
    return rows;
}

SiteCsv siteFactsOfCsv(SiteCsvKind kind, const QByteArray& bytes) {
    SiteCsv out;
    auto read = readCsv(bytes);
    if (!read) {
        out.error = QString::fromStdString(read.text());
        return out;
    }
    std::vector<CsvRow>& rows = *read;
    if (rows.empty()) {
        out.error = QStringLiteral("line 1: no title row");
        return out;
    }
    const Columns& columns = columnsOf(kind);
    std::map<QString, int> at;
    const CsvRow& title = rows.front();
    for (int c = 0; c < title.cells.size(); ++c) {
        const QString name = title.cells[c].trimmed().toLower();
        bool known = false;
        for (const auto* list : {&columns.needed, &columns.optional})
            for (const char* k : *list)
                known = known || name == QLatin1String(k);
        if (!known || at.count(name)) {
            out.error = QStringLiteral("line %1: %2 column \"%3\"")
                            .arg(title.line)
                            .arg(known ? QStringLiteral("a second") : QStringLiteral("unknown"))
                            .arg(name.left(40));
            return out;
        }
        at[name] = c;
    }
    for (const char* k : columns.needed)
        if (!at.count(QString::fromLatin1(k))) {
            out.error = QStringLiteral("line %1: the column \"%2\" is missing")
                            .arg(title.line)
                            .arg(QLatin1String(k));
            return out;
        }
    for (std::size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].cells.size() > title.cells.size()) {
            out.error = QStringLiteral("line %1: %2 cells under %3 titles")
                            .arg(rows[r].line)
                            .arg(rows[r].cells.size())
                            .arg(title.cells.size());
            return out;
        }
        Row row(rows[r], at, out.error);
        if (!factsOfRow(kind, row, out.facts))
            return out;
        if (const QString fault = siteFactFault(out.facts.back().value); !fault.isEmpty()) {
            out.error = row.where() + QStringLiteral(": ") + fault;
            return out;
        }
    }
    out.ok = true;
    return out;
}

} // namespace fleet
