// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's benchmarks share as its client: one GET waited for with a deadline, runs of
// them timed, and the service's peak memory as the kernel counts it.

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
#include <string>
#include <vector>

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

// `runs` GETs of `url` (each as get), their median and spread reported as `what`; the
// benchmark `name` ends on an answer other than 200. The last answer.
inline Got timedGet(const char* name, QNetworkAccessManager& net, const QString& url,
                    const char* what, int runs, std::chrono::seconds wait) {
    std::vector<double> ms;
    Got g;
    for (int i = 0; i < runs; ++i) {
        const auto s = Clock::now();
        g = get(name, net, url, wait);
        ms.push_back(msSince(s));
        if (g.status != 200)
            fail(name, std::string(what) + ": " + std::to_string(g.status) + " " +
                           g.body.left(300).toStdString());
    }
    report(what, ms);
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
