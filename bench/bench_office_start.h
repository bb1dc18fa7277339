// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's benchmarks share before and around their measuring: the private
// PostgreSQL server's schema with the benchmark's login roles (each granted and given a service
// of its own name), and xrq-office started beside the benchmark on a free port of 127.0.0.1,
// waited for until it tells where it listens.

#include "bench/bench_office_client.h"
#include "bench/bench_timing.h"
#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "support/pg_test_server.h"
#include "support/wait.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <initializer_list>
#include <string>

namespace bench {

// The roles a benchmark logs in with besides the owner, each one's service named after it.
enum class Role { Laptop, Office, Deriver };

inline const char* roleName(Role role) {
    switch (role) {
    case Role::Laptop:
        return "bench_laptop";
    case Role::Office:
        return "bench_office";
    case Role::Deriver:
        return "bench_deriver";
    }
    return "";
}

// The owner's service "owner_db", the server's schema, and each of `roles` made, granted and
// given its service. The benchmark `name` ends when any of it fails.
inline void prepareServer(const char* name, testsupport::PgTestServer& server,
                          std::initializer_list<Role> roles) {
    if (!server.ok())
        fail(name, "no server: " + server.error());
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    const std::string owner = fleet::serviceConninfo("owner_db");
    const fleet::InitOutcome init = fleet::initServer(owner);
    if (!init.ok)
        fail(name, "the server's schema was not made: " + init.message.toStdString());
    for (const Role role : roles) {
        const QString login = QString::fromLatin1(roleName(role));
        if (!server.createLoginRole(roleName(role), "bench-pw"))
            fail(name, std::string("the role ") + roleName(role) + " was not made");
        const fleet::InitOutcome granted = role == Role::Laptop ? fleet::grantLaptop(owner, login)
                                           : role == Role::Office
                                               ? fleet::grantOffice(owner, login)
                                               : fleet::grantDeriver(owner, login);
        if (!granted.ok)
            fail(name, std::string("the role ") + roleName(role) +
                           " was not granted: " + granted.message.toStdString());
        server.addService(roleName(role), roleName(role));
    }
}

// xrq-office, the program beside this one, serving the service bench_office (and `extra`
// arguments) on a free port of 127.0.0.1: the port and the address it serves, once it has said
// so (within 30 s, or the benchmark `name` ends with what it told).
struct StartedOffice {
    quint16 port = 0;
    QString base;    // http://127.0.0.1:PORT
    QByteArray told; // its standard error so far
};
inline StartedOffice startOffice(const char* name, QProcess& office,
                                 const QStringList& extra = {}) {
    using namespace std::chrono_literals;
    office.start(QCoreApplication::applicationDirPath() + QStringLiteral("/xrq-office"),
                 QStringList{QStringLiteral("--service"), QStringLiteral("bench_office"),
                             QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} +
                     extra);
    QByteArray told;
    const bool started = testsupport::waitUntil(
        [&] {
            told += office.readAllStandardError();
            return told.contains("/ from service") || office.state() == QProcess::NotRunning;
        },
        30s);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)/"))
                                          .match(QString::fromLatin1(told));
    if (!started || !m.hasMatch())
        fail(name, "xrq-office did not start: " + told.toStdString());
    StartedOffice s;
    s.port = m.captured(1).toUShort();
    s.base = QStringLiteral("http://127.0.0.1:%1").arg(s.port);
    s.told = told;
    return s;
}

// The service's memory at its peak (VmHWM) in MB, on one line after `what`.
inline void reportPeak(const char* what, const QProcess& office) {
    std::printf("%s: %.1f MB\n", what, double(peakKb(office.processId())) / 1024);
}

} // namespace bench
