// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/http_request_reader.h"

#include <algorithm>

namespace office {

namespace {

// RFC 9110's token characters: what a method and a header name may hold.
bool tokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView s) {
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), tokenChar);
}

// A header value: visible characters, spaces and tabs (obs-text too), no other control byte.
bool fieldValue(QByteArrayView s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

// A request target in origin form: "/" and then visible ASCII only.
bool originForm(QByteArrayView t) {
    return t.startsWith('/') && std::all_of(t.begin(), t.end(), [](char c) {
               const auto u = static_cast<unsigned char>(c);
               return u > 0x20 && u < 0x7f;
           });
}

// Content-Length: digits only, at most `most`; -1 when it is not one.
qsizetype contentLength(QByteArrayView v, qsizetype most) {
    if (v.isEmpty() || v.size() > 12)
        return -1;
    qsizetype n = 0;
    for (char c : v) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n <= most ? n : -2;
}

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

} // namespace

QByteArray HttpRequest::value(QByteArrayView name) const {
    for (const auto& [n, v] : headers)
        if (n == name)
            return v;
    return {};
}

bool HttpRequest::keepAlive() const {
    const QByteArray connection = value("connection").toLower();
    return http11 && !connection.contains("close");
}

bool HostRule::allows(QByteArrayView hostHeader) const {
    QByteArray host = hostHeader.toByteArray().toLower();
    quint16 asked = tls ? 443 : 80;
    QByteArray name;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return false;
        name = host.mid(1, close - 1);
        host = host.mid(close + 1);
        if (!host.isEmpty() && !host.startsWith(':'))
            return false;
    } else {
        const qsizetype colon = host.indexOf(':');
        name = colon < 0 ? host : host.left(colon);
        host = colon < 0 ? QByteArray() : host.mid(colon);
    }
    if (!host.isEmpty()) { // ":port"
        const qsizetype p = contentLength(QByteArrayView(host).sliced(1), 65535);
        if (p < 1)
            return false;
        asked = quint16(p);
    }
    if (name.endsWith('.'))
        name.chop(1);
    if (name.isEmpty())
        return false;
    const QString text = QString::fromLatin1(name);
    if (publicNames.contains(text))
        return true;
    if (asked != port)
        return false;
    if (name == "localhost" || name.endsWith(".localhost"))
        return true;
    // Only a whole address: QHostAddress also reads "127.1" and "2130706433", which a browser
    // would send as they are.
    QHostAddress address;
    if (!address.setAddress(text) ||
        (address.protocol() == QAbstractSocket::IPv4Protocol && name.count('.') != 3))
        return false;
    return address.isLoopback() || (!listening.isNull() && address.isEqual(listening));
}

RequestReader::RequestReader(const FrontLimits& limits, HostRule hosts)
    : m_limits(limits), m_hosts(std::move(hosts)) {}

RequestReader::State RequestReader::refuse(int status, const QString& why) {
    m_status = status;
    m_why = why;
    m_buffer.clear();
    return m_state = State::Refused;
}

void RequestReader::next() {
    if (m_state != State::Complete)
        return;
    m_request = {};
    m_headDone = false;
    m_bodyBytes = 0;
    m_state = State::NeedMore;
}

RequestReader::State RequestReader::readHead(qsizetype end) {
    const QByteArrayView head = QByteArrayView(m_buffer).first(end);
    qsizetype lineEnd = head.indexOf("\r\n");
    const QByteArrayView line = lineEnd < 0 ? head : head.first(lineEnd);
    const qsizetype space1 = line.indexOf(' ');
    const qsizetype space2 = space1 < 0 ? -1 : line.indexOf(' ', space1 + 1);
    if (space1 < 0 || space2 < 0 || line.indexOf(' ', space2 + 1) >= 0)
        return refuse(400, QStringLiteral("the request line is not understood"));
    m_request.method = line.first(space1).toByteArray();
    m_request.target = line.sliced(space1 + 1, space2 - space1 - 1).toByteArray();
    const QByteArrayView version = line.sliced(space2 + 1);
    if (!isToken(m_request.method))
        return refuse(400, QStringLiteral("the request line is not understood"));
    if (version == "HTTP/1.1")
        m_request.http11 = true;
    else if (version == "HTTP/1.0")
        m_request.http11 = false;
    else
        return refuse(505, QStringLiteral("this service speaks HTTP/1.1"));
    if (!originForm(m_request.target))
        return refuse(400, QStringLiteral("the request's target is no path of this service"));
    qsizetype at = lineEnd < 0 ? end : lineEnd + 2;
    bool host = false, length = false;
    while (at < end) {
        qsizetype e = head.indexOf("\r\n", at);
        if (e < 0)
            e = end;
        const QByteArrayView field = head.sliced(at, e - at);
        at = e + 2;
        const qsizetype colon = field.indexOf(':');
        if (colon <= 0 || !isToken(field.first(colon)))
            return refuse(400, QStringLiteral("a header line is not understood"));
        const QByteArray name = field.first(colon).toByteArray().toLower();
        const QByteArrayView value = field.sliced(colon + 1).trimmed();
        if (!fieldValue(value))
            return refuse(400, QStringLiteral("a header holds a control character"));
        if (m_request.headers.size() >= 100)
            return refuse(431, QStringLiteral("too many headers"));
        if (name == "transfer-encoding")
            return refuse(501, QStringLiteral("this service takes a body by Content-Length only"));
        if (name == "host" || name == "content-length") {
            bool& seen = name == "host" ? host : length;
            if (seen)
                return refuse(400, QStringLiteral("a second %1 header").arg(QLatin1String(name)));
            seen = true;
        }
        m_request.headers.emplace_back(name, value.toByteArray());
    }
    if (m_request.http11 && !host)
        return refuse(400, QStringLiteral("the request names no Host"));
    // Another site's name, or none of ours: nothing of the request is read further.
    if (!m_hosts.allows(m_request.value("host")))
        return refuse(421, QStringLiteral("this service answers only to its own names"));
    if (length) {
        const qsizetype n =
            contentLength(m_request.value("content-length"), m_limits.mostBodyBytes);
        if (n == -2)
            return refuse(413, QStringLiteral("the request's body is larger than any this "
                                              "service takes"));
        if (n < 0)
            return refuse(400, QStringLiteral("Content-Length is no length"));
        m_bodyBytes = n;
    } else if (m_request.method == "POST" || m_request.method == "PUT") {
        return refuse(411, QStringLiteral("a body needs its Content-Length"));
    }
    m_headDone = true;
    m_buffer.remove(0, end + 4);
    return m_state = State::NeedMore;
}

RequestReader::State RequestReader::feed(QByteArrayView bytes) {
    if (m_state != State::NeedMore)
        return m_state;
    m_buffer.append(bytes);
    if (!m_headDone) {
        // Empty lines before a request are allowed (RFC 9112, 2.2), and skipped.
        while (m_buffer.startsWith("\r\n"))
            m_buffer.remove(0, 2);
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0 || end + 4 > m_limits.mostHeadBytes) {
            if (end >= 0 || m_buffer.size() > m_limits.mostHeadBytes)
                return refuse(431, QStringLiteral("the request line and headers are larger "
                                                  "than this service takes"));
            return m_state;
        }
        if (readHead(end) == State::Refused)
            return m_state;
    }
    if (m_buffer.size() < m_bodyBytes)
        return m_state;
    m_request.body = m_buffer.left(m_bodyBytes);
    m_buffer.remove(0, m_bodyBytes);
    // The next request's bytes stay, but never more than one request's worth.
    if (m_buffer.size() > m_limits.mostHeadBytes + m_limits.mostBodyBytes)
        return refuse(431, QStringLiteral("too much sent ahead of the answer"));
    return m_state = State::Complete;
}

QByteArray answerHead(int status, const QByteArray& type, qsizetype bodyBytes,
                      const std::vector<std::pair<QByteArray, QByteArray>>& headers,
                      bool keepAlive) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    if (!type.isEmpty())
        head += "Content-Type: " + type + "\r\n";
    head += bodyBytes < 0 ? QByteArray("Transfer-Encoding: chunked\r\n")
                          : "Content-Length: " + QByteArray::number(bodyBytes) + "\r\n";
    for (const auto& [name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return head;
}

} // namespace office
