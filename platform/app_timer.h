// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window-message timer the forms are written against, over QTimer. It ticks on the thread
// that owns it (the UI thread for every timer of the program).
//
// Its period starts afresh only when the timer goes from stopped to running or when it gets a
// different interval: enabling a running timer, or setting the interval it already has, leaves
// the running period alone (QTimer::start would restart it, which would stretch a time-out that
// a receive handler keeps "re-arming"). A timer runs while it is enabled, its interval is above
// zero and it has a tick handler. The handler runs inside the exception guard.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace platform {

class AppTimer : public QObject {
    Q_OBJECT
public:
    // The toolkit's defaults: enabled, 1000 ms.
    explicit AppTimer(QObject* parent = nullptr, int intervalMs = 1000, bool enabled = true);

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    void setInterval(int ms);

    // Assigning the first handler to an enabled timer starts it; replacing a handler keeps
    // the running period.
    void setOnTimer(std::function<void()> handler);

    // Enables the timer and starts its period afresh from now, as disabling and enabling it
    // again would. A timer already running is not touched: the new end is remembered, and a
    // tick that comes before it only re-arms the timer for the time left. So a handler that
    // restarts the timer for every received chunk costs the toolkit nothing per chunk, and
    // the tick is moved out only every half period, so that a steady stream of restarts
    // never wakes the program for it.
    void restart();

    // True while ticks are due (enabled, interval > 0, handler assigned).
    bool isRunning() const { return m_timer.isActive(); }

private:
    using Clock = std::chrono::steady_clock;

    bool shouldRun() const;
    void apply(bool wasRunning, bool intervalChanged);
    void startPeriod();
    void arm(int ms);
    void tick();

    QTimer m_timer;
    std::optional<Clock::time_point> m_due; // a restart moved the next tick here
    Clock::time_point m_firesAt;            // when the armed timer ticks next
    bool m_shortened = false;               // armed for the rest of a moved period
    std::function<void()> m_onTimer;
    bool m_enabled;
    int m_interval;
};

} // namespace platform
