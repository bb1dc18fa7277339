// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HTTP side of xrq-office: a front door of its own on QTcpServer, on the thread that makes
// it (the HTTP thread). Every connection is counted and bounded before anything of it is kept:
// at most FrontLimits::mostConnections open (a new one past it takes the place of the one idle
// longest, or is closed), at most mostPerAddress from one client address, closed when it waits
// longer than idleFor for a request or a request takes longer than readFor to arrive whole;
// its bytes read by RequestReader (http_request_reader.h), which holds each request to its
// bounds and to this service's own Host names. A connection answers one request at a time and
// reads nothing more meanwhile (Qt's buffer of it is bounded to one request).
//
// Every whole request is answered on a worker of the service's own pool (m_pool, at most
// `workers` at a time), at most mostWaiting more waiting for one (any more: 503 with
// Retry-After at once), unless its client has left by the time a worker takes it; the answer
// comes back to the HTTP thread through the hand-over of ui_handover/ (a queue our own mutex
// orders), which writes it while its client is still there; so one slow read never holds up
// the others. Nothing is kept between requests.
//
// With TLS every connection is a QSslSocket with the whole certificate chain of the files,
// read again on reloadCertificates() (SIGHUP), and every answer says Strict-Transport-Security.

#include "office/http_request_reader.h"
#include "office/office_routes.h"
#include "platform/result.h"
#include "ui_handover/ui_handover.h"

#include <QHostAddress>
#include <QRunnable>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class QTcpSocket;
class QTimer;

namespace office {

struct TlsFiles {
    QString certificate, key; // PEM; the certificate file may hold the chain after it
};

class OfficeServer {
public:
    explicit OfficeServer(OfficeConfig config, int workers = 4, FrontLimits limits = {});
    ~OfficeServer();
    OfficeServer(const OfficeServer&) = delete;
    OfficeServer& operator=(const OfficeServer&) = delete;

    // Host names beyond the loopback ones that the service answers to (--public-name).
    void setPublicNames(const QStringList& names);
    // Listens (port 0: any free one, then port() tells it). A port another program holds is
    // Busy; certificate or key files that are not there or not read, NotFound, Refused or
    // Invalid.
    platform::Result<void> listen(const QHostAddress& address, quint16 port,
                                  const std::optional<TlsFiles>& tls);
    // Reads the certificate and key again, for the connections from now on; on failure the
    // ones in use stay, and the error says what is wrong.
    platform::Result<void> reloadCertificates();
    quint16 port() const { return m_port; }
    int connections() const { return int(m_connections.size()); }
    // Requests handed to the read threads and not yet answered (waiting ones among them).
    int inWork() const { return m_inWork; }

private:
    class Listener : public QTcpServer {
    public:
        explicit Listener(OfficeServer& owner) : m_owner(owner) {}

    protected:
        void incomingConnection(qintptr descriptor) override;

    private:
        OfficeServer& m_owner;
    };
    struct Streamed;
    struct Connection {
        Connection(QTcpSocket* s, QString from, RequestReader r);
        QTcpSocket* socket = nullptr; // deleted later, with its timer
        QTimer* timer = nullptr;      // the socket's child
        QString peer;
        RequestReader reader;
        bool busy = false; // a request is being answered: nothing more is read
        std::chrono::steady_clock::time_point idleSince;
        // Set on the HTTP thread when the client goes; read by the worker before its work.
        std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
        std::shared_ptr<Streamed> streaming; // an answer being streamed to it, if any
    };

    void accepted(qintptr descriptor);
    void readable(quint64 id);
    void ended(quint64 id);
    void waitIdle(Connection& c);
    // Writes an answer; keeps the connection for the next request or closes it after.
    void write(quint64 id, Answer answer, bool head, bool keepAlive);
    // After an answer's last byte: the connection waits for the next request or is closed.
    void finish(quint64 id, bool keepAlive);
    // The headers of an answer: every answer's, then its own.
    std::vector<std::pair<QByteArray, QByteArray>> headersOf(Answer& a) const;
    // On a worker: an answer whose body is made in pieces (Answer::stream) written as they
    // come, with HTTP/1.1's chunked coding, each piece handed to this thread.
    void stream(quint64 id, bool keepAlive, Answer answer);
    // Hands the request to a read thread and its answer back to this thread.
    void dispatch(quint64 id, const HttpRequest& request);
    Connection* find(quint64 id);
    platform::Result<void> loadTls(const TlsFiles& files);

    OfficeConfig m_config;
    const FrontLimits m_limits;
    const int m_workers;
    HostRule m_hosts;
    Listener m_listener{*this};
    std::optional<TlsFiles> m_tlsFiles;
    std::optional<QSslConfiguration> m_tls;
    std::map<quint64, std::unique_ptr<Connection>> m_connections;
    std::map<QString, int> m_perAddress;
    quint64 m_nextId = 1;
    int m_inWork = 0; // requests handed to the pool and not yet answered
    // The answers made on the pool, back to this thread; it outlives the pool's reads.
    platform::UiHandover m_answers;
    // The requests handed to the pool, each run by the one runnable m_runner (made before any
    // of the pool's threads): the work crosses under our own mutex, which the race detector
    // sees, rather than through Qt's queue alone, whose locks it cannot see into.
    void runOne();
    std::mutex m_jobsLock;
    std::deque<std::function<void()>> m_jobs;
    std::unique_ptr<QRunnable> m_runner;
    // Declared after the server: destroyed first, waiting for the reads still running.
    QThreadPool m_pool;
    quint16 m_port = 0;
};

} // namespace office
