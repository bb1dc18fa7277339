// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/session_cookies.h"

#include <QByteArrayList>
#include <QCryptographicHash>
#include <QRandomGenerator>

#include <algorithm>

namespace office {

namespace {

constexpr int kTokenBytes = 32;
// base64url of kTokenBytes without padding.
constexpr qsizetype kTokenChars = (kTokenBytes * 4 + 2) / 3;

QByteArray keyOf(QByteArrayView token) {
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

void forget(Credentials& who) {
    // The password's bytes overwritten before they go back to the allocator.
    who.password.fill('\0');
    who.password.clear();
}

bool tokenShaped(QByteArrayView t) {
    return t.size() == kTokenChars && std::all_of(t.begin(), t.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

} // namespace

SessionStore::SessionStore(std::chrono::seconds lifetime, std::function<Clock::time_point()> now,
                           std::size_t mostSessions)
    : m_lifetime(lifetime), m_now(std::move(now)), m_most(std::max<std::size_t>(1, mostSessions)) {}

SessionStore::~SessionStore() {
    for (auto& [key, session] : m_sessions)
        forget(session.who);
}

QByteArray SessionStore::open(Credentials who) {
    quint32 bytes[kTokenBytes / 4];
    // QRandomGenerator::system(): the kernel's CSPRNG (getrandom).
    QRandomGenerator::system()->fillRange(bytes);
    const QByteArray token =
        QByteArray(reinterpret_cast<const char*>(bytes), kTokenBytes)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    std::fill(std::begin(bytes), std::end(bytes), 0u);
    const std::lock_guard<std::mutex> hold(m_lock);
    const Clock::time_point now = m_now();
    dropEnded(now);
    if (m_sessions.size() >= m_most) {
        auto soonest = std::min_element(
            m_sessions.begin(), m_sessions.end(),
            [](const auto& a, const auto& b) { return a.second.ends < b.second.ends; });
        forget(soonest->second.who);
        m_sessions.erase(soonest);
    }
    m_sessions[keyOf(token)] = Session{std::move(who), now + m_lifetime};
    return token;
}

std::optional<Credentials> SessionStore::find(QByteArrayView token) {
    if (!tokenShaped(token))
        return std::nullopt;
    const std::lock_guard<std::mutex> hold(m_lock);
    const auto found = m_sessions.find(keyOf(token));
    if (found == m_sessions.end())
        return std::nullopt;
    if (m_now() >= found->second.ends) {
        forget(found->second.who);
        m_sessions.erase(found);
        return std::nullopt;
    }
    return found->second.who;
}

void SessionStore::close(QByteArrayView token) {
    if (!tokenShaped(token))
        return;
    const std::lock_guard<std::mutex> hold(m_lock);
    const auto found = m_sessions.find(keyOf(token));
    if (found != m_sessions.end()) {
        forget(found->second.who);
        m_sessions.erase(found);
    }
}

std::size_t SessionStore::size() {
    const std::lock_guard<std::mutex> hold(m_lock);
    dropEnded(m_now());
    return m_sessions.size();
}

void SessionStore::dropEnded(Clock::time_point now) {
    for (auto i = m_sessions.begin(); i != m_sessions.end();) {
        if (now >= i->second.ends) {
            forget(i->second.who);
            i = m_sessions.erase(i);
        } else {
            ++i;
        }
    }
}

QByteArray sessionToken(QByteArrayView cookieHeader) {
    const QByteArrayView name(kSessionCookie);
    for (QByteArrayView part : QByteArray(cookieHeader.data(), cookieHeader.size()).split(';')) {
        part = part.trimmed();
        if (part.size() > name.size() && part.startsWith(name) && part[name.size()] == '=') {
            const QByteArrayView value = part.sliced(name.size() + 1);
            if (tokenShaped(value))
                return value.toByteArray();
        }
    }
    return {};
}

QByteArray sessionCookie(const QByteArray& token, std::chrono::seconds lifetime) {
    return QByteArray(kSessionCookie) + '=' + token + "; Path=/; Max-Age=" +
           QByteArray::number(token.isEmpty() ? 0 : qint64(lifetime.count())) +
           "; Secure; HttpOnly; SameSite=Strict";
}

} // namespace office
