// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/counting_ahead.h"

#include "platform/thread_boundary.h"

#include "office/read_connections.h"

#include <QChar>

#include <sys/resource.h>
#include <unistd.h>

namespace office {

namespace {
QString keyOf(const HeldSeries& h) {
    return h.unit + QChar(0) + h.dataSet;
}
} // namespace

CountingAhead::PageRead::PageRead(CountingAhead& counting) : m_counting(counting) {
    const std::lock_guard lock(m_counting.m_mutex);
    ++m_counting.m_pagesReading;
}

CountingAhead::PageRead::~PageRead() {
    {
        const std::lock_guard lock(m_counting.m_mutex);
        --m_counting.m_pagesReading;
    }
    m_counting.m_done.notify_all();
}

CountingAhead::~CountingAhead() {
    stop();
}

void CountingAhead::stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
        m_waiting.clear();
    }
    m_done.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CountingAhead::cancel(const std::string& reader) {
    const std::lock_guard lock(m_mutex);
    for (auto it = m_jobs.begin(); it != m_jobs.end();)
        if (it->reader == reader) {
            m_waiting.remove(keyOf(it->series));
            it = m_jobs.erase(it);
        } else {
            ++it;
        }
}

void CountingAhead::ask(const std::string& conninfo, const ReadLimits& limits,
                        const std::vector<HeldSeries>& series) {
    const std::lock_guard lock(m_mutex);
    if (m_stopping)
        return;
    for (const HeldSeries& h : series)
        if (h.signature.facts <= limits.mostRecords && !m_waiting.contains(keyOf(h))) {
            m_waiting.insert(keyOf(h));
            m_jobs.push_back({ReaderScope::current(), conninfo, limits, h});
        }
    if (m_jobs.empty() || m_running)
        return;
    // The thread before ended when nothing was left: it is done, or all but done.
    if (m_thread.joinable())
        m_thread.join();
    m_running = true;
    m_thread = std::thread([this] { run(); });
}

void CountingAhead::run() {
    // Below the read threads, whose pages are waited for (the server's side of its reads
    // runs as any other).
    setpriority(PRIO_PROCESS, id_t(gettid()), 10);
    ReadConnections::Lease connection;
    std::string as;
    std::unique_lock lock(m_mutex);
    while (!m_jobs.empty() && !m_stopping) {
        m_done.wait_for(lock, m_yieldAtMost, [&] { return m_stopping || m_pagesReading == 0; });
        if (m_stopping || m_jobs.empty())
            break;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        bool counted = false;
        // The connection is kept (and given back) as the reader that asked.
        const ReaderScope reader(job.reader);
        if (!connection || as != readerKey(job.conninfo)) {
            connection = {};
            // One not had leaves the series uncounted, for a later page to count.
            if (auto taken = ReadConnections::shared().take(job.conninfo, job.limits))
                connection = std::move(taken).value();
            as = readerKey(job.conninfo);
        }
        // Counted by another read meanwhile: nothing to do.
        if (SeriesCountCache::shared().find(job.series.unit, job.series.dataSet,
                                            job.series.signature))
            counted = true;
        else if (connection)
            // A series whose counting fails unexpectedly is left uncounted; the rest go on.
            platform::runBoundary("counting a series ahead", [&] {
                counted = countHeld(*connection, job.series).has_value();
            });
        if (connection && !connection->isOpen())
            connection = {};
        lock.lock();
        m_waiting.remove(keyOf(job.series));
        m_counted += counted;
        // The server not readable as this role: what else waits as it waits for a later ask.
        if (!connection) {
            for (auto it = m_jobs.begin(); it != m_jobs.end();)
                if (it->reader == job.reader && it->conninfo == job.conninfo) {
                    m_waiting.remove(keyOf(it->series));
                    it = m_jobs.erase(it);
                } else {
                    ++it;
                }
        }
    }
    m_running = false;
    lock.unlock();
    m_done.notify_all();
    connection = {}; // given back before the thread ends
}

bool CountingAhead::idle(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    m_done.wait_for(lock, wait, [&] { return m_stopping || (!m_running && m_jobs.empty()); });
    return !m_stopping && !m_running && m_jobs.empty();
}

long long CountingAhead::counted() const {
    const std::lock_guard lock(m_mutex);
    return m_counted;
}

CountingAhead& CountingAhead::shared() {
    // What its thread uses is made first, so that it is gone only after this one has stopped.
    ReadConnections::shared();
    SeriesCountCache::shared();
    static CountingAhead counting;
    return counting;
}

} // namespace office
