// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A name resolver of the test's own for the connections of this process (fleet/name_lookup.h)
// while it lives: each name's answer from `answers` (a name missing is not known), and a name
// in `hanging` that never answers until release(). At its end it releases them and waits for
// every lookup's thread to end, so that none outlives what it uses (the sanitizer builds see
// every thread end).

#include "fleet/name_lookup.h"
#include "poll_until.h"

#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace fleettest {

class TestResolver {
public:
    std::map<std::string, fleet::NameAnswer> answers;
    std::set<std::string> hanging;

    TestResolver() {
        fleet::setNameResolver([this](const std::string& host) { return answer(host); });
    }
    ~TestResolver() {
        release();
        fleet::setNameResolver({});
        // Each lookup left behind ends once released; none may outlive what it uses.
        pollUntil([] { return fleet::lookupsRunning() == 0; });
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    int asked() {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }

private:
    fleet::NameAnswer answer(const std::string& host) {
        std::unique_lock lock(m_mutex);
        ++m_asked;
        if (hanging.count(host))
            m_changed.wait(lock, [&] { return m_released; });
        const auto it = answers.find(host);
        return it != answers.end() ? it->second : fleet::NameAnswer{EAI_NONAME, {}};
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_released = false;
    int m_asked = 0;
};

} // namespace fleettest
