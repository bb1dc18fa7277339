// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Who may look, when xrq-office serves beyond its own machine: each person signs in with a
// PostgreSQL role of their own that is a member of xrq_office, and every read is made as that
// role.
//
// The password is checked by the server itself: a connection as the role, with that password,
// through the service's host, port and database (the service name's other settings stay, TLS
// among them); the server must have asked for the password (a role that pg_hba.conf trusts
// would sign in with any), and the role must be a member of xrq_office by the server's grants
// (a superuser is not one by being a superuser). Every failed sign-in gets the same answer (a
// wrong password, a role that does not exist, one outside xrq_office, one the server let in
// without its password, a server that could not be asked): the service's log says which, and
// libpq's words go there only. After a few failures an address and a role wait before their
// next check (SignInBackoff, 429 with Retry-After meanwhile); a client that left before its
// check costs no login. Nothing is written: the session (session_cookies.h) holds the role and
// password in memory while it lasts, and what its reads keep is known by the session's own
// random name, never its password, and goes when it ends (forgetReader).
//
// serve() puts this in front of every path's answer (office_routes' answer()) when the
// service's config holds a session store: the sign-in page and its form (POST /sign-in), the
// sign-out (POST /sign-out), the service's static files for anyone, and for everything else a
// session: a page without one is sent to the sign-in page (303), and any other answer (JSON,
// CSV) is a 401 with a JSON error. Without a store (on a loopback address) it is answer()
// alone. Runs on the service's read threads: it blocks while the server checks a password.

#include "office/office_routes.h"
#include "office/session_cookies.h"
#include "platform/result.h"

#include <string>

namespace office {

// Whether `who` may look here, asked of the server by connecting as the role. Refused: a
// wrong password or no such role (the server does not tell which; no words then), a role the
// server let in without its password, or one that is no member of xrq_office; Server: the
// server could not be asked, try again later. The words are for the service's log, never for
// the browser. `serviceConninfo`: the service's own connection string (its host, port, dbname,
// TLS).
platform::Result<void> checkSignIn(const std::string& serviceConninfo, const Credentials& who,
                                   const ReadLimits& limits);

// The service's connection string with the role and its password instead of the service's.
std::string conninfoAs(const std::string& serviceConninfo, const Credentials& who);

// Where a sign-in may send the browser: a path of this service ("/unit?u=A"), else "/".
QString localTarget(const QString& next);

// A session ended: its counting jobs dropped, its kept connections closed, its reads of kept
// series forgotten. Any thread.
void forgetReader(const std::string& reader);

Answer serve(const Request& request, const OfficeConfig& config);

} // namespace office
