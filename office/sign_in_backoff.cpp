// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/sign_in_backoff.h"

#include <algorithm>

namespace office {

SignInBackoff::SignInBackoff() : SignInBackoff(Rules{}) {}

SignInBackoff::SignInBackoff(Rules rules, std::function<Clock::time_point()> now)
    : m_rules(rules), m_now(std::move(now)) {}

std::chrono::seconds SignInBackoff::waitOf(const Table& table, const QString& key,
                                           Clock::time_point now) const {
    const auto it = table.find(key);
    if (it == table.end() || now - it->second.last >= m_rules.forgetAfter)
        return {};
    const int over = it->second.failures - m_rules.freeFailures;
    if (over <= 0)
        return {};
    // first * 2^(over-1), at most `most`; the shift held small so that it never overflows.
    const auto delay = std::min<std::chrono::seconds>(
        m_rules.first * (1LL << std::min(over - 1, 30)), m_rules.most);
    const auto left = it->second.last + delay - now;
    return left <= Clock::duration::zero() ? std::chrono::seconds(0)
                                           : std::chrono::ceil<std::chrono::seconds>(left);
}

std::chrono::seconds SignInBackoff::wait(const QString& address, const QString& role) {
    const std::lock_guard lock(m_mutex);
    const Clock::time_point now = m_now();
    return std::max(waitOf(m_addresses, address, now), waitOf(m_roles, role, now));
}

void SignInBackoff::count(Table& table, const QString& key, Clock::time_point now) {
    auto it = table.find(key);
    if (it == table.end()) {
        if (table.size() >= m_rules.mostKept) {
            std::erase_if(
                table, [&](const auto& e) { return now - e.second.last >= m_rules.forgetAfter; });
            if (table.size() >= m_rules.mostKept)
                table.erase(
                    std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
                        return a.second.last < b.second.last;
                    }));
        }
        it = table.emplace(key, Count{}).first;
    } else if (now - it->second.last >= m_rules.forgetAfter) {
        it->second.failures = 0;
    }
    ++it->second.failures;
    it->second.last = now;
}

void SignInBackoff::failed(const QString& address, const QString& role) {
    const std::lock_guard lock(m_mutex);
    const Clock::time_point now = m_now();
    count(m_addresses, address, now);
    count(m_roles, role, now);
}

void SignInBackoff::signedIn(const QString& role) {
    const std::lock_guard lock(m_mutex);
    m_roles.erase(role);
}

} // namespace office
