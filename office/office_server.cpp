// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_server.h"

#include "office/sign_in.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace office {

namespace {

QByteArray methodName(QHttpServerRequest::Method m) {
    switch (m) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    default:
        return "OTHER";
    }
}

Request requestOf(const QHttpServerRequest& r) {
    Request out;
    out.method = methodName(r.method());
    out.path = r.url().path(QUrl::FullyDecoded);
    out.query = r.url().query(QUrl::FullyEncoded).toLatin1();
    out.cookie = r.value("cookie");
    out.origin = r.value("origin");
    out.host = r.value("host");
    out.contentType = r.value("content-type");
    if (out.method == "POST")
        out.body = r.body();
    out.linkOrigin = r.url()
                         .adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                                   QUrl::RemoveUserInfo)
                         .toString(QUrl::FullyEncoded);
    return out;
}

QHttpServerResponse responseOf(Answer a) {
    QHttpServerResponse r(a.type, std::move(a.body),
                          static_cast<QHttpServerResponder::StatusCode>(a.status));
    for (auto& h : commonHeaders())
        r.addHeader(std::move(h.first), std::move(h.second));
    for (auto& h : a.headers)
        r.addHeader(std::move(h.first), std::move(h.second));
    return r;
}

// The paths the routes answer; any other is answered at once by the missing handler.
const char* const kPaths[] = {"/",
                              "/units",
                              "/unit",
                              "/api/units",
                              "/api/unit",
                              "/series",
                              "/api/series",
                              "/csv",
                              "/sign-in",
                              "/sign-out",
                              "/static/office.js",
                              "/static/office.css",
                              "/static/dygraph.js",
                              "/static/dygraph.css"};

// A streamed answer's pieces on their way from the worker that makes them to the client,
// written with HTTP/1.1's chunked transfer coding on the server's thread. The worker waits
// while more than kMostUnsent bytes are not yet taken by the client's socket, so a slow
// reader holds a bounded share of memory; a client that left, or one that takes nothing for
// kStallLimit, stops the worker.
struct Streamed {
    static constexpr std::size_t kMostUnsent = 256 * 1024;
    static constexpr std::chrono::seconds kStallLimit{30};

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t unsent = 0; // bytes handed over and not yet written out of the socket
    bool gone = false;
    // Touched on the server's thread only, and let go there, with the socket's signals to it
    // (a kept-alive connection outlives the answer).
    std::shared_ptr<QHttpServerResponder> responder;
    std::vector<QMetaObject::Connection> watches;
    void end() {
        for (const auto& c : watches)
            QObject::disconnect(c);
        watches.clear();
        responder.reset();
    }

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

QByteArray chunkOf(std::string_view piece) {
    QByteArray out = QByteArray::number(qulonglong(piece.size()), 16) + "\r\n";
    out.append(piece.data(), qsizetype(piece.size()));
    out += "\r\n";
    return out;
}

} // namespace

OfficeServer::OfficeServer(OfficeConfig config, int workers) : m_config(std::move(config)) {
    m_pool.setMaxThreadCount(workers);
    for (const char* path : kPaths)
        m_http.route(QString::fromLatin1(path),
                     [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                         dispatch(request, std::move(responder));
                     });
    // The web service's paths hold keys ("Things('SITE1')"), which Qt's routes do not take.
    m_http.setMissingHandler([this](const QHttpServerRequest& request, QHttpServerResponder&& out) {
        if (isApiPath(request.url().path(QUrl::FullyDecoded))) {
            dispatch(request, std::move(out));
            return;
        }
        responseOf(errorAnswer(
                       404, QStringLiteral("no such page: %1").arg(request.url().path().left(100))))
            .write(std::move(out));
    });
}

void OfficeServer::dispatch(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    // Copied here, on the server's thread: the request lives only as long as this call.
    const Request r = requestOf(request);
    // The client may go while its answer is made: the socket is then gone, and the answer is
    // dropped instead of written (writing it is what Qt's own QFuture answers do, into a socket
    // already deleted).
    const QPointer<QTcpSocket> socket = responder.socket();
    auto out = std::make_shared<QHttpServerResponder>(std::move(responder));
    m_pool.start([this, r, socket, out]() mutable {
        // On a worker of m_pool. The answer and the responder go whole to the server's
        // thread, which alone touches and ends them: the worker keeps no share of either.
        auto made = std::make_shared<Answer>(serve(r, m_config));
        if (made->stream) {
            stream(socket, std::move(out), std::move(made));
            return;
        }
        m_answers.post([socket, out = std::move(out), made = std::move(made)] {
            // Back on the server's thread.
            if (socket)
                responseOf(std::move(*made)).write(std::move(*out));
        });
    });
}

void OfficeServer::stream(const QPointer<QTcpSocket>& socket,
                          std::shared_ptr<QHttpServerResponder> out, std::shared_ptr<Answer> made) {
    // On a worker of m_pool: the pieces are made here, each written on the server's thread.
    auto flow = std::make_shared<Streamed>();
    auto onServer = [this, socket, flow](std::function<void(QTcpSocket&)> call) {
        m_answers.post([socket, flow, call = std::move(call)] {
            if (!socket || !flow->responder) {
                flow->end();
                flow->leave();
                return;
            }
            call(*socket);
        });
    };
    m_answers.post([socket, flow, out = std::move(out), status = made->status, type = made->type,
                    headers = made->headers]() mutable {
        flow->responder = std::move(out);
        if (!socket) {
            flow->end();
            flow->leave();
            return;
        }
        flow->watches = {
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket,
                             [flow](qint64 n) { flow->written(n); }),
            QObject::connect(socket, &QObject::destroyed, [flow] { flow->leave(); }),
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [flow] { flow->leave(); })};
        QHttpServerResponder& r = *flow->responder;
        r.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
        for (auto& h : commonHeaders())
            r.writeHeader(h.first, h.second);
        for (auto& h : headers)
            r.writeHeader(h.first, h.second);
        r.writeHeader("Content-Type", type);
        r.writeHeader("Transfer-Encoding", "chunked");
    });
    const bool whole = made->stream([&](std::string_view piece) {
        if (piece.empty())
            return true;
        QByteArray chunk = chunkOf(piece);
        if (!flow->room(std::size_t(chunk.size())))
            return false;
        onServer(
            [flow, chunk = std::move(chunk)](QTcpSocket&) { flow->responder->writeBody(chunk); });
        return true;
    });
    // The end: the last chunk, or, when the answer could not be made whole, the connection
    // closed without it, so the client sees a cut answer and never takes it for the whole.
    onServer([flow, whole](QTcpSocket& s) {
        if (whole)
            flow->responder->writeBody("0\r\n\r\n");
        flow->end();
        if (!whole)
            s.disconnectFromHost();
    });
}

OfficeServer::~OfficeServer() {
    m_pool.waitForDone();
}

bool OfficeServer::listen(const QHostAddress& address, quint16 port,
                          const std::optional<TlsFiles>& tls, QString& why) {
    if (tls) {
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(tls->certificate);
        QFile keyFile(tls->key);
        if (chain.isEmpty()) {
            why = QStringLiteral("%1: no PEM certificate there").arg(tls->certificate);
            return false;
        }
        if (!keyFile.open(QIODevice::ReadOnly)) {
            why = QStringLiteral("%1: %2").arg(tls->key, keyFile.errorString());
            return false;
        }
        const QByteArray pem = keyFile.readAll();
        QSslKey key(pem, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(pem, QSsl::Ec);
        if (key.isNull()) {
            why = QStringLiteral("%1: no unencrypted PEM key (RSA or EC) there").arg(tls->key);
            return false;
        }
        m_http.sslSetup(chain.front(), key);
    }
    m_port = m_http.listen(address, port);
    if (m_port == 0) {
        why = QStringLiteral("cannot listen on %1:%2").arg(address.toString()).arg(port);
        return false;
    }
    return true;
}

} // namespace office
