// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Who is signed in to xrq-office, while it runs: a session per sign-in, named by an opaque
// token of 32 bytes from the system's CSPRNG that the browser holds as a cookie (Secure,
// HttpOnly, SameSite=Strict, Path=/, with a Max-Age), and here the role and its password, held
// in this process's memory only (never written anywhere) until the session ends: at sign-out,
// at its expiry, or when the service stops. Every read of a session connects as its role with
// that password, so the server's own rights decide what it reads.
//
// The store is keyed by the SHA-256 of the token, not by the token, so that no lookup compares
// a guessed token with a real one. A session lives a fixed time from its sign-in (not renewed
// by use); at most kMostSessions are held (unless told otherwise), the soonest to end dropped first
// for a new one.
//
// A session is this instance's: several instances serving one server do not share them, and
// a cookie of one is unknown to another (which asks to sign in again). Thread-safe: the read
// threads of the service find, open and end sessions at the same time.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace office {

inline constexpr const char* kSessionCookie = "__Host-xrq-office";

struct Credentials {
    QString role;
    QByteArray password; // UTF-8
    // The session's own name, random and unrelated to its token: what the connections kept
    // and the counting done for it are known by (ReaderScope), so that nothing kept holds its
    // password, and all of it can go when the session ends. Set by SessionStore::open.
    std::string session;
};

class SessionStore {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMostSessions = 10000;

    // `now`: the clock sessions expire by (tests give their own).
    explicit SessionStore(std::chrono::seconds lifetime = std::chrono::hours(8),
                          std::function<Clock::time_point()> now = &Clock::now,
                          std::size_t mostSessions = kMostSessions);
    ~SessionStore();
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    // A new session for `who`; its token, for the cookie.
    QByteArray open(Credentials who);
    // The session's role and password, unless it has ended.
    std::optional<Credentials> find(QByteArrayView token);
    void close(QByteArrayView token);
    std::chrono::seconds lifetime() const { return m_lifetime; }
    std::size_t size();
    // Called with a session's name whenever one ends (sign-out, expiry, dropped for a new
    // one), outside the store's lock, on the thread that found it ended.
    void setOnEnded(std::function<void(const std::string&)> ended);

private:
    struct Session {
        Credentials who;
        Clock::time_point ends;
    };
    // With m_lock held; the names of the sessions dropped go to `ended`.
    void dropEnded(Clock::time_point now, std::vector<std::string>& ended);
    void tellEnded(const std::vector<std::string>& ended);

    const std::chrono::seconds m_lifetime;
    const std::function<Clock::time_point()> m_now;
    const std::size_t m_most;
    std::mutex m_lock;
    std::map<QByteArray, Session> m_sessions; // by SHA-256 of the token
    std::function<void(const std::string&)> m_ended;
};

// The session's token in a request's Cookie header (empty when there is none of ours, or it is
// not of the shape of our tokens).
QByteArray sessionToken(QByteArrayView cookieHeader);
// The Set-Cookie value that gives the browser a session's token, or (empty token) ends it.
QByteArray sessionCookie(const QByteArray& token, std::chrono::seconds lifetime);

} // namespace office
