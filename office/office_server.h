// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HTTP side of xrq-office: Qt's HTTP Server (Debian's qt6-httpserver-dev) on the thread
// that makes it, which parses requests and writes answers; every answer that reads the server
// is made on a worker of the service's own pool (m_pool, at most `workers` at a time) and
// handed back to the server's thread through the hand-over of ui_handover/ (a queue our own
// mutex orders), which writes it while its client is still there; so one slow read never holds up
// the others. Nothing is kept between requests.

#include "office/office_routes.h"
#include "ui_handover/ui_handover.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QString>
#include <QTcpSocket>
#include <QThreadPool>

#include <memory>

#include <optional>

namespace office {

struct TlsFiles {
    QString certificate, key; // PEM
};

class OfficeServer {
public:
    explicit OfficeServer(OfficeConfig config, int workers = 4);
    ~OfficeServer();
    OfficeServer(const OfficeServer&) = delete;
    OfficeServer& operator=(const OfficeServer&) = delete;

    // Listens (port 0: any free one, then port() tells it); false with the reason.
    bool listen(const QHostAddress& address, quint16 port, const std::optional<TlsFiles>& tls,
                QString& why);
    quint16 port() const { return m_port; }

private:
    // Hands the request to a read thread and its answer back to this thread's responder.
    void dispatch(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    // An answer whose body is streamed (Answer::stream), from the worker that made it.
    void stream(const QPointer<QTcpSocket>& socket, std::shared_ptr<QHttpServerResponder> out,
                std::shared_ptr<Answer> made);

    OfficeConfig m_config;
    QHttpServer m_http;
    // The answers made on the pool, back to this thread; it outlives the pool's reads.
    platform::UiHandover m_answers;
    // Declared after the server: destroyed first, waiting for the reads still running.
    QThreadPool m_pool;
    quint16 m_port = 0;
};

} // namespace office
