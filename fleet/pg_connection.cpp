// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/pg_connection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <poll.h>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string quoted(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

} // namespace

std::string serviceConninfo(const std::string& service) {
    return "service=" + quoted(service);
}

std::string conninfoValue(const std::string& value) {
    return quoted(value);
}

bool transientSqlState(const std::string& state) {
    if (state.size() != 5)
        return true; // no state: the connection's own failure
    const std::string cls = state.substr(0, 2);
    // 08 connection, 53 resources (disk full, too many connections), 57 operator
    // intervention (shutdown, cannot connect now, statement cancelled by a timeout), 58
    // system error, 40 serialization or deadlock.
    return cls == "08" || cls == "53" || cls == "57" || cls == "58" || cls == "40";
}

int PgResult::rows() const {
    return m_result ? PQntuples(m_result.get()) : 0;
}

long long PgResult::affected() const {
    return m_result ? std::atoll(PQcmdTuples(m_result.get())) : 0;
}

std::string PgResult::value(int row, int column) const {
    if (!m_result)
        return {};
    return std::string(PQgetvalue(m_result.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(m_result.get(), row, column)));
}

bool PgResult::isNull(int row, int column) const {
    return !m_result || PQgetisnull(m_result.get(), row, column);
}

PgConnection::PgConnection(int stopFd) : m_stopFd(stopFd) {}

PgConnection::~PgConnection() {
    close();
}

void PgConnection::close() {
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

PgConnection::Wait PgConnection::waitFor(bool forWrite, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{PQsocket(m_conn), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                         {m_stopFd, POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Wait::TimedOut;
        const int n = ::poll(fds, m_stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Wait::Failed;
        if (m_stopFd >= 0 && (fds[1].revents & POLLIN))
            return Wait::Stopped;
        if (fds[0].revents)
            return Wait::Ready;
    }
}

bool PgConnection::connect(const std::string& conninfo, std::chrono::milliseconds timeout,
                           std::chrono::milliseconds statementTimeout) {
    close();
    m_error.clear();
    m_errorTransient = false;
    m_authFailed = false;
    const auto deadline = Clock::now() + timeout;
    // libpq's own connect_timeout as well (whole seconds, at least 2), for each host it tries.
    const std::string seconds =
        std::to_string(std::max<long long>(2, (timeout.count() + 999) / 1000));
    const char* keys[] = {"dbname", "connect_timeout", "fallback_application_name", nullptr};
    const char* values[] = {conninfo.c_str(), seconds.c_str(), "xrq", nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (!m_conn) {
        m_error = "out of memory";
        m_errorTransient = true;
        return false;
    }
    // The server's notices ("already exists, skipping") are no one's business on stderr.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        // A malformed connection string or an unknown service is for the operator to mend;
        // a socket that refused at once (a local server that is down) is tried again later.
        m_error = trimmed(PQerrorMessage(m_conn));
        m_errorTransient = m_error.find("service") == std::string::npos &&
                           m_error.find("invalid") == std::string::npos &&
                           m_error.find("syntax error") == std::string::npos;
        close();
        return false;
    }
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    while (st != PGRES_POLLING_OK) {
        if (st == PGRES_POLLING_FAILED) {
            m_error = trimmed(PQerrorMessage(m_conn));
            m_authFailed = m_error.find("password authentication failed") != std::string::npos ||
                           m_error.find("no password supplied") != std::string::npos ||
                           m_error.find("does not exist") != std::string::npos;
            m_errorTransient = !m_authFailed;
            close();
            return false;
        }
        const Wait w = waitFor(st == PGRES_POLLING_WRITING, deadline);
        if (w != Wait::Ready) {
            m_error = w == Wait::Stopped ? "stopped" : "no answer from the server in time";
            m_errorTransient = true;
            close();
            return false;
        }
        st = PQconnectPoll(m_conn);
    }
    if (PQsetnonblocking(m_conn, 1) != 0) {
        m_error = trimmed(PQerrorMessage(m_conn));
        m_errorTransient = true;
        close();
        return false;
    }
    // Before any other statement: names resolve in pg_catalog first and never in a schema a
    // laptop role could write (public on a server that leaves it open), so that no function,
    // operator or type of another role's making stands in for the system's (a to_timestamp
    // that moves every time, a function raising errors). Every statement names its schema as
    // well; casts and operators rely on this path. A service file's own options stay: this is
    // a setting of the session, not of the connection string.
    const PgResult r = exec("SELECT pg_catalog.set_config('search_path', 'pg_catalog, pg_temp', "
                            "false), pg_catalog.set_config('statement_timeout', $1, false)",
                            {PgParam::text(std::to_string(statementTimeout.count()))},
                            std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::max(deadline - Clock::now(), Clock::duration(1000000))));
    if (!r.ok()) {
        m_error = r.error();
        m_errorTransient = r.transient();
        close();
        return false;
    }
    return true;
}

bool PgConnection::usedPassword() const {
    return m_conn && PQconnectionUsedPassword(m_conn) == 1;
}

PgResult PgConnection::lost(const std::string& why, bool stopped) {
    PgResult r;
    r.m_error = why;
    r.m_transient = true;
    r.m_stopped = stopped;
    close();
    return r;
}

PgResult PgConnection::exec(const std::string& sql, const std::vector<PgParam>& params,
                            std::chrono::milliseconds timeout) {
    if (!m_conn)
        return lost("not connected", false);
    const auto deadline = Clock::now() + timeout;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const PgParam& p : params) {
        values.push_back(p.value ? p.value->data() : nullptr);
        lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
        formats.push_back(p.binary ? 1 : 0);
    }
    // Without parameters the simple protocol, which takes several statements at once.
    const int sent =
        params.empty()
            ? PQsendQuery(m_conn, sql.c_str())
            : PQsendQueryParams(m_conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                values.data(), lengths.data(), formats.data(), 0);
    if (!sent)
        return lost(trimmed(PQerrorMessage(m_conn)), false);
    // Send all of it, then wait for the whole answer.
    for (;;) {
        const int f = PQflush(m_conn);
        if (f == 0)
            break;
        if (f < 0)
            return lost(trimmed(PQerrorMessage(m_conn)), false);
        const Wait w = waitFor(true, deadline);
        if (w == Wait::Ready) {
            if (!PQconsumeInput(m_conn))
                return lost(trimmed(PQerrorMessage(m_conn)), false);
            continue;
        }
        return lost(w == Wait::Stopped ? "stopped" : "no answer from the server in time",
                    w == Wait::Stopped);
    }
    PgResult out;
    bool first = true;
    for (;;) {
        while (PQisBusy(m_conn)) {
            const Wait w = waitFor(false, deadline);
            if (w != Wait::Ready)
                return lost(w == Wait::Stopped ? "stopped" : "no answer from the server in time",
                            w == Wait::Stopped);
            if (!PQconsumeInput(m_conn))
                return lost(trimmed(PQerrorMessage(m_conn)), false);
        }
        pg_result* res = PQgetResult(m_conn);
        if (!res)
            break;
        std::shared_ptr<pg_result> held(res, PQclear);
        const ExecStatusType st = PQresultStatus(res);
        if (!first && out.m_ok == false)
            continue; // the first failure is the one to tell
        first = false;
        out.m_result = held;
        out.m_ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
        if (!out.m_ok) {
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            out.m_sqlState = state ? state : "";
            out.m_error = trimmed(PQresultErrorMessage(res));
            out.m_transient = transientSqlState(out.m_sqlState);
        }
    }
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        const std::string why = out.m_error.empty() ? trimmed(PQerrorMessage(m_conn)) : out.m_error;
        PgResult r = lost(why, false);
        r.m_sqlState = out.m_sqlState;
        return r;
    }
    return out;
}

} // namespace fleet
