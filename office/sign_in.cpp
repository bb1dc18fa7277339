// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/sign_in.h"

#include "office/query_params.h"

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"

#include <QUrl>

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
    Credentials who{form.value("role"), form.value("password").toUtf8()};
    if (who.role.isEmpty() || who.password.isEmpty())
        return signInAnswer(401, QStringLiteral("A role and its password are needed."), next,
                            who.role);
    SignInCheck check;
    if (who.role.toUtf8().size() > kMostRoleBytes)
        check = {SignInCheck::Outcome::Refused, {}}; // the server would refuse it so
    else
        check = checkSignIn(config.conninfo, who, config.limits);
    switch (check.outcome) {
    case SignInCheck::Outcome::SignedIn: {
        Answer a = seeOther(next);
        a.headers.emplace_back("Set-Cookie", sessionCookie(config.sessions->open(std::move(who)),
                                                           config.sessions->lifetime()));
        return a;
    }
    case SignInCheck::Outcome::Refused:
        return signInAnswer(401, QStringLiteral("That role and password were not accepted."), next,
                            who.role);
    case SignInCheck::Outcome::NotMember:
    case SignInCheck::Outcome::NoPassword:
        return signInAnswer(403, check.message, next, who.role);
    case SignInCheck::Outcome::Unavailable:
        break;
    }
    return signInAnswer(503, check.message, next, who.role);
}

} // namespace

std::string conninfoAs(const std::string& serviceConninfo, const Credentials& who) {
    return serviceConninfo + " user=" + fleet::conninfoValue(who.role.toStdString()) +
           " password=" + fleet::conninfoValue(who.password.toStdString());
}

SignInCheck checkSignIn(const std::string& serviceConninfo, const Credentials& who,
                        const ReadLimits& limits) {
    using Outcome = SignInCheck::Outcome;
    fleet::PgConnection pg;
    if (!pg.connect(conninfoAs(serviceConninfo, who), limits.connectTimeout,
                    limits.statementTimeout)) {
        if (pg.authenticationFailed())
            return {Outcome::Refused, {}};
        // libpq's words name the server, never whether the role exists.
        return {Outcome::Unavailable,
                QStringLiteral("The server could not be asked, try again later: %1")
                    .arg(QString::fromStdString(pg.error()))};
    }
    if (!pg.usedPassword())
        return {Outcome::NoPassword,
                QStringLiteral("The server let role %1 in without asking for its password: "
                               "signing in here needs password authentication (scram-sha-256 "
                               "in the server's pg_hba.conf) for it.")
                    .arg(who.role)};
    const fleet::PgResult r = pg.exec(
        kMemberOfOffice, {fleet::PgParam::text(fleet::kOfficeGroupRole)}, limits.statementTimeout);
    if (!r.ok() || r.rows() != 1)
        return {Outcome::Unavailable,
                QStringLiteral("The role's membership could not be read, try again later: %1")
                    .arg(QString::fromStdString(r.error()))};
    if (r.value(0, 0) != "t")
        return {Outcome::NotMember,
                QStringLiteral("Role %1 may not look here: it is no member of %2 (the server's "
                               "owner grants it: xrq-series admin grant-office %1).")
                    .arg(who.role, QLatin1String(fleet::kOfficeGroupRole))};
    return {Outcome::SignedIn, {}};
}

QString localTarget(const QString& next) {
    // One slash and a path of ours: "//host" and "/\host" are other sites to a browser.
    if (!next.startsWith(QLatin1Char('/')) || next.startsWith(QLatin1String("//")) ||
        next.startsWith(QLatin1String("/\\")) || next.startsWith(QLatin1String("/sign-")))
        return QStringLiteral("/");
    return next;
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
    const std::optional<Credentials> who = config.sessions->find(token);
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
    OfficeConfig as = config;
    as.conninfo = conninfoAs(config.conninfo, *who);
    as.context.signedInAs = who->role;
    return answer(request, as);
}

} // namespace office
