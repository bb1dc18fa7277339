// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_reads.h"

#include "platform/thread_boundary.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace fleet {

ServerReads::ServerReads() : m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ServerReads::~ServerReads() {
    stop();
    if (m_stopFd >= 0)
        ::close(m_stopFd);
}

bool ServerReads::run(std::function<void(int stopFd)> work) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped)
        return false;
    reap();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    m_workers.push_back(Worker{std::thread([work = std::move(work), finished, fd = m_stopFd] {
                                   // A read that fails unexpectedly ends its worker alone.
                                   platform::runBoundary("a read of the server", [&] { work(fd); });
                                   finished->store(true);
                               }),
                               finished});
    return true;
}

void ServerReads::stop() {
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stopped && m_stopFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(m_stopFd, &one, sizeof one);
        }
        m_stopped = true;
        workers.swap(m_workers);
    }
    for (Worker& w : workers)
        if (w.thread.joinable())
            w.thread.join();
}

std::size_t ServerReads::running() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t n = 0;
    for (const Worker& w : m_workers)
        n += w.finished->load() ? 0 : 1;
    return n;
}

void ServerReads::reap() {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace fleet
