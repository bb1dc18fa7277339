// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/read_connections.h"

#include "fleet/server_schema.h"

#include <QCryptographicHash>

#include <algorithm>

namespace office {

namespace {
thread_local std::string t_reader;
} // namespace

ReaderScope::ReaderScope(std::string reader)
    : m_before(std::exchange(t_reader, std::move(reader))) {}

ReaderScope::~ReaderScope() {
    t_reader = std::move(m_before);
}

const std::string& ReaderScope::current() {
    return t_reader;
}

std::string readerKey(const std::string& conninfo) {
    return t_reader + '\0' +
           QCryptographicHash::hash(QByteArrayView(conninfo.data(), qsizetype(conninfo.size())),
                                    QCryptographicHash::Sha256)
               .toHex()
               .toStdString();
}

bool keyOfReader(const std::string& key, const std::string& reader) {
    return key.size() > reader.size() && key.compare(0, reader.size(), reader) == 0 &&
           key[reader.size()] == '\0';
}

platform::Result<void> openForReading(fleet::PgConnection& pg, const std::string& conninfo,
                                      const ReadLimits& limits) {
    const auto unavailable = [](const std::string& words) {
        return platform::Result<void>(platform::makeError(platform::ErrorKind::Server, words));
    };
    if (!pg.connect(conninfo, limits.connectTimeout, limits.statementTimeout))
        return unavailable("server not reachable: " + pg.error());
    const fleet::PgResult r = pg.exec("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY", {},
                                      limits.statementTimeout);
    if (!r.ok())
        return unavailable("session not made read-only: " + r.error());
    const fleet::SchemaCheck check = fleet::checkServerSchema(pg);
    if (check.state != fleet::SchemaCheck::State::Matches)
        return unavailable(check.message.toStdString());
    if (check.serverVersion < kOldestSchemaRead)
        return unavailable(QStringLiteral("the server's schema is version %1, older than the "
                                          "office reads (%2): its owner runs \"xrq-series admin "
                                          "init-server\"")
                               .arg(check.serverVersion)
                               .arg(kOldestSchemaRead)
                               .toStdString());
    return {};
}

ReadConnections::Lease& ReadConnections::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        giveBack();
        m_owner = other.m_owner;
        m_key = std::move(other.m_key);
        m_connection = std::move(other.m_connection);
    }
    return *this;
}

ReadConnections::Lease::~Lease() {
    giveBack();
}

void ReadConnections::Lease::giveBack() {
    // A connection that failed was closed by it (PgConnection::exec): it is not kept.
    if (m_owner && m_connection && m_connection->isOpen())
        m_owner->keep(std::move(m_key), std::move(m_connection));
    m_connection.reset();
}

platform::Result<ReadConnections::Lease> ReadConnections::take(const std::string& conninfo,
                                                               const ReadLimits& limits) {
    std::string key = readerKey(conninfo);
    key += '\0';
    key += std::to_string(limits.statementTimeout.count());
    Lease lease;
    lease.m_owner = this;
    // The newest kept one that still answers: a server that ended the session meanwhile (a
    // restart, an administrator) is found out by one round trip here, not by the read.
    while (!lease.m_connection) {
        std::vector<Idle> expired;
        {
            const std::lock_guard lock(m_mutex);
            takeExpired(expired);
            for (auto it = m_idle.rbegin(); it != m_idle.rend(); ++it)
                if (it->key == key) {
                    lease.m_connection = std::move(it->connection);
                    m_idle.erase(std::next(it).base());
                    break;
                }
        }
        expired.clear(); // closed here, outside the lock
        if (!lease.m_connection)
            break;
        if (!lease.m_connection->exec("SELECT 1", {}, limits.statementTimeout).ok())
            lease.m_connection.reset();
    }
    if (!lease.m_connection) {
        auto made = std::make_unique<fleet::PgConnection>();
        if (platform::Result<void> opened = openForReading(*made, conninfo, limits); !opened)
            return opened.error();
        lease.m_connection = std::move(made);
    }
    lease.m_key = std::move(key);
    return lease;
}

void ReadConnections::keep(std::string key, std::unique_ptr<fleet::PgConnection> connection) {
    std::vector<Idle> gone;
    {
        const std::lock_guard lock(m_mutex);
        takeExpired(gone);
        for (const std::string& ended : m_ended)
            if (keyOfReader(key, ended))
                return; // a session that ended: closed as `connection` goes, outside the lock
        if (m_idle.size() >= kMostIdle) {
            gone.push_back(std::move(m_idle.front()));
            m_idle.erase(m_idle.begin());
        }
        m_idle.push_back({std::move(key), std::move(connection), std::chrono::steady_clock::now()});
    }
}

void ReadConnections::takeExpired(std::vector<Idle>& out) {
    const auto oldest = std::chrono::steady_clock::now() - kIdleFor;
    auto it = m_idle.begin();
    while (it != m_idle.end() && it->since < oldest)
        out.push_back(std::move(*it++));
    m_idle.erase(m_idle.begin(), it);
}

std::size_t ReadConnections::idle() const {
    const std::lock_guard lock(m_mutex);
    return m_idle.size();
}

void ReadConnections::closeAll() {
    std::vector<Idle> gone;
    const std::lock_guard lock(m_mutex);
    gone.swap(m_idle);
}

void ReadConnections::closeReader(const std::string& reader) {
    if (reader.empty())
        return; // the service's own role ends only with the service
    std::vector<Idle> gone;
    const std::lock_guard lock(m_mutex);
    const auto theirs = std::stable_partition(
        m_idle.begin(), m_idle.end(), [&](const Idle& i) { return !keyOfReader(i.key, reader); });
    std::move(theirs, m_idle.end(), std::back_inserter(gone));
    m_idle.erase(theirs, m_idle.end());
    m_ended.push_back(reader);
    if (m_ended.size() > kEndedKept)
        m_ended.pop_front();
}

ReadConnections& ReadConnections::shared() {
    static ReadConnections pool;
    return pool;
}

} // namespace office
