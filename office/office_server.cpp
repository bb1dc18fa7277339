// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_server.h"

#include "office/site_pages.h"

#include "office/read_connections.h"
#include "office/sign_in.h"
#include "office/sign_in_backoff.h"
#include "platform/thread_boundary.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include <sys/socket.h>
#include <unistd.h>

namespace office {

namespace {

// How long a connection that was told to close may take to read its answer.
constexpr std::chrono::seconds kClosingFor{5};

Request requestOf(const HttpRequest& h, bool tls, const QString& peer) {
    Request out;
    out.method = h.method;
    const QUrl url = QUrl::fromEncoded(h.target);
    out.path = url.path(QUrl::FullyDecoded);
    out.query = url.query(QUrl::FullyEncoded).toLatin1();
    out.cookie = h.value("cookie");
    out.origin = h.value("origin");
    out.host = h.value("host");
    out.contentType = h.value("content-type");
    if (out.method == "POST")
        out.body = h.body;
    // The Host was checked to be one of this service's names (HostRule).
    out.linkOrigin = (tls ? QStringLiteral("https://") : QStringLiteral("http://")) +
                     QString::fromLatin1(out.host);
    out.peer = peer;
    return out;
}

} // namespace

OfficeServer::Connection::Connection(QTcpSocket* s, QString from, RequestReader r)
    : socket(s), timer(new QTimer(s)), peer(std::move(from)), reader(std::move(r)) {}

// A streamed answer's pieces on their way from the worker that makes them to the client. The
// worker waits while more than kMostUnsent bytes are not yet taken by the client's socket, so
// a slow reader holds a bounded share of memory; a client that left, or one that takes nothing
// for kStallLimit, stops the worker.
struct OfficeServer::Streamed {
    static constexpr std::size_t kMostUnsent = 256 * 1024;
    static constexpr std::chrono::seconds kStallLimit{30};

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t unsent = 0; // bytes handed over and not yet written out of the socket
    bool gone = false;
    QMetaObject::Connection watch; // the socket's bytesWritten; the HTTP thread's only

    void leave() {
        const std::lock_guard lock(mutex);
        gone = true;
        changed.notify_all();
    }
    void written(qint64 bytes) {
        const std::lock_guard lock(mutex);
        unsent -= std::min<std::size_t>(unsent, static_cast<std::size_t>(bytes));
        changed.notify_all();
    }
    // On the worker: room for `bytes` more, false when the client went or stalled.
    bool room(std::size_t bytes) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, kStallLimit, [&] { return gone || unsent < kMostUnsent; }) ||
            gone)
            return false;
        unsent += bytes;
        return true;
    }
};

namespace {

QByteArray chunkOf(std::string_view piece) {
    QByteArray out = QByteArray::number(qulonglong(piece.size()), 16) + "\r\n";
    out.append(piece.data(), qsizetype(piece.size()));
    out += "\r\n";
    return out;
}

} // namespace

void OfficeServer::Listener::incomingConnection(qintptr descriptor) {
    m_owner.accepted(descriptor);
}

OfficeServer::OfficeServer(OfficeConfig config, int workers, FrontLimits limits)
    : m_config(std::move(config)), m_limits(limits), m_workers(std::max(1, workers)) {
    class Runner : public QRunnable {
    public:
        explicit Runner(OfficeServer& owner) : m_owner(owner) { setAutoDelete(false); }
        void run() override { m_owner.runOne(); }

    private:
        OfficeServer& m_owner;
    };
    m_runner = std::make_unique<Runner>(*this);
    m_pool.setMaxThreadCount(m_workers);
    // A session that ends (signed out, expired, or dropped for a newer one) takes its
    // connections and its counting jobs with it.
    if (m_config.sessions) {
        m_config.sessions->setOnEnded(&forgetReader);
        if (!m_config.backoff)
            m_config.backoff = std::make_shared<SignInBackoff>();
    }
}

OfficeServer::~OfficeServer() {
    m_listener.close();
    m_pool.waitForDone();
    for (auto& [id, c] : m_connections) {
        c->socket->disconnect();
        c->socket->abort();
        delete c->socket;
    }
}

void OfficeServer::setPublicNames(const QStringList& names) {
    m_hosts.publicNames.clear();
    for (QString n : names) {
        n = n.toLower();
        if (n.endsWith(QLatin1Char('.')))
            n.chop(1);
        m_hosts.publicNames.append(n);
    }
}

OfficeServer::Connection* OfficeServer::find(quint64 id) {
    const auto it = m_connections.find(id);
    return it == m_connections.end() ? nullptr : it->second.get();
}

void OfficeServer::accepted(qintptr descriptor) {
    // The connection's address before anything else of it: over its cap it is closed unread,
    // with no socket object made for it (a flood of them costs a system call or two each).
    sockaddr_storage from{};
    socklen_t fromSize = sizeof from;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&from), &fromSize) != 0) {
        ::close(int(descriptor));
        return;
    }
    const QString peer = QHostAddress(reinterpret_cast<const sockaddr*>(&from)).toString();
    const auto count = m_perAddress.find(peer);
    if (count != m_perAddress.end() && count->second >= m_limits.mostPerAddress) {
        ::close(int(descriptor));
        return;
    }
    if (int(m_connections.size()) >= m_limits.mostConnections) {
        // The one waiting longest for a request makes room; none waiting: this one goes.
        Connection* longest = nullptr;
        quint64 longestId = 0;
        for (auto& [id, c] : m_connections)
            if (!c->busy && !c->reader.started() &&
                (!longest || c->idleSince < longest->idleSince)) {
                longest = c.get();
                longestId = id;
            }
        if (!longest) {
            ::close(int(descriptor));
            return;
        }
        longest->socket->abort(); // ended() runs now
        if (find(longestId))
            ended(longestId);
    }
    QTcpSocket* socket = m_tls ? new QSslSocket(&m_listener) : new QTcpSocket(&m_listener);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    const quint64 id = m_nextId++;
    auto c = std::make_unique<Connection>(socket, peer, RequestReader(m_limits, m_hosts));
    // Qt reads no more of the connection than one request's worth ahead of this side.
    socket->setReadBufferSize(m_limits.mostHeadBytes + m_limits.mostBodyBytes);
    // An answer's last small segment goes at once rather than waiting for the client's
    // acknowledgement of the one before (Nagle against a delayed ACK: some 40 ms an answer).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    c->timer->setSingleShot(true);
    QObject::connect(c->timer, &QTimer::timeout, socket, [socket] { socket->abort(); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, id] { readable(id); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, id] { ended(id); });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                     [this, id](QAbstractSocket::SocketError) {
                         // A refused handshake or a reset: the connection is over.
                         if (Connection* c = find(id); c && !c->busy)
                             c->socket->abort();
                     });
    ++m_perAddress[peer];
    Connection& made = *c;
    m_connections.emplace(id, std::move(c));
    waitIdle(made);
    if (m_tls) {
        auto* tls = static_cast<QSslSocket*>(socket);
        tls->setSslConfiguration(*m_tls);
        tls->startServerEncryption(); // within the idle time too
    }
}

void OfficeServer::waitIdle(Connection& c) {
    c.idleSince = std::chrono::steady_clock::now();
    c.timer->start(m_limits.idleFor);
}

void OfficeServer::ended(quint64 id) {
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    Connection& c = *it->second;
    c.gone->store(true);
    if (c.streaming)
        c.streaming->leave();
    c.timer->stop();
    c.socket->disconnect();
    c.socket->deleteLater(); // not here: this may run inside one of its signals
    if (--m_perAddress[c.peer] <= 0)
        m_perAddress.erase(c.peer);
    m_connections.erase(it);
}

void OfficeServer::readable(quint64 id) {
    Connection* c = find(id);
    if (!c || c->busy)
        return;
    const bool started = c->reader.started();
    const QByteArray bytes = c->socket->readAll();
    const RequestReader::State state = c->reader.feed(bytes);
    if (state == RequestReader::State::NeedMore) {
        // From its first byte a request has readFor to arrive whole, however slowly it comes.
        if (!started && c->reader.started())
            c->timer->start(m_limits.readFor);
        return;
    }
    c->timer->stop();
    c->busy = true;
    if (state == RequestReader::State::Refused) {
        write(id, errorAnswer(c->reader.refusedStatus(), c->reader.refusedWhy()), false, false);
        return;
    }
    dispatch(id, c->reader.request());
}

void OfficeServer::dispatch(quint64 id, const HttpRequest& request) {
    Connection& c = *find(id);
    const bool head = request.method == "HEAD", keepAlive = request.keepAlive();
    if (m_inWork >= m_workers + m_limits.mostWaiting) {
        Answer busy = errorAnswer(503, QStringLiteral("the service is busy: try again shortly"));
        busy.headers.emplace_back("Retry-After", QByteArray::number(m_limits.retryAfterSeconds));
        write(id, std::move(busy), head, false);
        return;
    }
    Request r = requestOf(request, m_tls.has_value(), c.peer);
    r.clientGone = c.gone;
    ++m_inWork;
    {
        const std::lock_guard hold(m_jobsLock);
        m_jobs.push_back([this, id, head, keepAlive, r = std::move(r)] {
            // On a worker of m_pool. A client that left while this waited costs nothing more.
            std::optional<Answer> made;
            // A request's one boundary: whatever goes wrong making its answer is logged and
            // answered with a 500, and the worker serves the next.
            std::string why;
            if (!r.clientGone->load() &&
                !platform::runBoundary(
                    "the office's answer to a request", [&] { made = serve(r, m_config); }, &why))
                made = unexpectedAnswer(r, QString::fromStdString(why));
            if (made && made->stream && !head) {
                stream(id, keepAlive, std::move(*made));
                return;
            }
            m_answers.post([this, id, head, keepAlive, made = std::move(made)]() mutable {
                // Back on the HTTP thread.
                --m_inWork;
                if (made && find(id))
                    write(id, std::move(*made), head, keepAlive);
            });
        });
    }
    m_pool.start(m_runner.get());
}

void OfficeServer::runOne() {
    // On a worker of m_pool: one start, one request, the oldest first.
    std::function<void()> job;
    {
        const std::lock_guard hold(m_jobsLock);
        if (m_jobs.empty())
            return;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
    }
    job();
}

std::vector<std::pair<QByteArray, QByteArray>> OfficeServer::headersOf(Answer& a) const {
    std::vector<std::pair<QByteArray, QByteArray>> headers =
        commonHeaders(tileOrigin(m_config.context.tileUrl));
    if (m_tls)
        headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
    for (auto& h : a.headers)
        headers.push_back(std::move(h));
    return headers;
}

void OfficeServer::write(quint64 id, Answer a, bool head, bool keepAlive) {
    Connection& c = *find(id);
    // A streamed answer comes here only for a HEAD: its head says chunked, with no chunk.
    c.socket->write(
        answerHead(a.status, a.type, a.stream ? -1 : a.body.size(), headersOf(a), keepAlive));
    if (!head)
        c.socket->write(a.body);
    finish(id, keepAlive);
}

void OfficeServer::finish(quint64 id, bool keepAlive) {
    Connection& c = *find(id);
    if (!keepAlive) {
        c.timer->start(kClosingFor);
        c.socket->disconnectFromHost(); // once written; ended() follows
        return;
    }
    c.busy = false;
    c.reader.next();
    waitIdle(c);
    // A request sent ahead (pipelined), or bytes Qt held while this one was answered.
    if (c.reader.started() || c.socket->bytesAvailable() > 0)
        QTimer::singleShot(0, c.socket, [this, id] { readable(id); });
}

void OfficeServer::stream(quint64 id, bool keepAlive, Answer a) {
    // On a worker of m_pool: the pieces are made here; the HTTP thread alone touches the
    // connection, through m_answers, in the order they were made.
    auto flow = std::make_shared<Streamed>();
    const auto pieces = std::move(a.stream);
    a.stream = nullptr;
    m_answers.post([this, id, keepAlive, flow, a = std::move(a)]() mutable {
        Connection* c = find(id);
        if (!c) {
            flow->leave();
            return;
        }
        c->streaming = flow;
        flow->watch = QObject::connect(c->socket, &QTcpSocket::bytesWritten, c->socket,
                                       [flow](qint64 n) { flow->written(n); });
        c->socket->write(answerHead(a.status, a.type, -1, headersOf(a), keepAlive));
    });
    bool whole = false;
    const auto write = [&] {
        whole = pieces([&](std::string_view piece) {
            if (piece.empty())
                return true;
            QByteArray chunk = chunkOf(piece);
            if (!flow->room(std::size_t(chunk.size())))
                return false;
            m_answers.post([this, id, chunk = std::move(chunk)] {
                if (Connection* c = find(id))
                    c->socket->write(chunk);
            });
            return true;
        });
    };
    // Its boundary: an unexpected error while the pieces are made cuts the answer off.
    if (!platform::runBoundary("the office's streamed answer", write))
        whole = false;
    // The end: the last chunk, or, when the answer could not be made whole, the connection
    // closed without it, so the client sees a cut answer and never takes it for the whole.
    m_answers.post([this, id, keepAlive, flow, whole] {
        --m_inWork;
        QObject::disconnect(flow->watch);
        Connection* c = find(id);
        if (!c)
            return;
        c->streaming.reset();
        if (!whole) {
            c->socket->abort(); // ended() runs now
            if (find(id))
                ended(id);
            return;
        }
        c->socket->write("0\r\n\r\n");
        finish(id, keepAlive);
    });
}

platform::Result<void> OfficeServer::loadTls(const TlsFiles& files) {
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(files.certificate);
    QFile keyFile(files.key);
    if (chain.isEmpty())
        return platform::makeError(
            platform::ErrorKind::Invalid,
            QStringLiteral("%1: no PEM certificate there").arg(files.certificate).toStdString());
    if (!keyFile.open(QIODevice::ReadOnly))
        return platform::makeError(
            keyFile.error() == QFileDevice::PermissionsError ? platform::ErrorKind::Refused
                                                             : platform::ErrorKind::NotFound,
            QStringLiteral("%1: %2").arg(files.key, keyFile.errorString()).toStdString());
    const QByteArray pem = keyFile.readAll();
    QSslKey key(pem, QSsl::Rsa);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Ec);
    if (key.isNull())
        return platform::makeError(platform::ErrorKind::Invalid,
                                   QStringLiteral("%1: no unencrypted PEM key (RSA or EC) there")
                                       .arg(files.key)
                                       .toStdString());
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    // The leaf and every intermediate after it, so that a browser needs only the root.
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tls = tls;
    m_tlsFiles = files;
    return {};
}

platform::Result<void> OfficeServer::reloadCertificates() {
    if (!m_tlsFiles)
        return platform::makeError(platform::ErrorKind::Invalid, "the service serves without TLS");
    return loadTls(*m_tlsFiles);
}

platform::Result<void> OfficeServer::listen(const QHostAddress& address, quint16 port,
                                            const std::optional<TlsFiles>& tls) {
    if (tls)
        if (auto loaded = loadTls(*tls); !loaded)
            return loaded;
    // Room in the kernel's queue for a burst of connections (Qt's default is 50): past it a
    // well-behaved client's connection waits a second or more for its turn, whatever the caps.
    m_listener.setListenBacklogSize(1024);
    if (!m_listener.listen(address, port))
        return platform::makeError(m_listener.serverError() == QAbstractSocket::AddressInUseError
                                       ? platform::ErrorKind::Busy
                                       : platform::ErrorKind::Refused,
                                   QStringLiteral("cannot listen on %1:%2: %3")
                                       .arg(address.toString())
                                       .arg(port)
                                       .arg(m_listener.errorString())
                                       .toStdString());
    m_port = m_listener.serverPort();
    m_hosts.port = m_port;
    m_hosts.tls = tls.has_value();
    m_hosts.listening = address;
    return {};
}

} // namespace office
