// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's connections to the server, kept open between reads: a read takes one (made
// read-only and its schema checked when it was opened, as office_reads says) and gives it back
// when it is done, so that a page does not pay for connecting, authenticating and checking the
// schema each time.
//
// Kept by whose it is (ReaderScope: a session's random name, or none for the service's own
// role) and a digest of the connection string it was opened with, which names the role: a read
// only ever takes a connection opened as its own role, never another's, and no key holds a
// password. A session's connections are closed when it ends (closeReader). An idle connection is
// closed after kIdleFor, and at most kMostIdle are kept in all (the oldest idle goes first);
// nothing is written through any of them, so the service stays one that several may run beside each
// other, over a streaming replica too. Thread-safe: the service's read threads and its counting
// thread share one.

#include "office/office_reads.h"

#include "fleet/pg_connection.h"
#include "platform/result.h"

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace office {

// Whose reads the calling thread makes, from its making to its end: a signed-in session's name
// (Credentials::session), or none (the service's own role). What is kept for a reader (its
// connections here, the counting asked for it, who read a kept series) is known by it, so that
// all of it goes when its session ends.
class ReaderScope {
public:
    explicit ReaderScope(std::string reader);
    ~ReaderScope();
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;
    static const std::string& current();

private:
    std::string m_before;
};

// The key of what is kept for the current reader reading as `conninfo`: its name and a
// SHA-256 of the connection string (never the string, which may hold a password).
std::string readerKey(const std::string& conninfo);
// Whether `key` (of readerKey) is `reader`'s.
bool keyOfReader(const std::string& key, const std::string& reader);

class ReadConnections {
public:
    static constexpr std::chrono::seconds kIdleFor{30};
    static constexpr std::size_t kMostIdle = 8;

    // A connection held by one read; given back (when still open) as it ends.
    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();
        explicit operator bool() const { return m_connection != nullptr; }
        fleet::PgConnection& operator*() const { return *m_connection; }
        fleet::PgConnection* operator->() const { return m_connection.get(); }

    private:
        friend class ReadConnections;
        void giveBack();
        ReadConnections* m_owner = nullptr;
        std::string m_key;
        std::unique_ptr<fleet::PgConnection> m_connection;
    };

    // A connection as `conninfo`, read-only and its schema checked: a kept one that still
    // answers when there is one, else a new one; a Server error when the server cannot be
    // read (readErrorOf makes it the answer's).
    platform::Result<Lease> take(const std::string& conninfo, const ReadLimits& limits);

    std::size_t idle() const; // how many are kept, not taken
    void closeAll();
    // Closes what is kept of `reader` (a session that ended), and keeps none of its again.
    void closeReader(const std::string& reader);

    // The one the service uses.
    static ReadConnections& shared();

private:
    struct Idle {
        std::string key;
        std::unique_ptr<fleet::PgConnection> connection;
        std::chrono::steady_clock::time_point since;
    };
    void keep(std::string key, std::unique_ptr<fleet::PgConnection> connection);
    // Takes out the idle ones past kIdleFor, to be closed outside the lock.
    void takeExpired(std::vector<Idle>& out);

    mutable std::mutex m_mutex;
    std::vector<Idle> m_idle;        // the longest idle first
    std::deque<std::string> m_ended; // the last readers closed, whose leases are not kept
    static constexpr std::size_t kEndedKept = 1024;
};

// The oldest server schema the office reads: its series' signatures are the sums of what each
// insert added (xrq.series_arrivals, 9), its reads seek the indexes of 8, and it reads the
// facts through xrq.owned_* (10), which leave out those of disowned laptop roles
// (fleet/laptop_roles.h).
inline constexpr int kOldestSchemaRead = 10;

// Connects as `conninfo`, makes the session read-only and checks the schema: what every
// connection of the office goes through before its first read.
// connection of the office goes through before its first read. A Server error says what failed.
platform::Result<void> openForReading(fleet::PgConnection& pg, const std::string& conninfo,
                                      const ReadLimits& limits);

} // namespace office
