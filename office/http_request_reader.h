// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bounds of xrq-office's front door and the one reader of its requests: HTTP/1.1 as a
// browser sends it (a request line in origin form, headers, and a body only by Content-Length),
// read byte by byte as they come, each request held to kMostHeadBytes of request line and
// headers and to the sign-in form's size of body before any of it is kept. What it does not
// take (a chunked body, folded header lines, a second Host, a target that is not a path) is
// refused with the status to answer, never guessed at. Plain logic, no sockets: the server
// (office_server.h) feeds it what a connection reads.
//
// Written here rather than taken from a library: Debian's Qt HTTP Server (6.4) buffers request
// lines, headers and bodies without bound and has neither a connection cap nor a timeout, and
// the other HTTP server library in Debian would bring a second TLS stack beside Qt's and its
// own threads; the subset a browser needs of this service is small enough to read strictly.

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <chrono>
#include <utility>
#include <vector>

namespace office {

// The front door's limits; the defaults are the service's.
struct FrontLimits {
    qsizetype mostHeadBytes = 16 * 1024; // request line and headers
    qsizetype mostBodyBytes = 4096;      // the sign-in form, the largest body taken
    int mostConnections = 512;           // open at once, in all
    int mostPerAddress = 32;             // open at once from one client address
    // A connection waiting for a request's first byte (a new one, or between requests) is
    // closed after idleFor; a request must be whole within readFor of its first byte.
    std::chrono::milliseconds idleFor{15000};
    std::chrono::milliseconds readFor{10000};
    // Requests waiting for a read thread beyond those being answered; more get 503.
    int mostWaiting = 64;
    int retryAfterSeconds = 5; // told with a 503
};

struct HttpRequest {
    QByteArray method, target;                              // target: "/path?query", as sent
    bool http11 = true;                                     // else HTTP/1.0
    std::vector<std::pair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;
    // The header's value (names in lower case), empty when absent.
    QByteArray value(QByteArrayView name) const;
    // Whether the connection stays open for another request after this one's answer.
    bool keepAlive() const;
};

// Which Host names this service answers to: a loopback name or address on its own port, the
// address it listens on (on its port), and the names given as public (on any port: a port
// forwarded or a proxy in front may differ). Anything else is another site's page speaking
// through the browser (DNS rebinding), and is refused.
struct HostRule {
    quint16 port = 0;
    bool tls = false; // the port a Host without one means: 443, else 80
    QHostAddress listening;
    QStringList publicNames; // lower case, without a trailing dot
    bool allows(QByteArrayView host) const;
};

class RequestReader {
public:
    enum class State { NeedMore, Complete, Refused };

    RequestReader(const FrontLimits& limits, HostRule hosts);

    // Takes the bytes read; Complete once a whole request is there (request()), Refused with
    // the status to answer (refusedStatus(), refusedWhy()) when it breaks a bound or a rule,
    // after which nothing more is taken.
    State feed(QByteArrayView bytes);
    const HttpRequest& request() const { return m_request; }
    int refusedStatus() const { return m_status; }
    const QString& refusedWhy() const { return m_why; }
    // Whether any byte of the next request has come.
    bool started() const { return !m_buffer.isEmpty() || m_state != State::NeedMore; }
    // Ready for the next request on the connection, keeping the bytes already read past this
    // one (a pipelined request), which the next feed() reads first.
    void next();

private:
    State refuse(int status, const QString& why);
    State readHead(qsizetype end);

    const FrontLimits m_limits;
    const HostRule m_hosts;
    QByteArray m_buffer;
    HttpRequest m_request;
    State m_state = State::NeedMore;
    bool m_headDone = false;
    qsizetype m_bodyBytes = 0;
    int m_status = 0;
    QString m_why;
};

// The status line and headers of an answer, the body's length told (a HEAD's too); a
// negative length: the body follows in chunks (HTTP/1.1's chunked transfer coding).
QByteArray answerHead(int status, const QByteArray& type, qsizetype bodyBytes,
                      const std::vector<std::pair<QByteArray, QByteArray>>& headers,
                      bool keepAlive);

} // namespace office
