// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every answer of xrq-office, by path: the pages, the JSON reads, the CSV and the service's own
// static files. Plain data in and out, so that tests call it without HTTP; runs on a worker
// thread of the service (it reads the server, blocking, through office_reads). Unknown paths
// are 404, malformed queries 400, other methods than GET and HEAD 405, each with a JSON error;
// a server that cannot be read 503.

#include "office/office_pages.h"
#include "office/office_reads.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace office {

class SessionStore;
class SignInBackoff;

struct OfficeConfig {
    std::string conninfo;
    // Who is signed in (sign_in.h); none: whoever reaches the service may look.
    std::shared_ptr<SessionStore> sessions;
    // How long a failed sign-in's address and role wait (made with the sessions when none).
    std::shared_ptr<SignInBackoff> backoff;
    ReadLimits limits;
    PageContext context;
    // Where Debian's libjs-dygraphs puts the plot library.
    QString dygraphsDir = QStringLiteral("/usr/share/javascript/dygraphs");
    // Where Debian's libjs-leaflet puts the map library.
    QString leafletDir = QStringLiteral("/usr/share/javascript/leaflet");
};

struct Request {
    QByteArray method = "GET";
    QString path;     // decoded, without the query
    QByteArray query; // as it came, without the "?"
    // For the sign-in (sign_in.h): the Cookie, Origin, Host and Content-Type headers, and the
    // body of a form.
    QByteArray cookie, origin, host, contentType, body;
    // "http://127.0.0.1:8080" as the client asked: what the web service's links begin with.
    QString linkOrigin;
    // The client's address (the sign-in's back-off), and whether it has left: set by the HTTP
    // thread, read before work that costs (a sign-in's check).
    QString peer;
    std::shared_ptr<const std::atomic<bool>> clientGone;
};

struct Answer {
    int status = 200;
    QByteArray type;
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers; // beyond those every answer has
    // A body too large to be held (a series' CSV): written in pieces to the sink it is given,
    // on the worker that made the answer, instead of `body` (false: it failed; false from
    // the sink: the client went or stopped reading).
    std::function<bool(const std::function<bool(std::string_view)>& sink)> stream = nullptr;
};

// The headers every answer carries: the Content-Security-Policy (scripts, styles and fetches
// from this service only; no frames, no inline script; images from `imageOrigin` too, the
// map's tiles where --tile-url gives them), no sniffing, no referrer, no caching.
std::vector<std::pair<QByteArray, QByteArray>> commonHeaders(const QString& imageOrigin = {});

Answer answer(const Request& request, const OfficeConfig& config);
// The web service's paths (sensor_things.h), which the HTTP side hands over as a whole.
bool isApiPath(const QString& path);
// Whether a path is a page for a person (its errors are pages too), not JSON, a CSV or a file.
bool isPagePath(const QString& path);
Answer errorAnswer(int status, const QString& message);
// What an unexpected error while answering (caught at the request's boundary) answers: a 500,
// in JSON for the API's, the web service's and the CSV's paths, as a page for the pages'.
Answer unexpectedAnswer(const Request& request, const QString& why);
// A path no route answers: 404, as a page where a person asked for one (isPagePath).
Answer unknownPathAnswer(const QString& path);
// A read that failed, as its answer: 404 for what is not there, 413 for more than a read may
// hold, 503 for the server.
Answer readErrorAnswer(const ReadError& error);

} // namespace office
