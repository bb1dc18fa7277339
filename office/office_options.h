// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// xrq-office's command line and exit status. Plain logic, no server.
//
// On a loopback address it serves whoever reaches it; on any other it starts only with TLS
// (--tls-cert and --tls-key), since what it shows is the organisation's record.

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace office {

enum class Exit : int {
    Done = 0,   // --help, --version, or the service ended as asked (SIGTERM, Ctrl+C)
    Failed = 1, // it could not start: the address is taken, the certificate unreadable
    Usage = 2,  // the command line was refused
};

struct OfficeOptions {
    QString service;                               // --service NAME (pg_service.conf)
    QHostAddress address{QHostAddress::LocalHost}; // --listen ADDRESS:PORT
    quint16 port = 8080;
    QString tlsCert, tlsKey;    // --tls-cert FILE --tls-key FILE
    int visitIntervalDays = 30; // --visit-interval DAYS
    int workers = 4;            // --workers N: reads at a time
    QStringList publicNames;    // --public-name NAME, each time: Host names answered to
    QString tileUrl;            // --tile-url URL: the map's tiles; none: positions alone
    // --derive-service NAME: a role of xrq_deriver that keeps the web service's Observations
    // derived (observation_deriver.h) on a thread of the service; none: kept by another.
    QString deriveService;
    bool deriveNow = false;      // --derive-now: bring the derived copy up to date, then end
    bool rebuildDerived = false; // --rebuild-derived: rebuild it from the facts, then end
    bool help = false, version = false;
};

struct ParsedOffice {
    OfficeOptions options;
    QString error; // non-empty: refused, and why
};

// A host name as --public-name takes it: letters, digits, '-' and '.', in lower case, no
// trailing dot; empty when it is not one.
QString publicName(const QString& text);

// `args` without the program name.
ParsedOffice parseOfficeCommandLine(const std::vector<std::string>& args);
// "127.0.0.1:8080", "[::1]:8080" (port 0: any free one); false when it is neither.
bool parseListen(const QString& text, QHostAddress& address, quint16& port);

std::string officeHelpText();

} // namespace office
