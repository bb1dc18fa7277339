// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How long a sign-in waits after failed ones: counted per client address and per role, so
// that neither one address guessing many roles' passwords nor many addresses guessing one
// role's get more than a few tries at the server's password check. The first few failures
// cost nothing; each one after doubles the wait, up to a most; a role's count ends when it
// signs in, an address's when it has not failed for a while. Plain logic with its clock passed
// in; thread-safe (the read threads sign people in at the same time); holds at most mostKept
// addresses and roles each, the longest quiet going first.

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace office {

class SignInBackoff {
public:
    using Clock = std::chrono::steady_clock;
    struct Rules {
        int freeFailures = 5;
        std::chrono::seconds first{1}, most{300};
        std::chrono::seconds forgetAfter{3600}; // quiet this long: the count starts again
        std::size_t mostKept = 20000;
    };

    SignInBackoff();
    explicit SignInBackoff(Rules rules, std::function<Clock::time_point()> now = &Clock::now);

    // How long `address` and `role` must still wait before their password is checked; zero:
    // it may be checked now.
    std::chrono::seconds wait(const QString& address, const QString& role);
    void failed(const QString& address, const QString& role);
    void signedIn(const QString& role);

private:
    struct Count {
        int failures = 0;
        Clock::time_point last;
    };
    using Table = std::map<QString, Count>;
    std::chrono::seconds waitOf(const Table& table, const QString& key,
                                Clock::time_point now) const;
    void count(Table& table, const QString& key, Clock::time_point now);

    const Rules m_rules;
    const std::function<Clock::time_point()> m_now;
    std::mutex m_mutex;
    Table m_addresses, m_roles;
};

} // namespace office
