// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A real PostgreSQL server private to one test (or benchmark): initdb in a temporary folder,
// started with pg_ctl as the ordinary user running the test, listening only on a Unix socket
// in that folder (no TCP port), or, for the TLS case, on 127.0.0.1 with a certificate made
// here by openssl and nothing but TLS connections accepted. Passwords are checked
// (scram-sha-256) for every connection, the owner's too, but for the roles a test names
// trusted.
//
// While it lives, PGSERVICEFILE and PGPASSFILE point at files of its own, and the other
// libpq variables that could steer a connection elsewhere are unset; all come back when it
// goes. The TLS server's certificate is signed by a CA of its own (certificate() is the CA's,
// the root its services trust) and names the host "db.xrq.test" and the address 127.0.0.1;
// its services connect to the address. It is stopped at the end; kill() ends it with SIGKILL (the
// postmaster and every process of it) for fault tests, and start() brings it back on the same data.
//
// PostgreSQL refuses to run as root: so does this, with a message saying why (the tests run
// as an ordinary user; scripts/test.sh and /work-style wrappers arrange it).

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct PgServerOptions {
    bool tls = false;
    int maxConnections = 40;
    // Small for tests; a benchmark gives it what a real server would have.
    std::string sharedBuffers = "16MB";
    // The language the server writes its messages in (gettext's LANGUAGE, "de"), under
    // lc_messages C.UTF-8: the machine needs no locale but C's (glibc heeds LANGUAGE under
    // any locale but C and POSIX). Empty: the server's English.
    std::string messagesLanguage = {};
    // Roles let in on the Unix socket without a password ("trust" in pg_hba.conf), for the
    // tests of what refuses such a server.
    std::vector<std::string> trustedRoles{};
};

class PgTestServer {
public:
    // The owner (a superuser) and the database the fact tests use.
    static constexpr const char* kOwner = "xrq_owner";
    static constexpr const char* kDatabase = "xrq";

    explicit PgTestServer(PgServerOptions options = {});
    ~PgTestServer();
    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;

    // False, with the reason, when the server could not be made or started.
    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    bool start();
    bool stop();
    // SIGKILL to the postmaster and all its processes; returns once they are gone.
    bool kill();
    bool running() const { return m_running; }

    const std::string& root() const { return m_root; }
    // The socket folder, or "127.0.0.1" for the TLS server.
    std::string host() const;
    int port() const { return m_port; }
    // The CA certificate that signed the TLS server's (sslrootcert).
    const std::string& certificate() const { return m_cert; }
    // The host name the TLS server's certificate carries besides 127.0.0.1.
    static constexpr const char* kTlsHostName = "db.xrq.test";
    std::string serverLog() const;

    // A service in the test's pg_service.conf: host, port, `user`, `dbname`, and (TLS)
    // sslmode=verify-full with the test's certificate as the root. `extra` adds lines.
    void addService(const std::string& name, const std::string& user,
                    const std::string& dbname = kDatabase,
                    const std::map<std::string, std::string>& extra = {});
    // The password libpq finds for `user` in the test's password file.
    void setPassword(const std::string& user, const std::string& password);
    // The owner's service name, made at start: "owner".
    static constexpr const char* kOwnerService = "owner";

    // Statements run as the owner in `db`; false with the reason in `why`.
    bool sql(const std::string& statements, const std::string& db = kDatabase,
             std::string* why = nullptr);
    // One value of a query run as the owner, or nothing.
    std::optional<std::string> value(const std::string& query, const std::string& db = kDatabase);
    // A login role with a password (and its pgpass line), member of no group yet.
    bool createLoginRole(const std::string& role, const std::string& password);

private:
    bool make();
    bool run(const std::vector<std::string>& argv);
    void writeServiceFile();
    void writePassFile();
    void saveEnvironment();
    void restoreEnvironment();

    PgServerOptions m_options;
    std::string m_error;
    std::string m_root, m_data, m_socket, m_binDir, m_cert;
    int m_port = 5432;
    bool m_running = false;
    std::string m_serviceFile, m_passFile, m_commandLog;
    std::map<std::string, std::string> m_services; // name -> its lines
    std::map<std::string, std::string> m_passwords;
    std::map<std::string, std::optional<std::string>> m_savedEnv;
};

// The folder of initdb, pg_ctl and postgres: pg_config --bindir, else the newest
// /usr/lib/postgresql/*/bin, else the PATH; empty when none has all three.
std::string findPostgresBinDir();

} // namespace testsupport
