// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/app_timer.h"

#include "platform/exception_guard.h"

namespace platform {

AppTimer::AppTimer(QObject* parent, int intervalMs, bool enabled)
    : QObject(parent), m_enabled(enabled), m_interval(intervalMs < 0 ? 0 : intervalMs) {
    // Time-outs of a few hundred milliseconds are measured against this timer: the coarse
    // kind may fire 5 % early or late.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void AppTimer::arm(int ms) {
    m_firesAt = Clock::now() + std::chrono::milliseconds(ms);
    m_timer.start(ms);
}

void AppTimer::tick() {
    // The timer is periodic: unless re-armed below it ticks again one interval from now.
    const auto now = Clock::now();
    m_firesAt = now + std::chrono::milliseconds(m_timer.interval());
    if (m_due) {
        if (now < *m_due) {
            // Early for a restarted period: wait for the rest of it (rounded up, so that the
            // next tick is not early again by a fraction of a millisecond).
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_due - now);
            arm(static_cast<int>(left.count()));
            m_shortened = true;
            return;
        }
        m_due.reset();
    }
    if (m_shortened) // back to whole periods from this tick on
        startPeriod();
    // Copy: the handler may replace itself or destroy nothing we rely on afterwards.
    auto handler = m_onTimer;
    if (handler)
        runGuarded(handler);
}

void AppTimer::startPeriod() {
    m_due.reset();
    m_shortened = false;
    arm(m_interval);
}

void AppTimer::restart() {
    if (!m_enabled || !m_timer.isActive()) {
        m_enabled = true;
        if (shouldRun())
            startPeriod();
        return;
    }
    const auto now = Clock::now();
    m_due = now + std::chrono::milliseconds(m_interval);
    // Left alone, the armed tick would come while restarts still keep coming, only to be
    // armed again for the rest: a wake-up every period during a steady stream. Once it is
    // within half a period it is moved out a whole one, so restarts that keep coming never
    // let it fire, at one toolkit call per half period. (Asking the toolkit for the time
    // left would search its timer list on every restart.)
    if (m_firesAt - now < std::chrono::milliseconds(m_interval / 2)) {
        arm(m_interval);
        m_shortened = false;
    }
}

bool AppTimer::shouldRun() const {
    return m_enabled && m_interval > 0 && m_onTimer != nullptr;
}

void AppTimer::apply(bool wasRunning, bool intervalChanged) {
    if (!shouldRun()) {
        m_timer.stop();
        m_due.reset();
        m_shortened = false;
        return;
    }
    if (!wasRunning || intervalChanged || !m_timer.isActive())
        startPeriod();
}

void AppTimer::setEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    const bool wasRunning = shouldRun();
    m_enabled = enabled;
    apply(wasRunning, false);
}

void AppTimer::setInterval(int ms) {
    if (ms < 0)
        ms = 0;
    if (ms == m_interval)
        return;
    const bool wasRunning = shouldRun();
    m_interval = ms;
    apply(wasRunning, true);
}

void AppTimer::setOnTimer(std::function<void()> handler) {
    const bool wasRunning = shouldRun();
    m_onTimer = std::move(handler);
    apply(wasRunning, false);
}

} // namespace platform
