// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_options.h"

#include "office/site_pages.h"

#include "fleet/fleet_settings.h"

namespace office {

bool parseListen(const QString& text, QHostAddress& address, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false; // an IPv6 address goes in brackets
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address.setAddress(host))
        return false;
    port = quint16(p);
    return true;
}

QString publicName(const QString& text) {
    QString name = text.toLower();
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253 || name.startsWith(QLatin1Char('.')) ||
        name.contains(QLatin1String("..")))
        return {};
    for (const QChar c : name)
        if (!(c >= QLatin1Char('a') && c <= QLatin1Char('z')) &&
            !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            return {};
    return name;
}

// Whole: one branch an option, in the order the manual lists them.
ParsedOffice parseOfficeCommandLine(const std::vector<std::string>& args) {
    ParsedOffice out;
    OfficeOptions& o = out.options;
    auto refuse = [&](const QString& why) {
        out.error = why;
        return out;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const QString a = QString::fromLocal8Bit(args[i]);
        auto value = [&](QString& into) {
            if (i + 1 >= args.size())
                return false;
            into = QString::fromLocal8Bit(args[++i]);
            return true;
        };
        QString v;
        if (a == QLatin1String("--help")) {
            o.help = true;
        } else if (a == QLatin1String("--version")) {
            o.version = true;
        } else if (a == QLatin1String("--service")) {
            if (!value(o.service) || !fleet::validServiceName(o.service))
                return refuse(QStringLiteral("--service takes a service name of pg_service.conf"));
        } else if (a == QLatin1String("--derive-service")) {
            if (!value(o.deriveService) || !fleet::validServiceName(o.deriveService))
                return refuse(
                    QStringLiteral("--derive-service takes a service name of pg_service.conf"));
        } else if (a == QLatin1String("--derive-now")) {
            o.deriveNow = true;
        } else if (a == QLatin1String("--rebuild-derived")) {
            o.rebuildDerived = true;
        } else if (a == QLatin1String("--listen")) {
            if (!value(v) || !parseListen(v, o.address, o.port))
                return refuse(QStringLiteral("--listen takes ADDRESS:PORT (127.0.0.1:8080, "
                                             "[::1]:8080)"));
        } else if (a == QLatin1String("--tls-cert")) {
            if (!value(o.tlsCert) || o.tlsCert.isEmpty())
                return refuse(QStringLiteral("--tls-cert takes a PEM file"));
        } else if (a == QLatin1String("--tls-key")) {
            if (!value(o.tlsKey) || o.tlsKey.isEmpty())
                return refuse(QStringLiteral("--tls-key takes a PEM file"));
        } else if (a == QLatin1String("--public-name")) {
            if (!value(v) || publicName(v).isEmpty())
                return refuse(
                    QStringLiteral("--public-name takes a host name (office.example.org)"));
            o.publicNames.append(publicName(v));
        } else if (a == QLatin1String("--visit-interval")) {
            bool ok = false;
            if (value(v))
                o.visitIntervalDays = v.toInt(&ok);
            if (!ok || o.visitIntervalDays < 1 || o.visitIntervalDays > 3650)
                return refuse(QStringLiteral("--visit-interval takes 1 to 3650 days"));
        } else if (a == QLatin1String("--tile-url")) {
            if (!value(o.tileUrl) || tileOrigin(o.tileUrl).isEmpty())
                return refuse(QStringLiteral("--tile-url takes an https:// or http:// URL with "
                                             "{z}, {x} and {y} (https://tiles.example.org/{z}/"
                                             "{x}/{y}.png)"));
        } else if (a == QLatin1String("--workers")) {
            bool ok = false;
            if (value(v))
                o.workers = v.toInt(&ok);
            if (!ok || o.workers < 1 || o.workers > 64)
                return refuse(QStringLiteral("--workers takes 1 to 64"));
        } else {
            return refuse(QStringLiteral("not understood: ") + a);
        }
    }
    if (o.help || o.version)
        return out;
    if ((o.deriveNow || o.rebuildDerived) && o.deriveService.isEmpty())
        return refuse(QStringLiteral("--derive-now and --rebuild-derived need --derive-service "
                                     "NAME"));
    if (o.deriveNow || o.rebuildDerived)
        return out; // no service: the deriving alone, then the end
    if (o.service.isEmpty())
        return refuse(QStringLiteral("--service NAME is needed"));
    if (o.tlsCert.isEmpty() != o.tlsKey.isEmpty())
        return refuse(QStringLiteral("--tls-cert and --tls-key go together"));
    if (!o.address.isLoopback() && o.tlsCert.isEmpty())
        return refuse(QStringLiteral("%1 is not a loopback address: the service starts there "
                                     "only with --tls-cert FILE --tls-key FILE")
                          .arg(o.address.toString()));
    return out;
}

std::string officeHelpText() {
    return "usage: xrq-office --service NAME [--listen ADDRESS:PORT] [--tls-cert FILE --tls-key "
           "FILE]\n"
           "                  [--public-name NAME]... [--visit-interval DAYS] [--workers N]\n"
           "                  [--tile-url URL] [--derive-service NAME]\n"
           "       xrq-office --derive-service NAME --derive-now | --rebuild-derived\n"
           "The office's view of the organisation's server, read-only, in a browser: every\n"
           "unit's state, its history and every series.\n"
           "  --service NAME         the server, a pg_service.conf name; on a loopback\n"
           "                         address its role reads, and must be a member of\n"
           "                         xrq_office (xrq-series admin grant-office); elsewhere\n"
           "                         each person signs in with a role of their own in\n"
           "                         xrq_office, and reads as it\n"
           "  --listen ADDRESS:PORT  where to serve (default 127.0.0.1:8080; port 0: any free\n"
           "                         one, told on standard error); any address but a\n"
           "                         loopback one needs --tls-cert and --tls-key\n"
           "  --tls-cert FILE        the certificate (PEM) for HTTPS\n"
           "  --tls-key FILE         its private key (PEM, unencrypted); both read again on\n"
           "                         SIGHUP\n"
           "  --public-name NAME     a host name the service answers to beside its address\n"
           "                         and the loopback names (again for more); requests for\n"
           "                         any other get 421\n"
           "  --visit-interval DAYS  a unit not visited for longer is late, where the server\n"
           "                         keeps no interval (default 30)\n"
           "  --workers N            reads of the server at a time (default 4)\n"
           "  --tile-url URL         the sites' map's tiles, fetched by the browser from there\n"
           "                         ({z}, {x}, {y} in it); none: the map shows the positions\n"
           "                         alone, on a plain background, offline\n"
           "  --derive-service NAME  a role of xrq_deriver (xrq-series admin grant-deriver)\n"
           "                         that keeps the web service's Observations derived from\n"
           "                         the facts, on a thread of the service, woken as facts\n"
           "                         arrive; without it another xrq-office (or --derive-now\n"
           "                         run after pushes) keeps them, or pages are derived per\n"
           "                         request\n"
           "  --derive-now           bring the derived Observations up to date, then end\n"
           "  --rebuild-derived      rebuild them from the facts alone, then end\n"
           "Exit status: 0 ended as asked, 1 could not start, 2 command line refused.\n";
}

} // namespace office
