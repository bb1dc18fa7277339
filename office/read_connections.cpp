// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/read_connections.h"

#include "fleet/server_schema.h"

namespace office {

bool openForReading(fleet::PgConnection& pg, const std::string& conninfo, const ReadLimits& limits,
                    ReadError& error) {
    auto unavailable = [&](const QString& what, const std::string& why) {
        error = {ReadError::Kind::Unavailable,
                 what + QStringLiteral(": ") + QString::fromStdString(why)};
        return false;
    };
    if (!pg.connect(conninfo, limits.connectTimeout, limits.statementTimeout))
        return unavailable(QStringLiteral("server not reachable"), pg.error());
    const fleet::PgResult r = pg.exec("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY", {},
                                      limits.statementTimeout);
    if (!r.ok())
        return unavailable(QStringLiteral("session not made read-only"), r.error());
    const fleet::SchemaCheck check = fleet::checkServerSchema(pg);
    if (check.state != fleet::SchemaCheck::State::Matches) {
        error = {ReadError::Kind::Unavailable, check.message};
        return false;
    }
    if (check.serverVersion < kOldestSchemaRead) {
        error = {ReadError::Kind::Unavailable,
                 QStringLiteral("the server's schema is version %1, older than the office reads "
                                "(%2): its owner runs \"xrq-series admin init-server\"")
                     .arg(check.serverVersion)
                     .arg(kOldestSchemaRead)};
        return false;
    }
    return true;
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

ReadConnections::Lease ReadConnections::take(const std::string& conninfo, const ReadLimits& limits,
                                             ReadError& error) {
    std::string key = conninfo;
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
        if (!openForReading(*made, conninfo, limits, error))
            return {};
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

ReadConnections& ReadConnections::shared() {
    static ReadConnections pool;
    return pool;
}

} // namespace office
