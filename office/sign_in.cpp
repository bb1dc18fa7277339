// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/sign_in.h"

#include "office/counting_ahead.h"
#include "office/query_params.h"
#include "office/read_connections.h"
#include "office/series_counts.h"
#include "office/sign_in_backoff.h"

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"

#include <QUrl>

#include <cstdio>
#include <iostream>

namespace office {

namespace {

// PostgreSQL's longest name (NAMEDATALEN - 1 bytes).
constexpr qsizetype kMostRoleBytes = 63;
constexpr qsizetype kMostFormBytes = 4096;

// Whether the session's own role is a member of xrq_office, directly or through other roles,
// by the grants (pg_has_role counts every superuser a member).
const char* const kMemberOfOffice =
    "WITH RECURSIVE m(oid) AS (SELECT r.oid FROM pg_catalog.pg_roles r "
    "WHERE r.rolname = session_user UNION SELECT a.roleid FROM pg_catalog.pg_auth_members a "
    "JOIN m ON a.member = m.oid) SELECT EXISTS (SELECT FROM m JOIN pg_catalog.pg_roles o "
    "ON o.oid = m.oid WHERE o.rolname = $1)";

bool isPage(const QString& path) {
    return path == QLatin1String("/") || path == QLatin1String("/units") ||
           path == QLatin1String("/unit") || path == QLatin1String("/series");
}

Answer withNoStore(Answer a) {
    a.headers.emplace_back("Cache-Control", "no-store");
    return a;
}

Answer signInAnswer(int status, const QString& message, const QString& next,
                    const QString& role = {}) {
    return withNoStore({status, "text/html; charset=utf-8", signInPage(message, next, role), {}});
}

Answer seeOther(const QString& to) {
    Answer a{303, "text/plain; charset=utf-8", {}, {}};
    a.headers.emplace_back("Location", QUrl(to).toEncoded());
    return withNoStore(std::move(a));
}

// A form posted from a page of another site is refused: the browser names the page's origin.
bool foreignOrigin(const Request& r) {
    if (r.origin.isEmpty() || r.host.isEmpty())
        return false; // older browsers and other clients send none
    return r.origin != "https://" + r.host && r.origin != "http://" + r.host;
}

// For the service's log: a name as the client sent it, its control characters shown escaped.
std::string logged(const QString& text) {
    std::string out;
    for (const char c : text.left(400).toUtf8().toStdString())
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    return out;
}

// Every failed sign-in, whatever failed: what a guesser sees of a wrong password, a role that
// does not exist, a role that may not look here and a server that cannot be asked is the
// same; the service's log says which.
Answer notSignedIn(const QString& next) {
    return signInAnswer(401, QStringLiteral("That role and password were not accepted."), next);
}

Answer signIn(const Request& r, const OfficeConfig& config) {
    if (foreignOrigin(r))
        return errorAnswer(403, QStringLiteral("a sign-in from another site's page"));
    if (!r.contentType.startsWith("application/x-www-form-urlencoded"))
        return errorAnswer(415, QStringLiteral("the sign-in takes a form "
                                               "(application/x-www-form-urlencoded)"));
    if (r.body.size() > kMostFormBytes)
        return errorAnswer(413, QStringLiteral("the sign-in form is too long"));
    const QueryParams form = parseQuery(
        r.body, {QStringLiteral("role"), QStringLiteral("password"), QStringLiteral("next")});
    if (!form.ok)
        return signInAnswer(400, QStringLiteral("The form was not understood: ") + form.error, {});
    const QString next = localTarget(form.value("next"));
    Credentials who{form.value("role"), form.value("password").toUtf8(), {}};
    if (who.role.isEmpty() || who.password.isEmpty())
        return notSignedIn(next);
    if (config.backoff) {
        if (const std::chrono::seconds wait = config.backoff->wait(r.peer, who.role);
            wait.count() > 0) {
            Answer a = signInAnswer(
                429,
                QStringLiteral("Too many failed sign-ins: try again in %1 s.").arg(wait.count()),
                next);
            a.headers.emplace_back("Retry-After", QByteArray::number(qint64(wait.count())));
            return a;
        }
    }
    // A client that left costs no login at the server.
    if (r.clientGone && r.clientGone->load())
        return notSignedIn(next);
    // A role name longer than the server takes is refused as the server would refuse it.
    const platform::Result<void> check =
        who.role.toUtf8().size() > kMostRoleBytes
            ? platform::Result<void>(platform::makeError(platform::ErrorKind::Refused, {}))
            : checkSignIn(config.conninfo, who, config.limits);
    if (check.ok()) {
        if (config.backoff)
            config.backoff->signedIn(who.role);
        Answer a = seeOther(next);
        a.headers.emplace_back("Set-Cookie", sessionCookie(config.sessions->open(std::move(who)),
                                                           config.sessions->lifetime()));
        return a;
    }
    // A server that cannot be asked counts as a failure too: otherwise a guesser would tell
    // "not asked" from "refused" by the back-off.
    if (config.backoff)
        config.backoff->failed(r.peer, who.role);
    std::cerr << "xrq-office: sign-in of role \"" << logged(who.role) << "\" from "
              << logged(r.peer) << " refused: "
              << (check.text().empty() ? std::string("wrong password or no such role")
                                       : logged(QString::fromStdString(check.text())))
              << std::endl;
    return notSignedIn(next);
}

} // namespace

std::string conninfoAs(const std::string& serviceConninfo, const Credentials& who) {
    return serviceConninfo + " user=" + fleet::conninfoValue(who.role.toStdString()) +
           " password=" + fleet::conninfoValue(who.password.toStdString());
}

platform::Result<void> checkSignIn(const std::string& serviceConninfo, const Credentials& who,
                                   const ReadLimits& limits) {
    using platform::ErrorKind;
    const auto failed = [](ErrorKind kind, const QString& words) {
        return platform::Result<void>(platform::makeError(kind, words.toStdString()));
    };
    fleet::PgConnection pg;
    if (!pg.connect(conninfoAs(serviceConninfo, who), limits.connectTimeout,
                    limits.statementTimeout)) {
        if (pg.authenticationFailed())
            return failed(ErrorKind::Refused, {});
        // libpq's words name the server, never whether the role exists.
        return failed(ErrorKind::Server,
                      QStringLiteral("The server could not be asked, try again later: %1")
                          .arg(QString::fromStdString(pg.error())));
    }
    if (!pg.usedPassword())
        return failed(ErrorKind::Refused,
                      QStringLiteral("The server let role %1 in without asking for its password: "
                                     "signing in here needs password authentication (scram-sha-256 "
                                     "in the server's pg_hba.conf) for it.")
                          .arg(who.role));
    const fleet::PgResult r = pg.exec(
        kMemberOfOffice, {fleet::PgParam::text(fleet::kOfficeGroupRole)}, limits.statementTimeout);
    if (!r.ok() || r.rows() != 1)
        return failed(ErrorKind::Server,
                      QStringLiteral("The role's membership could not be read, try again later: %1")
                          .arg(QString::fromStdString(r.error())));
    if (r.value(0, 0) != "t")
        return failed(
            ErrorKind::Refused,
            QStringLiteral("Role %1 may not look here: it is no member of %2 (the server's "
                           "owner grants it: xrq-series admin grant-office %1).")
                .arg(who.role, QLatin1String(fleet::kOfficeGroupRole)));
    return {};
}

QString localTarget(const QString& next) {
    // One slash and a path of ours: "//host" and "/\host" are other sites to a browser.
    if (!next.startsWith(QLatin1Char('/')) || next.startsWith(QLatin1String("//")) ||
        next.startsWith(QLatin1String("/\\")) || next.startsWith(QLatin1String("/sign-")))
        return QStringLiteral("/");
    return next;
}

void forgetReader(const std::string& reader) {
    if (reader.empty())
        return;
    CountingAhead::shared().cancel(reader);
    ReadConnections::shared().closeReader(reader);
    DerivedSeriesCache::shared().forgetReader(reader);
}

Answer serve(const Request& request, const OfficeConfig& config) {
    if (!config.sessions)
        return answer(request, config);
    const QString& path = request.path;
    if (path == QLatin1String("/sign-in")) {
        if (request.method == "POST")
            return signIn(request, config);
        if (request.method != "GET" && request.method != "HEAD")
            return errorAnswer(405, QStringLiteral("the sign-in takes GET and POST"));
        const QueryParams q = parseQuery(request.query, {QStringLiteral("next")});
        return signInAnswer(200, {}, localTarget(q.ok ? q.value("next") : QString()));
    }
    const QByteArray token = sessionToken(request.cookie);
    if (path == QLatin1String("/sign-out")) {
        if (request.method != "POST")
            return errorAnswer(405, QStringLiteral("the sign-out takes POST"));
        if (foreignOrigin(request))
            return errorAnswer(403, QStringLiteral("a sign-out from another site's page"));
        config.sessions->close(token);
        Answer a = seeOther(QStringLiteral("/sign-in"));
        a.headers.emplace_back("Set-Cookie", sessionCookie({}, {}));
        return a;
    }
    if (path.startsWith(QLatin1String("/static/")))
        return answer(request, config);
    std::optional<Credentials> who = config.sessions->find(token);
    if (!who) {
        if (isPage(path) && (request.method == "GET" || request.method == "HEAD")) {
            QString asked = path;
            if (!request.query.isEmpty())
                asked += QLatin1Char('?') + QString::fromLatin1(request.query);
            return seeOther(QStringLiteral("/sign-in?next=") +
                            QString::fromLatin1(QUrl::toPercentEncoding(asked)));
        }
        return withNoStore(errorAnswer(401, QStringLiteral("not signed in: sign in at /sign-in")));
    }
    // What is kept for the reads below is the session's, by its name (ReaderScope).
    const ReaderScope reader(who->session);
    OfficeConfig as = config;
    as.conninfo = conninfoAs(config.conninfo, *who);
    as.context.signedInAs = who->role;
    who->password.fill('\0');
    Answer a = answer(request, as);
    std::fill(as.conninfo.begin(), as.conninfo.end(), '\0');
    return a;
}

} // namespace office
