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
    QRandomGenerator::system()->fillRange(bytes);
    who.session = QByteArray(reinterpret_cast<const char*>(bytes), 16).toHex().toStdString();
    std::fill(std::begin(bytes), std::end(bytes), 0u);
    std::vector<std::string> ended;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        const Clock::time_point now = m_now();
        dropEnded(now, ended);
        if (m_sessions.size() >= m_most) {
            auto soonest = std::min_element(
                m_sessions.begin(), m_sessions.end(),
                [](const auto& a, const auto& b) { return a.second.ends < b.second.ends; });
            ended.push_back(soonest->second.who.session);
            forget(soonest->second.who);
            m_sessions.erase(soonest);
        }
        m_sessions[keyOf(token)] = Session{std::move(who), now + m_lifetime};
    }
    tellEnded(ended);
    return token;
}

void SessionStore::setOnEnded(std::function<void(const std::string&)> ended) {
    const std::lock_guard<std::mutex> hold(m_lock);
    m_ended = std::move(ended);
}

void SessionStore::tellEnded(const std::vector<std::string>& ended) {
    std::function<void(const std::string&)> tell;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        tell = m_ended;
    }
    if (tell)
        for (const std::string& session : ended)
            tell(session);
}

std::optional<Credentials> SessionStore::find(QByteArrayView token) {
    if (!tokenShaped(token))
        return std::nullopt;
    std::vector<std::string> ended;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        const auto found = m_sessions.find(keyOf(token));
        if (found == m_sessions.end())
            return std::nullopt;
        if (m_now() < found->second.ends)
            return found->second.who;
        ended.push_back(found->second.who.session);
        forget(found->second.who);
        m_sessions.erase(found);
    }
    tellEnded(ended);
    return std::nullopt;
}

void SessionStore::close(QByteArrayView token) {
    if (!tokenShaped(token))
        return;
    std::vector<std::string> ended;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        const auto found = m_sessions.find(keyOf(token));
        if (found == m_sessions.end())
            return;
        ended.push_back(found->second.who.session);
        forget(found->second.who);
        m_sessions.erase(found);
    }
    tellEnded(ended);
}

std::size_t SessionStore::size() {
    std::vector<std::string> ended;
    std::size_t size = 0;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        dropEnded(m_now(), ended);
        size = m_sessions.size();
    }
    tellEnded(ended);
    return size;
}

void SessionStore::dropEnded(Clock::time_point now, std::vector<std::string>& ended) {
    for (auto i = m_sessions.begin(); i != m_sessions.end();) {
        if (now >= i->second.ends) {
            ended.push_back(i->second.who.session);
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
