// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office under a flood, against a private PostgreSQL server on a Unix socket (initdb in a
// temporary folder; run as an ordinary user): U units with E events (not timed), then the
// program xrq-office itself on 127.0.0.1, and from this process, all at once:
//  - idle connections, 250 from each of 127.0.0.2 to 127.0.0.9 (2,000), each opened again a
//    second after the service drops it;
//  - endless headers, from 127.0.0.10 to 127.0.0.17, each sent on as fast as the service reads,
//    and begun again when it is dropped;
//  - sign-in forms pipelined, 50 at a time on each of 127.0.0.20 to 127.0.0.27, more sent as
//    answers come (on a loopback address there is no sign-in: each is answered by a read thread
//    all the same, so the forms take their places in the service's queue);
// while a well-behaved client on 127.0.0.1 asks for the Units page, one at a time, on a new
// connection each. Printed: the page's time before the flood and during it, what the flood
// got, and the service's memory at its peak (VmHWM). The goals: under 1 s, under 200 MB.
//
// Usage: bench-office-flood [units] [events] [seconds] [floods]   (default 1000 100000 20 ihs:
// i idle connections, h endless headers, s sign-in forms)
#include "bench/bench_office_client.h"
#include "bench/bench_office_start.h"
#include "bench/bench_timing.h"
#include "fleet/fleet_settings.h"
#include "fleet/server_schema.h"
#include "support/pg_test_server.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using bench::Clock;
using bench::msSince;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& why) {
    bench::fail("bench-office-flood", why);
}

// One connection of the flood: opened from `from`, given its first bytes by `begin` and more
// by `more` whenever the service has read what went before; opened again a while after the
// service drops it.
struct Flooder {
    QString from;
    quint16 port = 0;
    std::function<QByteArray()> begin, more;
    std::chrono::milliseconds again{1000};
    std::unique_ptr<QTcpSocket> socket;
    long long dropped = 0, answers = 0, bytesSent = 0;
    bool stopping = false;

    void open() {
        if (stopping)
            return;
        socket = std::make_unique<QTcpSocket>();
        QTcpSocket* s = socket.get();
        s->bind(QHostAddress(from));
        QObject::connect(s, &QTcpSocket::connected, s, [this, s] { send(s, begin()); });
        QObject::connect(s, &QTcpSocket::bytesWritten, s, [this, s] {
            if (more && s->bytesToWrite() < 64 * 1024)
                send(s, more());
        });
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
            answers += s->readAll().count("HTTP/1.1 ");
            if (more && s->bytesToWrite() < 64 * 1024)
                send(s, more());
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, [this] { reopenLater(); });
        QObject::connect(s, &QTcpSocket::errorOccurred, s, [this, s] {
            if (s->state() == QAbstractSocket::UnconnectedState)
                reopenLater();
        });
        s->connectToHost(QHostAddress::LocalHost, port);
    }
    void send(QTcpSocket* s, const QByteArray& bytes) {
        if (!bytes.isEmpty() && s->state() == QAbstractSocket::ConnectedState)
            bytesSent += s->write(bytes);
    }
    void reopenLater() {
        if (!socket)
            return; // told twice (an error, then the end)
        ++dropped;
        QTcpSocket* s = socket.release();
        s->disconnect();
        s->deleteLater();
        QTimer::singleShot(again, [this] { open(); });
    }
};

} // namespace

int main(int argc, char** argv) {
    const long units = argc > 1 ? std::atol(argv[1]) : 1000;
    const long events = argc > 2 ? std::atol(argv[2]) : 100000;
    const long seconds = argc > 3 ? std::atol(argv[3]) : 20;
    const std::string floods = argc > 4 ? argv[4] : "ihs";
    if (units < 1 || events < 1 || seconds < 1)
        fail("usage: bench-office-flood [units >= 1] [events >= 1] [seconds >= 1]");
    QCoreApplication app(argc, argv);
    // Two thousand sockets and more: as many files as this user may have (the service, its
    // child, gets as many; its own caps are what hold it).
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_max < 4500)
        fail("fewer than 4,500 open files allowed: raise the hard limit (ulimit -Hn)");
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    static testsupport::PgTestServer server;
    bench::prepareServer("bench-office-flood", server, {bench::Role::Office});
    const std::string u = std::to_string(units);
    std::string why;
    if (!server.sql("INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
                    "SELECT gen_random_uuid(), 'XRQ' || lpad((i % " +
                        u +
                        ")::text, 5, '0'), "
                        "(ARRAY['visit','battery','download','clear','link'])[1 + (i / " +
                        u +
                        ") % 5], to_timestamp(1765188000 + i * 60), 'laptop-' || (i % 25), "
                        "jsonb_build_object('port', 3, 'volts', 12.5, 'celsius', 21.0, 'safe', "
                        "true, 'reasons', '[]'::jsonb) FROM generate_series(1, " +
                        std::to_string(events) + ") i;",
                    testsupport::PgTestServer::kDatabase, &why) ||
        !server.sql("VACUUM (ANALYZE) xrq.events;", testsupport::PgTestServer::kDatabase, &why))
        fail("the server was not filled: " + why);

    QProcess office;
    const bench::StartedOffice started = bench::startOffice("bench-office-flood", office);
    const quint16 port = started.port;
    QByteArray told = started.told;
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    // Every series counted first, so that the pages timed are pages.
    testsupport::waitUntil(
        [&] {
            told += office.readAllStandardError();
            return told.contains("every series counted");
        },
        60s);

    // The Units page on a new connection, on a thread of its own (blocking), so that its time
    // is the service's and not this process's turn through the flood's sockets; or fail.
    auto page = [&] {
        double ms = -1;
        QByteArray got;
        QString error;
        std::atomic<bool> done{false};
        std::thread client([&] {
            QTcpSocket s;
            const auto t = Clock::now();
            s.connectToHost(QHostAddress::LocalHost, port);
            s.waitForConnected(60000); // Qt gives up on a connection at its first wait's end
            s.write("GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
            const auto deadline = Clock::now() + 60s;
            while (s.state() != QAbstractSocket::UnconnectedState && Clock::now() < deadline) {
                s.waitForReadyRead(1000);
                got += s.readAll();
            }
            got += s.readAll();
            ms = msSince(t);
            error = s.errorString();
            done = true;
            testsupport::wakeWaiters();
        });
        // The flood goes on meanwhile, on this thread's loop.
        testsupport::waitUntil([&] { return done.load(); }, 120s);
        client.join();
        if (!got.startsWith("HTTP/1.1 200 "))
            fail("the Units page did not come in a minute: " + got.left(200).toStdString() + " " +
                 error.toStdString());
        return ms;
    };
    std::vector<double> calm;
    for (int i = 0; i < 5; ++i)
        calm.push_back(page());
    bench::report("Units page, no flood", calm);

    std::vector<std::unique_ptr<Flooder>> flood;
    auto add = [&](const QString& from, std::function<QByteArray()> begin,
                   std::function<QByteArray()> more, std::chrono::milliseconds again) {
        auto f = std::make_unique<Flooder>();
        f->from = from;
        f->port = port;
        f->begin = std::move(begin);
        f->more = std::move(more);
        f->again = again;
        f->open();
        flood.push_back(std::move(f));
    };
    for (int a = 2; a <= 9 && floods.find('i') != std::string::npos; ++a)
        for (int i = 0; i < 250; ++i)
            add(
                QStringLiteral("127.0.0.%1").arg(a), [] { return QByteArray(); }, {}, 1000ms);
    const QByteArray junk = "X-Junk: " + QByteArray(64 * 1024 - 10, 'a') + "\r\n";
    for (int a = 10; a <= 17 && floods.find('h') != std::string::npos; ++a)
        add(
            QStringLiteral("127.0.0.%1").arg(a), [&] { return "GET / HTTP/1.1\r\n" + host; },
            [&] { return junk; }, 100ms);
    const QByteArray form = "role=someone&password=guess";
    const QByteArray post = "POST /sign-in HTTP/1.1\r\n" + host +
                            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                            QByteArray::number(form.size()) + "\r\n\r\n" + form;
    for (int a = 20; a <= 27 && floods.find('s') != std::string::npos; ++a)
        add(
            QStringLiteral("127.0.0.%1").arg(a), [&] { return post.repeated(50); },
            [&] { return post.repeated(10); }, 100ms);

    std::vector<double> flooded;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    // The flood under way first.
    testsupport::waitUntil([] { return false; }, 2s);
    while (Clock::now() < until) {
        flooded.push_back(page());
        testsupport::waitUntil([] { return false; }, 250ms);
    }
    bench::report("Units page, during the flood", flooded);
    long long dropped[3] = {}, answers[3] = {}, sent[3] = {};
    for (std::size_t i = 0; i < flood.size(); ++i) {
        const int kind = flood[i]->again == 1000ms                               ? 0
                         : flood[i]->more && flood[i]->begin().startsWith("GET") ? 1
                                                                                 : 2;
        dropped[kind] += flood[i]->dropped;
        answers[kind] += flood[i]->answers;
        sent[kind] += flood[i]->bytesSent;
        flood[i]->stopping = true;
    }
    std::printf("idle connections: 2000 opened, %lld dropped by the service\n", dropped[0]);
    std::printf("endless headers: %.1f MB sent, %lld connections dropped, %lld answers\n",
                double(sent[1]) / 1e6, dropped[1], answers[1]);
    std::printf("sign-in forms: %.1f MB sent, %lld answers, %lld connections dropped\n",
                double(sent[2]) / 1e6, answers[2], dropped[2]);
    bench::reportPeak("xrq-office's memory at its peak (VmHWM)", office);
    office.terminate();
    if (!office.waitForFinished(30000) || office.exitCode() != 0)
        fail("xrq-office did not end with 0 on SIGTERM");
    std::printf("xrq-office ended with 0 on SIGTERM\n");
    flood.clear();
    return 0;
}
