// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pg_test_server.h"

#include "fleet/pg_connection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

const char* const kLibpqVariables[] = {
    "PGSERVICEFILE", "PGPASSFILE", "PGSERVICE",    "PGHOST",           "PGHOSTADDR",
    "PGPORT",        "PGUSER",     "PGPASSWORD",   "PGDATABASE",       "PGSSLMODE",
    "PGSSLROOTCERT", "PGOPTIONS",  "PGSYSCONFDIR", "PGCONNECT_TIMEOUT"};

bool executable(const std::string& dir) {
    for (const char* b : {"initdb", "pg_ctl", "postgres"})
        if (::access((dir + "/" + b).c_str(), X_OK) != 0)
            return false;
    return true;
}

std::string commandOutput(const char* command) {
    std::string out;
    if (FILE* p = ::popen(command, "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

std::string randomText(int n) {
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::random_device rd;
    std::string s;
    for (int i = 0; i < n; ++i)
        s += alphabet[rd() % (sizeof alphabet - 1)];
    return s;
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
    {
        std::ofstream f(path, std::ios::trunc);
        f << text;
        if (!f.good())
            return false;
    }
    return ::chmod(path.c_str(), mode) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int freeTcpPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        ::close(s);
    return port;
}

// The processes whose parent is `pid` (the postmaster's backends and workers).
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d)
        return out;
    while (dirent* e = ::readdir(d)) {
        const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
        if (p <= 0)
            continue;
        const std::string stat = readFile("/proc/" + std::string(e->d_name) + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == pid)
            out.push_back(p);
    }
    ::closedir(d);
    return out;
}

} // namespace

std::string findPostgresBinDir() {
    std::vector<std::string> candidates;
    candidates.push_back(commandOutput("pg_config --bindir 2>/dev/null"));
    std::vector<std::pair<int, std::string>> versions;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec))
        versions.emplace_back(std::atoi(e.path().filename().c_str()), e.path().string() + "/bin");
    std::sort(versions.rbegin(), versions.rend());
    for (const auto& v : versions)
        candidates.push_back(v.second);
    if (const char* path = std::getenv("PATH")) {
        std::stringstream s(path);
        std::string dir;
        while (std::getline(s, dir, ':'))
            candidates.push_back(dir);
    }
    for (const std::string& c : candidates)
        if (!c.empty() && executable(c))
            return c;
    return {};
}

PgTestServer::PgTestServer(PgServerOptions options) : m_options(options) {
    saveEnvironment();
    if (::geteuid() == 0) {
        m_error = "PostgreSQL does not run as root: run the tests as an ordinary user "
                  "(scripts/test.sh does so when started as root)";
        return;
    }
    // pg_ctl leaves the postmaster without a parent; this process takes it in, so that a
    // killed or stopped server is reaped here (a container's first process may reap nothing,
    // and a dead postmaster left unreaped looks alive to the next start).
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!make())
        return;
    start();
}

PgTestServer::~PgTestServer() {
    if (m_running && !stop())
        kill();
    std::error_code ec;
    if (!m_root.empty())
        fs::remove_all(m_root, ec);
    restoreEnvironment();
}

void PgTestServer::saveEnvironment() {
    for (const char* v : kLibpqVariables) {
        const char* now = std::getenv(v);
        m_savedEnv[v] = now ? std::optional<std::string>(now) : std::nullopt;
        ::unsetenv(v);
    }
}

void PgTestServer::restoreEnvironment() {
    for (const auto& [name, value] : m_savedEnv) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

bool PgTestServer::run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_commandLog.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_error = argv[0] + ": " + std::strerror(rc);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_error = argv[0] + " failed; its output: " + readFile(m_commandLog);
        return false;
    }
    return true;
}

bool PgTestServer::make() {
    m_binDir = findPostgresBinDir();
    if (m_binDir.empty()) {
        m_error = "no PostgreSQL server programs (initdb, pg_ctl, postgres) found: install "
                  "the postgresql package";
        return false;
    }
    // Short, so that the socket's path stays within the 107 bytes a Unix socket may have.
    char templ[] = "/tmp/xrq-pg-XXXXXX";
    if (!::mkdtemp(templ)) {
        m_error = std::string("no temporary folder: ") + std::strerror(errno);
        return false;
    }
    m_root = templ;
    m_data = m_root + "/data";
    m_socket = m_root + "/socket";
    m_commandLog = m_root + "/commands.log";
    m_serviceFile = m_root + "/pg_service.conf";
    m_passFile = m_root + "/pgpass";
    fs::create_directories(m_socket);
    ::setenv("PGSERVICEFILE", m_serviceFile.c_str(), 1);
    ::setenv("PGPASSFILE", m_passFile.c_str(), 1);

    const std::string ownerPassword = randomText(20);
    if (!writeFile(m_root + "/owner.pw", ownerPassword + "\n"))
        return m_error = "owner's password file not written", false;
    if (!run({m_binDir + "/initdb", "-D", m_data, "-U", kOwner, "--auth-local=scram-sha-256",
              "--auth-host=scram-sha-256", "--pwfile=" + m_root + "/owner.pw", "-E", "UTF8",
              "--locale=C", "--no-sync", "--no-instructions"}))
        return false;

    std::string conf = "\n# The test's own server\nunix_socket_directories = '" + m_socket +
                       "'\nmax_connections = " + std::to_string(m_options.maxConnections) +
                       "\nshared_buffers = " + m_options.sharedBuffers + "\nfsync = off\n";
    std::string hba;
    for (const std::string& role : m_options.trustedRoles)
        hba += "local all " + role + " trust\n";
    hba += "local all all scram-sha-256\n";
    if (m_options.tls) {
        m_port = freeTcpPort();
        // A CA of the test's own, and the server's certificate signed by it.
        m_cert = m_root + "/ca.crt";
        const std::string caKey = m_root + "/ca.key";
        const std::string cert = m_root + "/server.crt";
        const std::string key = m_root + "/server.key";
        const std::string request = m_root + "/server.csr";
        const std::string names = m_root + "/server.ext";
        if (!writeFile(names, std::string("subjectAltName=DNS:") + kTlsHostName +
                                  ",IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"))
            return m_error = "certificate extensions not written", false;
        const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:prime256v1", "-nodes"};
        std::vector<std::string> ca = {"/usr/bin/env", "openssl", "req", "-x509"};
        ca.insert(ca.end(), ec.begin(), ec.end());
        ca.insert(ca.end(), {"-keyout", caKey, "-out", m_cert, "-days", "2", "-subj",
                             "/CN=xrq test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                             "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        std::vector<std::string> req = {"/usr/bin/env", "openssl", "req"};
        req.insert(req.end(), ec.begin(), ec.end());
        req.insert(req.end(),
                   {"-keyout", key, "-out", request, "-subj", std::string("/CN=") + kTlsHostName});
        if (!run(ca) || !run(req) ||
            !run({"/usr/bin/env", "openssl", "x509", "-req", "-in", request, "-CA", m_cert,
                  "-CAkey", caKey, "-CAcreateserial", "-out", cert, "-days", "2", "-extfile",
                  names}))
            return false;
        ::chmod(key.c_str(), 0600);
        conf += "listen_addresses = '127.0.0.1'\nssl = on\nssl_cert_file = '" + cert +
                "'\nssl_key_file = '" + key + "'\n";
        hba += "hostssl all all 127.0.0.1/32 scram-sha-256\n";
    } else {
        conf += "listen_addresses = ''\n";
    }
    conf += "port = " + std::to_string(m_port) + "\n";
    if (!m_options.messagesLanguage.empty())
        conf += "lc_messages = 'C.UTF-8'\n";
    {
        std::ofstream f(m_data + "/postgresql.conf", std::ios::app);
        f << conf;
    }
    if (!writeFile(m_data + "/pg_hba.conf", hba))
        return m_error = "pg_hba.conf not written", false;
    m_passwords[kOwner] = ownerPassword;
    writePassFile();
    m_services[kOwnerService] = "";
    addService(kOwnerService, kOwner, "postgres");
    return true;
}

bool PgTestServer::start() {
    if (m_running)
        return true;
    // The server's language comes from the environment it starts in; ours is as it was after.
    const char* language = std::getenv("LANGUAGE");
    const std::optional<std::string> ourLanguage =
        language ? std::optional<std::string>(language) : std::nullopt;
    if (!m_options.messagesLanguage.empty())
        ::setenv("LANGUAGE", m_options.messagesLanguage.c_str(), 1);
    const bool started = run({m_binDir + "/pg_ctl", "-D", m_data, "-l", m_root + "/server.log",
                              "-w", "-t", "120", "-s", "start"});
    if (!m_options.messagesLanguage.empty()) {
        if (ourLanguage)
            ::setenv("LANGUAGE", ourLanguage->c_str(), 1);
        else
            ::unsetenv("LANGUAGE");
    }
    if (!started) {
        m_error += "\nserver log: " + serverLog();
        return false;
    }
    m_running = true;
    std::string why;
    if (!value("SELECT 1 FROM pg_database WHERE datname = 'xrq'", "postgres") &&
        !sql("CREATE DATABASE xrq", "postgres", &why)) {
        m_error = "database not created: " + why;
        return false;
    }
    m_error.clear();
    return true;
}

bool PgTestServer::stop() {
    if (!m_running)
        return true;
    m_running = false;
    const pid_t postmaster =
        static_cast<pid_t>(std::atoi(readFile(m_data + "/postmaster.pid").c_str()));
    if (!run({m_binDir + "/pg_ctl", "-D", m_data, "-m", "fast", "-w", "-t", "60", "-s", "stop"}))
        return false;
    if (postmaster > 0)
        ::waitpid(postmaster, nullptr, 0);
    return true;
}

bool PgTestServer::kill() {
    const std::string pidText = readFile(m_data + "/postmaster.pid");
    const pid_t postmaster = static_cast<pid_t>(std::atoi(pidText.c_str()));
    if (postmaster <= 0)
        return false;
    std::vector<pid_t> all = childrenOf(postmaster);
    all.insert(all.begin(), postmaster);
    std::vector<int> pidfds;
    for (pid_t p : all) {
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, p, 0));
        if (fd >= 0)
            pidfds.push_back(fd);
        ::kill(p, SIGKILL);
    }
    // A backend forked while the list was read has the postmaster as parent still: look once
    // more now that the postmaster cannot fork.
    for (pid_t p : childrenOf(postmaster))
        ::kill(p, SIGKILL);
    bool gone = true;
    for (int fd : pidfds) {
        pollfd pfd{fd, POLLIN, 0};
        gone = ::poll(&pfd, 1, 60000) == 1 && gone;
        ::close(fd);
    }
    // All are dead and, their parent gone, ours to reap.
    for (pid_t p : all)
        ::waitpid(p, nullptr, 0);
    m_running = false;
    return gone;
}

std::string PgTestServer::host() const {
    return m_options.tls ? "127.0.0.1" : m_socket;
}

std::string PgTestServer::serverLog() const {
    return readFile(m_root + "/server.log");
}

void PgTestServer::addService(const std::string& name, const std::string& user,
                              const std::string& dbname,
                              const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> params = {
        {"host", host()}, {"port", std::to_string(m_port)}, {"user", user}, {"dbname", dbname}};
    if (m_options.tls) {
        params["sslmode"] = "verify-full";
        params["sslrootcert"] = m_cert;
    }
    for (const auto& [k, v] : extra)
        params[k] = v;
    std::string lines;
    for (const auto& [k, v] : params)
        lines += k + "=" + v + "\n";
    m_services[name] = lines;
    writeServiceFile();
}

void PgTestServer::setPassword(const std::string& user, const std::string& password) {
    m_passwords[user] = password;
    writePassFile();
}

void PgTestServer::writeServiceFile() {
    std::string text;
    for (const auto& [name, lines] : m_services)
        text += "[" + name + "]\n" + lines + "\n";
    writeFile(m_serviceFile, text);
}

void PgTestServer::writePassFile() {
    // libpq ignores a password file that others may read.
    std::string text;
    for (const auto& [user, pw] : m_passwords)
        // Any host: a service may name the server by its host name or its address.
        text += "*:" + std::to_string(m_port) + ":*:" + user + ":" + pw + "\n";
    writeFile(m_passFile, text, 0600);
}

bool PgTestServer::sql(const std::string& statements, const std::string& db, std::string* why) {
    fleet::PgConnection c;
    const std::string conninfo = fleet::serviceConninfo(kOwnerService) + " dbname=" + db;
    if (!c.connect(conninfo, std::chrono::seconds(60))) {
        if (why)
            *why = c.error();
        return false;
    }
    const fleet::PgResult r = c.exec(statements, {}, std::chrono::seconds(120));
    if (!r.ok() && why)
        *why = r.error();
    return r.ok();
}

std::optional<std::string> PgTestServer::value(const std::string& query, const std::string& db) {
    fleet::PgConnection c;
    if (!c.connect(fleet::serviceConninfo(kOwnerService) + " dbname=" + db,
                   std::chrono::seconds(60)))
        return std::nullopt;
    const fleet::PgResult r = c.exec(query, {}, std::chrono::seconds(120));
    if (!r.ok() || r.rows() < 1 || r.isNull(0, 0))
        return std::nullopt;
    return r.value(0, 0);
}

bool PgTestServer::createLoginRole(const std::string& role, const std::string& password) {
    // Test names only: letters, digits and '_'.
    if (!sql("CREATE ROLE " + role + " LOGIN PASSWORD '" + password + "'", "postgres"))
        return false;
    setPassword(role, password);
    return true;
}

} // namespace testsupport
