// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui_handover/ui_handover.h"

#include "platform/exception_guard.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace platform {

UiHandover::UiHandover() {
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0)
        throw std::runtime_error("Cannot make an eventfd for the hand-over to the UI thread");
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
}

UiHandover::~UiHandover() {
    m_notifier.reset();
    ::close(m_fd);
}

void UiHandover::post(std::function<void()> call) {
    bool wake = false;
    {
        std::lock_guard lock(m_lock);
        m_calls.push_back(std::move(call));
        if (!m_woken) {
            m_woken = true;
            wake = true;
        }
    }
    if (wake) {
        // Written outside the lock; the counter only ever rises, so a full counter (never
        // reached: one write per outstanding wake-up) would be the only failure.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
    }
}

std::size_t UiHandover::drain() {
    std::size_t due;
    {
        std::lock_guard lock(m_lock);
        // Read under the lock, so that a post that finds no wake-up outstanding always
        // writes one that is still to be read.
        std::uint64_t count = 0;
        if (::read(m_fd, &count, sizeof count) == sizeof count)
            ++m_wakeUps;
        m_woken = false;
        due = m_calls.size();
    }
    // One call at a time off the queue: a call that runs a nested event loop (a message box)
    // lets the notifier drain again, and the order still holds. Only the calls queued when
    // this began run now, so that a thread that keeps posting cannot hold the UI thread here.
    std::size_t ran = 0;
    for (; ran < due; ++ran) {
        std::function<void()> call;
        {
            std::lock_guard lock(m_lock);
            if (m_calls.empty())
                break;
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        runGuarded(call);
    }
    bool wake = false;
    {
        std::lock_guard lock(m_lock);
        if (!m_calls.empty() && !m_woken)
            wake = m_woken = true;
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
    }
    return ran;
}

void UiHandover::discard() {
    std::lock_guard lock(m_lock);
    m_calls.clear();
}

std::size_t UiHandover::pending() const {
    std::lock_guard lock(m_lock);
    return m_calls.size();
}

std::size_t UiHandover::wakeUps() const {
    std::lock_guard lock(m_lock);
    return m_wakeUps;
}

} // namespace platform
