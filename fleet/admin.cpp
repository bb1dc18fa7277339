// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/admin.h"

#include "fleet/fleet_settings.h"
#include "fleet/laptop_roles.h"
#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "fleet/site_admin.h"
#include "fleet/visit_intervals.h"

#include <ostream>

namespace fleet {

namespace {

const char* const kUsage = "usage: admin init-server --service NAME [--decline-download-bytes] "
                           "[--max-download-bytes N]\n"
                           "       admin grant-laptop --service NAME ROLE\n"
                           "       admin grant-office --service NAME ROLE\n"
                           "       admin grant-deriver --service NAME ROLE\n"
                           "       admin check-server --service NAME\n"
                           "       admin set-visit-interval --service NAME DAYS [SERIAL]\n"
                           "       admin move-laptop --service NAME LAPTOP_ID ROLE\n"
                           "       admin disown-laptop --service NAME ROLE [--since TIME]\n"
                           "       admin own-laptop --service NAME ROLE\n"
                           "       admin add-site|deploy|remove|set-meaning|calibrate|add-note|"
                           "import|site-facts ... (admin add-site alone says how)\n";

int usage(std::ostream& err, const QString& why) {
    err << "error: " << why.toStdString() << "\n" << kUsage;
    return 2;
}

} // namespace

// Whole: one branch an admin command, in the order the manual lists them.
int runAdmin(const QStringList& args, std::ostream& out, std::ostream& err,
             decltype(InitOptions::deriveRecords) deriveRecords) {
    if (args.isEmpty())
        return usage(err, QStringLiteral("no command"));
    const QString command = args.front();
    if (isSiteCommand(command))
        return runSiteAdmin(args, out, err);
    QString service;
    QStringList rest;
    InitOptions options;
    std::optional<std::int64_t> since;
    options.deriveRecords = std::move(deriveRecords);
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--service") && i + 1 < args.size()) {
            service = args[++i];
        } else if (a == QLatin1String("--decline-download-bytes")) {
            options.acceptDownloadBytes = false;
        } else if (a == QLatin1String("--max-download-bytes") && i + 1 < args.size()) {
            bool ok = false;
            options.maxDownloadBytes = args[++i].toLongLong(&ok);
            if (!ok || options.maxDownloadBytes < 0 ||
                options.maxDownloadBytes > InitOptions{}.maxDownloadBytes)
                return usage(err, QStringLiteral("--max-download-bytes takes a byte count up to "
                                                 "67108864 (64 MiB)"));
        } else if (a == QLatin1String("--since") && i + 1 < args.size() &&
                   command == QLatin1String("disown-laptop")) {
            since = parseSinceTime(args[++i]);
            if (!since)
                return usage(err, QStringLiteral("--since takes a TIME: 2026-06-01 or "
                                                 "2026-06-01T08:00:00 (UTC unless an offset "
                                                 "follows)"));
        } else if (a.startsWith(QLatin1String("--"))) {
            return usage(err, QStringLiteral("unknown option ") + a);
        } else {
            rest << a;
        }
    }
    if (!validServiceName(service))
        return usage(err, QStringLiteral("--service takes a service name of pg_service.conf"));
    const std::string conninfo = serviceConninfo(service.toStdString());
    InitOutcome o;
    if (command == QLatin1String("init-server") && rest.isEmpty()) {
        o = initServer(conninfo, options);
    } else if (command == QLatin1String("grant-laptop") && rest.size() == 1) {
        o = grantLaptop(conninfo, rest.front());
    } else if (command == QLatin1String("grant-office") && rest.size() == 1) {
        o = grantOffice(conninfo, rest.front());
    } else if (command == QLatin1String("grant-deriver") && rest.size() == 1) {
        o = grantDeriver(conninfo, rest.front());
    } else if (command == QLatin1String("set-visit-interval") &&
               (rest.size() == 1 || rest.size() == 2)) {
        bool ok = false;
        const int days = rest.front().toInt(&ok);
        if (!ok || days < 1 || days > kMostVisitIntervalDays)
            return usage(err, QStringLiteral("set-visit-interval takes 1 to %1 days")
                                  .arg(kMostVisitIntervalDays));
        o = setVisitInterval(conninfo, days,
                             rest.size() == 2 ? std::optional<QString>(rest[1]) : std::nullopt);
    } else if (command == QLatin1String("move-laptop") && rest.size() == 2) {
        o = moveLaptop(conninfo, rest[0], rest[1]);
    } else if (command == QLatin1String("disown-laptop") && rest.size() == 1) {
        o = disownRole(conninfo, rest.front(), since);
    } else if (command == QLatin1String("own-laptop") && rest.size() == 1) {
        o = ownRole(conninfo, rest.front());
    } else if (command == QLatin1String("check-server") && rest.isEmpty()) {
        const ServerRights rights = checkServerRights(conninfo);
        if (!rights.ok) {
            err << rights.message.toStdString() << "\n";
            return 1;
        }
        for (const QString& line : rights.beyond)
            out << line.toStdString() << "\n";
        if (rights.beyond.isEmpty())
            out << "laptop roles may only add and read facts\n";
        return rights.beyond.isEmpty() ? 0 : 1;
    } else {
        return usage(err, QStringLiteral("not understood: ") + args.join(QLatin1Char(' ')));
    }
    (o.ok ? out : err) << o.message.toStdString() << "\n";
    return o.ok ? 0 : 1;
}

} // namespace fleet
