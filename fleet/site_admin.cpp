// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_admin.h"

#include "fleet/fleet_settings.h"
#include "fleet/laptop_roles.h"
#include "fleet/site_csv.h"
#include "fleet/site_fact_writes.h"
#include "platform/checked_number.h"

#include <QDateTime>
#include <QFile>
#include <QUuid>

#include <map>
#include <ostream>

namespace fleet {

namespace {

const char* const kUsage =
    "usage: admin add-site --service NAME CODE NAME LONGITUDE LATITUDE [--elevation M]\n"
    "                [--description TEXT] [--visit-days N]\n"
    "       admin deploy --service NAME SERIAL SITE [--from TIME] [--withdraw]\n"
    "       admin remove --service NAME SERIAL [--at TIME]\n"
    "       admin set-meaning --service NAME DATA_SET COLUMN PROPERTY UOM [--unit SERIAL]\n"
    "                [--from TIME] [--definition URI] [--symbol S] [--uom-name NAME]\n"
    "       admin calibrate --service NAME DATA_SET COLUMN A B --from TIME [--to TIME]\n"
    "                [--unit SERIAL]\n"
    "       admin add-note --service NAME (--site CODE | --unit SERIAL) [--at TIME]\n"
    "                [--category maintenance|calibration|damage|other] [--by NAME] TEXT\n"
    "       admin import --service NAME sites|deployments|meanings|calibrations FILE.csv\n"
    "       admin site-facts --service NAME [CODE]\n"
    "TIME: 2026-06-01 or 2026-06-01T08:00:00 (UTC unless an offset follows)\n";

const char* const kCommands[] = {"add-site",  "deploy",   "remove", "set-meaning",
                                 "calibrate", "add-note", "import", "site-facts"};
// The options each takes a value for; --withdraw alone takes none.
const char* const kValued[] = {"--service",  "--elevation", "--description", "--visit-days",
                               "--from",     "--at",        "--unit",        "--definition",
                               "--symbol",   "--uom-name",  "--to",          "--site",
                               "--category", "--by"};

int usage(std::ostream& err, const QString& why) {
    err << "error: " << why.toStdString() << "\n" << kUsage;
    return 2;
}

QString timeText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

void printFacts(const SiteFacts& f, const std::optional<QString>& code, std::ostream& out) {
    const auto line = [&](const QString& s) { out << s.toStdString() << "\n"; };
    for (const Site& s : f.sites)
        if (!code || s.code == *code)
            line(QStringLiteral("site %1 \"%2\" at %3, %4%5%6")
                     .arg(s.code, s.name)
                     .arg(s.longitude, 0, 'f', 6)
                     .arg(s.latitude, 0, 'f', 6)
                     .arg(s.elevation ? QStringLiteral(", %1 m").arg(*s.elevation) : QString())
                     .arg(s.visitDays ? QStringLiteral(", visited every %1 days").arg(*s.visitDays)
                                      : QString()));
    for (const Deployment& d : f.deployments)
        if (!code || d.site == *code)
            line(QStringLiteral("deployment %1 at %2 from %3 %4%5")
                     .arg(d.unit, d.site, timeText(d.fromMs))
                     .arg(d.toMs ? QStringLiteral("to ") + timeText(*d.toMs)
                                 : QStringLiteral("(deployed)"))
                     .arg(d.sideBySide ? QStringLiteral(", side by side") : QString()));
    if (!code) {
        for (const ColumnMeaning& m : f.meanings)
            line(QStringLiteral("meaning %1 column %2 of %3 from %4: %5 [%6]")
                     .arg(m.dataSet)
                     .arg(m.column)
                     .arg(m.unit.isEmpty() ? QStringLiteral("every unit") : m.unit,
                          timeText(m.fromMs), m.property, m.uom.code));
        for (const Calibration& c : f.calibrations)
            line(QStringLiteral("calibration %1 column %2 of %3 from %4%5: %6 * x + %7")
                     .arg(c.dataSet)
                     .arg(c.column)
                     .arg(c.unit.isEmpty() ? QStringLiteral("every unit") : c.unit,
                          timeText(c.fromMs),
                          c.toMs ? QStringLiteral(" to ") + timeText(*c.toMs) : QString())
                     .arg(c.a)
                     .arg(c.b));
    }
    for (const FieldNote& n : f.notes)
        if (!code || n.site == *code)
            line(QStringLiteral("note %1 about %2 (%3, by %4): %5")
                     .arg(timeText(n.atMs), n.site.isEmpty() ? n.unit : n.site,
                          noteCategoryName(n.category), n.by.isEmpty() ? QStringLiteral("?") : n.by,
                          n.text.simplified()));
    if (!f.unread.empty())
        line(f.unread.told());
}

} // namespace

bool isSiteCommand(const QString& command) {
    for (const char* c : kCommands)
        if (command == QLatin1String(c))
            return true;
    return false;
}

// Whole: the command line of every site command read in one pass, then one branch each.
int runSiteAdmin(const QStringList& args, std::ostream& out, std::ostream& err) {
    if (args.isEmpty() || !isSiteCommand(args.front()))
        return usage(err, QStringLiteral("no site command"));
    const QString command = args.front();
    std::map<QString, QString> opt;
    bool withdraw = false;
    QStringList rest;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        bool valued = false;
        for (const char* v : kValued)
            valued = valued || a == QLatin1String(v);
        if (valued && i + 1 < args.size()) {
            opt[a] = args[++i];
        } else if (a == QLatin1String("--withdraw") && command == QLatin1String("deploy")) {
            withdraw = true;
        } else if (a.startsWith(QLatin1String("--")) && a.size() > 2) {
            return usage(err, QStringLiteral("unknown option ") + a);
        } else {
            rest << a;
        }
    }
    const QString service = opt[QStringLiteral("--service")];
    if (!validServiceName(service))
        return usage(err, QStringLiteral("--service takes a service name of pg_service.conf"));
    const auto has = [&](const char* o) { return opt.count(QString::fromLatin1(o)) > 0; };
    const auto get = [&](const char* o) {
        const auto i = opt.find(QString::fromLatin1(o));
        return i == opt.end() ? QString() : i->second;
    };
    // A TIME option, or now when it is not given; false when it does not read.
    std::optional<QString> bad;
    const auto time = [&](const char* o, std::int64_t& ms) {
        if (!has(o)) {
            ms = QDateTime::currentMSecsSinceEpoch();
            return true;
        }
        const auto t = parseSinceTime(get(o));
        if (!t)
            bad = QStringLiteral("%1 takes a TIME").arg(QLatin1String(o));
        ms = t.value_or(0);
        return bool(t);
    };
    const auto number = [&](const QString& text, double& v) {
        const auto n = platform::parseFinite(text.toStdString(), -1e300, 1e300);
        v = n.value_or(0);
        return bool(n);
    };

    std::vector<SiteFactToAdd> facts;
    if (command == QLatin1String("add-site") && rest.size() == 4) {
        Site s;
        s.code = rest[0];
        s.name = rest[1];
        s.description = get("--description");
        if (!number(rest[2], s.longitude) || !number(rest[3], s.latitude))
            return usage(err, QStringLiteral("LONGITUDE and LATITUDE are decimal degrees"));
        if (has("--elevation")) {
            double e = 0;
            if (!number(get("--elevation"), e))
                return usage(err, QStringLiteral("--elevation takes metres"));
            s.elevation = e;
        }
        if (has("--visit-days")) {
            const auto d = platform::parseInteger(get("--visit-days").toStdString(), 1, 3650);
            if (!d)
                return usage(err, QStringLiteral("--visit-days takes 1 to 3650"));
            s.visitDays = int(*d);
        }
        facts.push_back({s, false, {}});
    } else if (command == QLatin1String("deploy") && rest.size() == 2) {
        Deployment d;
        d.unit = rest[0];
        d.site = rest[1];
        if (!time("--from", d.fromMs))
            return usage(err, *bad);
        facts.push_back({d, withdraw, {}});
    } else if (command == QLatin1String("remove") && rest.size() == 1) {
        Removal r;
        r.unit = rest[0];
        if (!time("--at", r.atMs))
            return usage(err, *bad);
        facts.push_back({r, false, {}});
    } else if (command == QLatin1String("set-meaning") && rest.size() == 4) {
        ColumnMeaning m;
        m.dataSet = rest[0];
        const auto column = platform::parseInteger(rest[1].toStdString(), 1, 1000);
        if (!column)
            return usage(err, QStringLiteral("COLUMN counts the record's fields from 1"));
        m.column = int(*column);
        m.property = rest[2];
        m.uom = commonUnit(rest[3]).value_or(UnitOfMeasure{rest[3], rest[3], QString()});
        if (has("--symbol"))
            m.uom.symbol = get("--symbol");
        if (has("--uom-name"))
            m.uom.name = get("--uom-name");
        m.unit = get("--unit");
        m.definition = get("--definition");
        if (!time("--from", m.fromMs))
            return usage(err, *bad);
        facts.push_back({m, false, {}});
    } else if (command == QLatin1String("calibrate") && rest.size() == 4 && has("--from")) {
        Calibration c;
        c.dataSet = rest[0];
        const auto column = platform::parseInteger(rest[1].toStdString(), 1, 1000);
        if (!column || !number(rest[2], c.a) || !number(rest[3], c.b))
            return usage(err, QStringLiteral("calibrate takes DATA_SET COLUMN A B"));
        c.column = int(*column);
        c.unit = get("--unit");
        if (!time("--from", c.fromMs))
            return usage(err, *bad);
        if (has("--to")) {
            std::int64_t to = 0;
            if (!time("--to", to))
                return usage(err, *bad);
            c.toMs = to;
        }
        facts.push_back({c, false, {}});
    } else if (command == QLatin1String("add-note") && rest.size() == 1 &&
               (has("--site") != has("--unit"))) {
        FieldNote n;
        n.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        n.site = get("--site");
        n.unit = get("--unit");
        n.text = rest[0];
        n.by = get("--by");
        const auto category = has("--category") ? noteCategoryFromName(get("--category"))
                                                : std::optional(NoteCategory::Other);
        if (!category)
            return usage(err, QStringLiteral("--category takes maintenance, calibration, damage "
                                             "or other"));
        n.category = *category;
        if (!time("--at", n.atMs))
            return usage(err, *bad);
        facts.push_back({n, false, {}});
    } else if (command == QLatin1String("import") && rest.size() == 2) {
        const auto kind = siteCsvKindFromName(rest[0]);
        if (!kind)
            return usage(err, QStringLiteral("import takes sites, deployments, meanings or "
                                             "calibrations"));
        QFile file(rest[1]);
        if (!file.open(QIODevice::ReadOnly)) {
            err << rest[1].toStdString() << ": " << file.errorString().toStdString() << "\n";
            return 1;
        }
        // A file of site facts is a few thousand rows: 64 MiB is far beyond any.
        const QByteArray bytes = file.read(64LL * 1024 * 1024 + 1);
        if (bytes.size() > 64LL * 1024 * 1024) {
            err << rest[1].toStdString() << ": larger than 64 MiB, nothing imported\n";
            return 1;
        }
        const SiteCsv csv = siteFactsOfCsv(*kind, bytes);
        if (!csv.ok) {
            err << rest[1].toStdString() << ": " << csv.error.toStdString()
                << "; nothing imported\n";
            return 1;
        }
        facts = csv.facts;
    } else if (command == QLatin1String("site-facts") && rest.size() <= 1) {
        PgConnection c;
        const auto timeout = std::chrono::seconds(60);
        if (!c.connect(serviceConninfo(service.toStdString()), timeout, timeout)) {
            err << "server not reached: " << c.error() << "\n";
            return 1;
        }
        const std::optional<QString> code =
            rest.isEmpty() ? std::nullopt : std::optional<QString>(rest[0]);
        const SiteFacts f = readSiteFacts(c, timeout, code);
        if (!f.ok) {
            err << f.error.toStdString() << "\n";
            return 1;
        }
        printFacts(f, code, out);
        return 0;
    } else {
        return usage(err, QStringLiteral("not understood: ") + args.join(QLatin1Char(' ')));
    }

    PgConnection c;
    const auto timeout = std::chrono::seconds(60);
    if (!c.connect(serviceConninfo(service.toStdString()), timeout, timeout)) {
        err << "server not reached: " << c.error() << "\n";
        return 1;
    }
    const AddedSiteFacts added = addSiteFacts(c, facts, timeout);
    if (!added.ok) {
        err << (command == QLatin1String("import") ? rest[1].toStdString() + ": " : std::string())
            << added.error.toStdString() << "; nothing added\n";
        return 1;
    }
    out << added.added << (added.added == 1 ? " fact" : " facts") << " added";
    if (added.alreadyHeld > 0)
        out << ", " << added.alreadyHeld << " already held";
    out << "\n";
    return 0;
}

} // namespace fleet
