// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/pg_connection.h"

#include "fleet/name_lookup.h"

#include <libpq-fe.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netdb.h>
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

std::string_view PgResult::view(int row, int column) const {
    if (!m_result)
        return {};
    return {PQgetvalue(m_result.get(), row, column),
            static_cast<std::size_t>(PQgetlength(m_result.get(), row, column))};
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

PgConnection::Notice PgConnection::waitForNotice(std::chrono::milliseconds timeout) {
    if (!m_conn)
        return Notice::Failed;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (PQconsumeInput(m_conn) == 0) {
            close();
            return Notice::Failed;
        }
        bool notified = false;
        while (PGnotify* n = PQnotifies(m_conn)) {
            notified = true;
            PQfreemem(n);
        }
        if (notified)
            return Notice::Notified;
        switch (waitFor(false, deadline)) {
        case Wait::Ready:
            break;
        case Wait::TimedOut:
            return Notice::TimedOut;
        case Wait::Stopped:
            return Notice::Stopped;
        case Wait::Failed:
            close();
            return Notice::Failed;
        }
    }
}

namespace {

// libpq's status as a stage of the connection, in the order a connection goes through them.
enum Stage { kNetwork = 1, kEncryption, kAuthentication, kAfterLogin, kReady };

int stageOf(ConnStatusType st) {
    switch (st) {
    case CONNECTION_SSL_STARTUP:
    case CONNECTION_GSS_STARTUP:
        return kEncryption;
    case CONNECTION_AWAITING_RESPONSE:
        return kAuthentication;
    case CONNECTION_AUTH_OK:
    case CONNECTION_SETENV:
    case CONNECTION_CHECK_WRITABLE:
    case CONNECTION_CONSUME:
    case CONNECTION_CHECK_TARGET:
    case CONNECTION_CHECK_STANDBY:
        return kAfterLogin;
    case CONNECTION_OK:
        return kReady;
    default: // needed, started, made, bad
        return kNetwork;
    }
}

// What the probe asks libpq to refuse, so that it reads the options and connects nowhere.
constexpr const char* kProbe = "xrq-options-only";

// The options as libpq reads them from the connection string, the service file and the
// environment, without connecting: a connection whose target_session_attrs libpq refuses
// after reading everything else. Nothing, with libpq's words in `why`, when they cannot be
// read (no such service, a malformed string).
std::optional<std::map<std::string, std::string>> readOptions(const std::string& conninfo,
                                                              std::string& why) {
    const char* keys[] = {"dbname", "target_session_attrs", nullptr};
    const char* values[] = {conninfo.c_str(), kProbe, nullptr};
    PGconn* probe = PQconnectStartParams(keys, values, 1);
    if (!probe) {
        why = "out of memory";
        return std::nullopt;
    }
    std::map<std::string, std::string> options;
    if (PQconninfoOption* all = PQconninfo(probe)) {
        for (PQconninfoOption* o = all; o->keyword; ++o)
            if (o->val)
                options[o->keyword] = o->val;
        PQconninfoFree(all);
    }
    why = trimmed(PQerrorMessage(probe));
    PQfinish(probe);
    if (options["target_session_attrs"] != kProbe)
        return std::nullopt;
    return options;
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const auto comma = list.find(',', from);
        out.push_back(list.substr(from, comma == std::string::npos ? comma : comma - from));
        if (comma == std::string::npos)
            return out;
        from = comma + 1;
    }
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + items[i];
    return out;
}

// A host that names a machine to look up: not a socket folder, not an address.
bool needsLookup(const std::string& host) {
    if (host.empty() || host[0] == '/' || host[0] == '@')
        return false;
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) != 1 &&
           ::inet_pton(AF_INET6, host.c_str(), buffer) != 1;
}

} // namespace

const char* connectFailureText(ConnectFailure failure) {
    switch (failure) {
    case ConnectFailure::None:
        return "";
    case ConnectFailure::Stopped:
        return "stopped";
    case ConnectFailure::Settings:
        return "the service cannot be used";
    case ConnectFailure::NameUnknown:
        return "the server's host name is not known";
    case ConnectFailure::NameLookup:
        return "the server's host name could not be looked up";
    case ConnectFailure::NoServer:
        return "no server answered";
    case ConnectFailure::Tls:
        return "the TLS connection failed";
    case ConnectFailure::PasswordRefused:
        return "the server refused this laptop's role or password";
    case ConnectFailure::NoPassword:
        return "this laptop has no password for the server";
    case ConnectFailure::Refused:
        return "the server refused this laptop";
    }
    return "";
}

bool connectFailureTransient(ConnectFailure failure) {
    switch (failure) {
    case ConnectFailure::Stopped:
    case ConnectFailure::NameUnknown: // a mobile link's resolver may not know the office's names
    case ConnectFailure::NameLookup:
    case ConnectFailure::NoServer:
        return true;
    default:
        return false;
    }
}

std::string ConnectionSecurity::unverifiedText() const {
    if (verified())
        return {};
    return "unverified connection (sslmode=" + (sslmode.empty() ? std::string("?") : sslmode) +
           (tls ? ", TLS without the host's certificate checked)" : ", no TLS)");
}

bool PgConnection::fail(ConnectFailure failure, const std::string& libpqWords) {
    m_failure = failure;
    m_error = connectFailureText(failure);
    if (!libpqWords.empty())
        m_error += ": " + libpqWords;
    close();
    return false;
}

// Whole: libpq's connection in the order it happens, each failure told by how far it got.
bool PgConnection::connect(const std::string& conninfo, std::chrono::milliseconds timeout,
                           std::chrono::milliseconds statementTimeout) {
    close();
    m_error.clear();
    m_failure = ConnectFailure::None;
    m_security = {};
    const auto deadline = Clock::now() + timeout;
    std::string why;
    auto options = readOptions(conninfo, why);
    if (!options)
        return fail(ConnectFailure::Settings, why);

    // Each host of the service, a name looked up here: libpq gets its addresses (hostaddr)
    // beside it (host, for TLS's check of the certificate), one entry per address.
    const std::vector<std::string> hostList = split((*options)["host"]);
    const std::vector<std::string> addrList = split((*options)["hostaddr"]);
    const std::vector<std::string> portList = split((*options)["port"]);
    const std::size_t entries = std::max(hostList.size(), addrList.size());
    std::vector<std::string> hosts, addrs, ports;
    bool looked = false;
    int lookupError = 0;
    std::string lookupWhy;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::string host = i < hostList.size() ? hostList[i] : std::string();
        const std::string addr = i < addrList.size() ? addrList[i] : std::string();
        const std::string port = portList.size() == entries ? portList[i] : portList.front();
        if (!addr.empty() || !needsLookup(host)) {
            hosts.push_back(host);
            addrs.push_back(addr);
            ports.push_back(port);
            continue;
        }
        looked = true;
        NameAnswer answer;
        const LookupEnd end = lookUpName(host, deadline, m_stopFd, answer);
        if (end == LookupEnd::Stopped)
            return fail(ConnectFailure::Stopped, {});
        if (end == LookupEnd::TimedOut)
            return fail(ConnectFailure::NameLookup,
                        "the lookup of \"" + host + "\" did not end in time");
        if (answer.error != 0) {
            // The first reason a name failed is told, a name that does not exist before one
            // that failed for now.
            if (lookupError == 0 || (nameUnknown(answer.error) && !nameUnknown(lookupError))) {
                lookupError = answer.error;
                lookupWhy = "\"" + host + "\": " + ::gai_strerror(answer.error);
            }
            continue;
        }
        for (const std::string& a : answer.addresses) {
            hosts.push_back(host);
            addrs.push_back(a);
            ports.push_back(port);
        }
    }
    if (hosts.empty())
        return fail(nameUnknown(lookupError) ? ConnectFailure::NameUnknown
                                             : ConnectFailure::NameLookup,
                    lookupWhy);

    // libpq's own connect_timeout as well (whole seconds, at least 2), for each host it tries.
    const std::string seconds =
        std::to_string(std::max<long long>(2, (timeout.count() + 999) / 1000));
    std::vector<const char*> keys = {"dbname", "connect_timeout", "fallback_application_name"};
    std::vector<const char*> values = {conninfo.c_str(), seconds.c_str(), "xrq"};
    const std::string hostText = joined(hosts), addrText = joined(addrs), portText = joined(ports);
    if (looked) {
        keys.insert(keys.end(), {"host", "hostaddr"});
        values.insert(values.end(), {hostText.c_str(), addrText.c_str()});
        if (!(*options)["port"].empty()) {
            keys.push_back("port");
            values.push_back(portText.c_str());
        }
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    m_conn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (!m_conn)
        return fail(ConnectFailure::NoServer, "out of memory");
    // The server's notices ("already exists, skipping") are no one's business on stderr.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
    // The options read above: libpq can refuse now only a value of the service that it checks
    // when connecting (an sslmode it does not know), or a socket that refused at once (a local
    // server that is down); it tells the two apart only in words, so both are retried, told
    // with its words.
    if (PQstatus(m_conn) == CONNECTION_BAD)
        return fail(ConnectFailure::NoServer, trimmed(PQerrorMessage(m_conn)));
    int furthest = stageOf(PQstatus(m_conn));
    bool neededPassword = false, usedPassword = false;
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    while (st != PGRES_POLLING_OK) {
        if (st == PGRES_POLLING_FAILED) {
            neededPassword = neededPassword || PQconnectionNeedsPassword(m_conn);
            usedPassword = usedPassword || PQconnectionUsedPassword(m_conn);
            const std::string words = trimmed(PQerrorMessage(m_conn));
            // A refusal once the server was reached: by whether a password was asked for and
            // given. (Authentication and what follows it may end within one PQconnectPoll, so
            // the stage after it is never seen for sure.)
            if (furthest == kNetwork)
                return fail(ConnectFailure::NoServer, words);
            if (furthest == kEncryption)
                return fail(ConnectFailure::Tls, words);
            return fail(neededPassword ? ConnectFailure::NoPassword
                        : usedPassword ? ConnectFailure::PasswordRefused
                                       : ConnectFailure::Refused,
                        words);
        }
        const Wait w = waitFor(st == PGRES_POLLING_WRITING, deadline);
        if (w != Wait::Ready)
            return fail(w == Wait::Stopped ? ConnectFailure::Stopped : ConnectFailure::NoServer,
                        w == Wait::Stopped ? std::string() : "no answer from the server in time");
        st = PQconnectPoll(m_conn);
        furthest = std::max(furthest, stageOf(PQstatus(m_conn)));
        if (furthest >= kAuthentication && st != PGRES_POLLING_FAILED) {
            neededPassword = neededPassword || PQconnectionNeedsPassword(m_conn);
            usedPassword = usedPassword || PQconnectionUsedPassword(m_conn);
        }
    }
    if (PQsetnonblocking(m_conn, 1) != 0)
        return fail(ConnectFailure::NoServer, trimmed(PQerrorMessage(m_conn)));
    m_security.tls = PQsslInUse(m_conn) == 1;
    const char* host = PQhost(m_conn);
    m_security.local = host && (host[0] == '/' || host[0] == '@');
    if (PQconninfoOption* all = PQconninfo(m_conn)) {
        for (PQconninfoOption* o = all; o->keyword; ++o)
            if (std::strcmp(o->keyword, "sslmode") == 0 && o->val)
                m_security.sslmode = o->val;
        PQconninfoFree(all);
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
        const std::string words = r.error();
        return fail(r.transient() ? ConnectFailure::NoServer : ConnectFailure::Refused, words);
    }
    return true;
}

bool PgConnection::usedPassword() const {
    return m_conn && PQconnectionUsedPassword(m_conn) == 1;
}

PgResult PgConnection::lost(const std::string& why, bool stopped, bool timedOut) {
    PgResult r;
    r.m_error = why;
    r.m_transient = true;
    r.m_stopped = stopped;
    r.m_timedOut = timedOut;
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
                    w == Wait::Stopped, w == Wait::TimedOut);
    }
    PgResult out;
    bool first = true;
    for (;;) {
        while (PQisBusy(m_conn)) {
            const Wait w = waitFor(false, deadline);
            if (w != Wait::Ready)
                return lost(w == Wait::Stopped ? "stopped" : "no answer from the server in time",
                            w == Wait::Stopped, w == Wait::TimedOut);
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
