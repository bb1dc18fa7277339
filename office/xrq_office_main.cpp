// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office: the office's read-only view of the organisation's server, over HTTP.
#include "office/counting_ahead.h"
#include "office/observation_deriver.h"
#include "office/office_options.h"
#include "office/office_server.h"
#include "office/session_cookies.h"

#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"
#include "platform/result.h"
#include "platform/thread_boundary.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <iostream>
#include <memory>
#include <thread>

#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#ifndef XRQ_VERSION
#define XRQ_VERSION "unknown"
#endif

// Whole: the program's start in the order it must happen: options, secrets, signals, server.
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
    if (o.deriveNow || o.rebuildDerived) {
        fleet::PgConnection pg;
        const auto timeout = std::chrono::minutes(10);
        if (!pg.connect(fleet::serviceConninfo(o.deriveService.toStdString()),
                        std::chrono::seconds(30), timeout)) {
            std::cerr << "xrq-office: " << pg.error() << "\n";
            return int(office::Exit::Failed);
        }
        const auto started = std::chrono::steady_clock::now();
        const platform::Result<office::DeriveReport> done =
            office::deriveObservations(pg, o.rebuildDerived, timeout);
        if (!done) {
            std::cerr << "xrq-office: " << done.error().text << "\n";
            return int(office::Exit::Failed);
        }
        const office::DeriveReport& d = done.value();
        std::cout << "derived Observations " << (o.rebuildDerived ? "rebuilt" : "up to date")
                  << ": " << d.whole << " series whole, " << d.appended << " appended, " << d.rows
                  << " Observations written, " << d.failed << " not derived, in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count()
                  << " ms\n";
        for (const QString& p : d.problems)
            std::cout << "  not derived: " << p.toStdString() << "\n";
        return int(d.failed ? office::Exit::Failed : office::Exit::Done);
    }
#ifndef XRQ_SANITIZE_BUILD
    // The sessions' passwords are in this process's memory: no core file and no other process
    // of this user (ptrace, /proc/PID/mem) reads them. The sanitizer builds' leak check needs
    // to read it, so they stay as they are.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    // SIGTERM and SIGINT end the loop, SIGHUP reads the certificates again: read on this
    // thread through a signalfd.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr); // before any thread starts: all inherit it
    const int endingFd = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    office::OfficeConfig config;
    config.conninfo = fleet::serviceConninfo(o.service.toStdString());
    config.context.visitIntervalDays = o.visitIntervalDays;
    config.context.tileUrl = o.tileUrl;
    // Beyond this machine each person signs in, and reads as a role of their own.
    if (!o.address.isLoopback())
        config.sessions = std::make_shared<office::SessionStore>();
    office::OfficeServer server(config, o.workers);
    server.setPublicNames(o.publicNames);
    std::optional<office::TlsFiles> tls;
    if (!o.tlsCert.isEmpty())
        tls = office::TlsFiles{o.tlsCert, o.tlsKey};
    if (auto listening = server.listen(o.address, o.port, tls); !listening) {
        std::cerr << "xrq-office: " << listening.text() << "\n";
        return int(office::Exit::Failed);
    }
    QSocketNotifier ended(endingFd, QSocketNotifier::Read);
    QObject::connect(&ended, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (read(endingFd, &info, sizeof info) == ssize_t(sizeof info)) {
            if (info.ssi_signo != SIGHUP) {
                app.quit();
                continue;
            }
            if (!tls) {
                std::cerr << "xrq-office: SIGHUP: no certificates to read again" << std::endl;
                continue;
            }
            if (auto reloaded = server.reloadCertificates(); reloaded)
                std::cerr << "xrq-office: certificates read again" << std::endl;
            else
                std::cerr << "xrq-office: certificates kept as they were: " << reloaded.text()
                          << std::endl;
        }
    });
    const QString host = o.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(o.address.toString())
                             : o.address.toString();
    std::cerr << "xrq-office: serving " << (tls ? "https" : "http") << "://" << host.toStdString()
              << ":" << server.port() << "/ from service " << o.service.toStdString()
              << (config.sessions ? ", each person signed in with a role of xrq_office" : "")
              << std::endl;
    // Every series counted ahead of the first Units page, as the service's own role reads
    // (a person signed in counts as their own role, from their first Units page on): the
    // signatures read on a thread of its own, the counting on CountingAhead's.
    std::thread countingEvery;
    if (!config.sessions)
        countingEvery = std::thread([&config] {
            platform::runBoundary("counting every series at the start", [&config] {
                const auto started = std::chrono::steady_clock::now();
                if (const platform::Result<void> asked =
                        office::countEverySeries(config.conninfo, config.limits);
                    !asked) {
                    std::cerr << "xrq-office: the series are counted as pages ask: " << asked.text()
                              << std::endl;
                    return;
                }
                office::CountingAhead& counting = office::CountingAhead::shared();
                if (counting.idle(std::chrono::hours(24 * 365)))
                    std::cerr << "xrq-office: every series counted (" << counting.counted()
                              << " derived) in "
                              << std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started)
                                     .count()
                              << " ms" << std::endl;
            });
        });
    // The derived Observations kept up to date as facts arrive, as a role of their own.
    std::unique_ptr<office::ObservationDeriver> deriver;
    if (!o.deriveService.isEmpty()) {
        deriver = std::make_unique<office::ObservationDeriver>(
            fleet::serviceConninfo(o.deriveService.toStdString()), std::chrono::minutes(10),
            [](const QString& line) {
                std::cerr << "xrq-office: " << line.toStdString() << std::endl;
            });
        deriver->start();
    }
    app.exec();
    deriver.reset();
    office::CountingAhead::shared().stop();
    if (countingEvery.joinable())
        countingEvery.join();
    close(endingFd);
    return int(office::Exit::Done);
}
