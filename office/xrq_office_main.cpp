// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office: the office's read-only view of the organisation's server, over HTTP.
#include "office/office_options.h"
#include "office/office_server.h"
#include "office/session_cookies.h"

#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <iostream>

#include <sys/signalfd.h>
#include <unistd.h>

#ifndef XRQ_VERSION
#define XRQ_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const office::ParsedOffice parsed = office::parseOfficeCommandLine(args);
    if (!parsed.error.isEmpty()) {
        std::cerr << "xrq-office: " << parsed.error.toStdString() << "\n"
                  << office::officeHelpText();
        return int(office::Exit::Usage);
    }
    const office::OfficeOptions& o = parsed.options;
    if (o.help) {
        std::cout << office::officeHelpText();
        return int(office::Exit::Done);
    }
    if (o.version) {
        std::cout << "xrq-office " << XRQ_VERSION << "\n";
        return int(office::Exit::Done);
    }
    // SIGTERM and SIGINT end the loop, read on this thread through a signalfd.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr); // before any thread starts: all inherit it
    const int endingFd = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    office::OfficeConfig config;
    config.conninfo = fleet::serviceConninfo(o.service.toStdString());
    config.context.visitIntervalDays = o.visitIntervalDays;
    // Beyond this machine each person signs in, and reads as a role of their own.
    if (!o.address.isLoopback())
        config.sessions = std::make_shared<office::SessionStore>();
    office::OfficeServer server(config, o.workers);
    std::optional<office::TlsFiles> tls;
    if (!o.tlsCert.isEmpty())
        tls = office::TlsFiles{o.tlsCert, o.tlsKey};
    QString why;
    if (!server.listen(o.address, o.port, tls, why)) {
        std::cerr << "xrq-office: " << why.toStdString() << "\n";
        return int(office::Exit::Failed);
    }
    QSocketNotifier ended(endingFd, QSocketNotifier::Read);
    QObject::connect(&ended, &QSocketNotifier::activated, &app, [&] { app.quit(); });
    const QString host = o.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(o.address.toString())
                             : o.address.toString();
    std::cerr << "xrq-office: serving " << (tls ? "https" : "http") << "://" << host.toStdString()
              << ":" << server.port() << "/ from service " << o.service.toStdString()
              << (config.sessions ? ", each person signed in with a role of xrq_office" : "")
              << std::endl;
    app.exec();
    close(endingFd);
    return int(office::Exit::Done);
}
