// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's benchmarks share as its client: one GET waited for with a deadline, and
// the service's peak memory as the kernel counts it.

#include "bench/bench_timing.h"
#include "support/wait.h"

#include <QByteArray>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <chrono>

namespace bench {

struct Got {
    int status = 0;
    QByteArray body;
};

// GET `url`; the benchmark `name` ends when no answer comes within `wait`.
inline Got get(const char* name, QNetworkAccessManager& net, const QString& url,
               std::chrono::seconds wait) {
    QNetworkReply* reply = net.get(QNetworkRequest(QUrl(url)));
    if (!testsupport::waitUntil([&] { return reply->isFinished(); }, wait))
        fail(name, "no answer to " + url.toStdString());
    Got g{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    reply->deleteLater();
    return g;
}

// The process's peak resident memory (VmHWM) in KiB; -1 when it cannot be read.
inline long peakKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    return -1;
}

} // namespace bench
