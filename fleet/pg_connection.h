// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One connection to the server through libpq, on whichever thread owns it. Every wait
// (connecting, sending, waiting for an answer) sleeps in poll() on the connection's socket
// and on an optional stop descriptor, with a deadline: a server that answers slowly or not
// at all, or a stop asked for by another thread, ends the wait at once and drops the
// connection (the server rolls back what it had of an open transaction). No wait ever blocks
// inside libpq.
//
// Where the server is comes only from the connection string: normally "service=NAME", which
// libpq looks up in pg_service.conf (PGSERVICEFILE); a password comes only from libpq's
// password file (~/.pgpass, PGPASSFILE); TLS is as the service's sslmode says. A host name is
// looked up on a thread of its own (fleet/name_lookup.h) and libpq is given its addresses, so
// that a name lookup that hangs ends with the connection's deadline or its stop, too.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace fleet {

// The connection string of a service name, quoted for libpq.
std::string serviceConninfo(const std::string& service);
// A value quoted for a connection string ("key=" + conninfoValue(v)).
std::string conninfoValue(const std::string& value);

class PgResult {
public:
    PgResult() = default;
    bool ok() const { return m_ok; }
    // SQLSTATE of a refused statement ("42501" ...), empty when the connection failed.
    const std::string& sqlState() const { return m_sqlState; }
    const std::string& error() const { return m_error; }
    // The failure lies with the connection or the server's state (unreachable, restarting,
    // full, too many connections, timed out): try again later. Otherwise the statement itself
    // was refused.
    bool transient() const { return m_transient; }
    bool stopped() const { return m_stopped; }
    // The answer did not come within the statement's deadline (the connection is dropped).
    bool timedOut() const { return m_timedOut; }

    int rows() const;
    // Rows an INSERT, UPDATE or DELETE touched.
    long long affected() const;
    std::string value(int row, int column) const;
    // The same without a copy, valid while this result (or a copy of it) is held.
    std::string_view view(int row, int column) const;
    bool isNull(int row, int column) const;

private:
    friend class PgConnection;
    std::shared_ptr<pg_result> m_result;
    bool m_ok = false;
    bool m_transient = false;
    bool m_stopped = false;
    bool m_timedOut = false;
    std::string m_sqlState;
    std::string m_error;
};

// A parameter: text, bytes (sent in binary form) or NULL.
struct PgParam {
    std::optional<std::string> value;
    bool binary = false;
    static PgParam text(std::string v) { return {std::move(v), false}; }
    static PgParam bytes(std::string v) { return {std::move(v), true}; }
    static PgParam null() { return {std::nullopt, false}; }
};

// Why a connection could not be made, from how far it got: the stage libpq's status had
// reached (PQstatus), whether the server asked for a password and had one
// (PQconnectionNeedsPassword, PQconnectionUsedPassword), and the name lookup's own answer;
// never from libpq's words, which the server may give in another language. libpq's words go
// with it, in error().
enum class ConnectFailure {
    None,
    Stopped,
    Settings,        // the connection string or the service cannot be used (no such service)
    NameUnknown,     // the server's host name does not exist, as the name lookup answered
    NameLookup,      // the name lookup failed for now, or did not end in time
    NoServer,        // nothing answered at the server's address or socket, or not in time
    Tls,             // TLS failed: the certificate was not accepted, or the server takes no TLS
    PasswordRefused, // a password was given, then the connection refused: the password, the
                     // role (no such role, may not log in) or what it may reach (a database)
    NoPassword,      // the server asked for a password and this laptop has none (~/.pgpass)
    Refused,         // refused before any password: pg_hba.conf, too many connections, a server
                     // starting up (libpq keeps the SQLSTATE of a refusal while connecting to
                     // itself, so these are not told apart; its words are)
};
// The operator's words for it ("the server refused this laptop's role or password").
const char* connectFailureText(ConnectFailure failure);
// Whether trying again later may succeed without the operator.
bool connectFailureTransient(ConnectFailure failure);

// How far a connection made can be trusted to be the organisation's server.
struct ConnectionSecurity {
    bool local = false; // over a Unix socket on this machine
    bool tls = false;   // PQsslInUse
    std::string sslmode;
    // Checked: a local socket, or TLS with the certificate and its host name verified.
    bool verified() const { return local || (tls && sslmode == "verify-full"); }
    // For the status line, empty when verified: "unverified connection (sslmode=prefer, no
    // TLS)".
    std::string unverifiedText() const;
};

class PgConnection {
public:
    // `stopFd`: a descriptor that becomes readable when every wait must end (-1: none).
    explicit PgConnection(int stopFd = -1);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects within `timeout`; `statementTimeout` is set on the server as well, so that a
    // statement left behind by a dropped connection ends there too.
    bool connect(const std::string& conninfo, std::chrono::milliseconds timeout,
                 std::chrono::milliseconds statementTimeout = std::chrono::seconds(30));
    bool isOpen() const { return m_conn != nullptr; }
    void close();
    // Why the last connect failed: the operator's words, then libpq's own; whether it may
    // succeed later.
    const std::string& error() const { return m_error; }
    ConnectFailure failure() const { return m_failure; }
    bool errorTransient() const { return connectFailureTransient(m_failure); }
    // The connection made: over TLS or not, and with which sslmode.
    const ConnectionSecurity& security() const { return m_security; }
    // The server's reason was the password (or the role): the person has to act.
    bool authenticationFailed() const {
        return m_failure == ConnectFailure::PasswordRefused ||
               m_failure == ConnectFailure::NoPassword;
    }
    // The server asked for a password on connecting (false where pg_hba.conf trusts the role,
    // or takes it by peer, certificate or Kerberos).
    bool usedPassword() const;

    // One statement; a failure of the connection closes it. The answer must come within
    // `timeout`.
    PgResult exec(const std::string& sql, const std::vector<PgParam>& params = {},
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // After "LISTEN channel" on this session: waits until the server notifies it (every
    // notification pending is taken at once), the stop descriptor ends the wait, or `timeout`
    // passes. Failed closes the connection, as a failed statement does.
    enum class Notice { Notified, TimedOut, Stopped, Failed };
    Notice waitForNotice(std::chrono::milliseconds timeout);

private:
    enum class Wait { Ready, TimedOut, Stopped, Failed };
    Wait waitFor(bool forWrite, std::chrono::steady_clock::time_point deadline);
    PgResult lost(const std::string& why, bool stopped, bool timedOut = false);

    bool fail(ConnectFailure failure, const std::string& libpqWords);

    pg_conn* m_conn = nullptr;
    int m_stopFd = -1;
    std::string m_error;
    ConnectFailure m_failure = ConnectFailure::None;
    ConnectionSecurity m_security;
};

// Whether a SQLSTATE means "try again later" rather than "this statement is refused".
bool transientSqlState(const std::string& state);

} // namespace fleet
