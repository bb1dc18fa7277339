// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_server.h"

#include "platform/thread_boundary.h"

#include "office/sign_in.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>

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
        // A request's one boundary: whatever goes wrong making its answer is logged and
        // answered with a 500, and the worker serves the next.
        auto made = std::make_shared<Answer>();
        std::string why;
        if (!platform::runBoundary(
                "the office's answer to a request", [&] { *made = serve(r, m_config); }, &why))
            *made = unexpectedAnswer(r, QString::fromStdString(why));
        m_answers.post([socket, out = std::move(out), made = std::move(made)] {
            // Back on the server's thread.
            if (socket)
                responseOf(std::move(*made)).write(std::move(*out));
        });
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
