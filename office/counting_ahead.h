// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Counting the server's series before anyone asks for their counts: the Units page shows the
// counts kept under each series' current signature (SeriesCountCache) and hands the series it
// finds not counted (new, or grown since) here, where a thread of the service's own (at nice
// 10, below the read threads) counts them one after another, each on a kept connection
// (ReadConnections) as the role that asked; the page says "not all counted" until they are.
// At its start on a loopback address, the service asks for every series it finds
// (office_reads' countEverySeries), so the first Units page finds most counted.
//
// Pages first: while any page is being read (PageRead, held by every answer), the thread waits
// before its next series, at most kYieldAtMost each time, so that a page's reads do not share
// the machine and the server with it, yet a steady stream of pages does not stop it.
//
// Only counts are made here, kept in memory under the signature they were counted at: derived
// data that any instance of the service makes again, so several still serve one server and
// nothing is written on it. The thread runs while there is something to count and ends when
// nothing is left (a new ask starts it again); the object's end stops it after the series it
// is on.

#include "office/office_reads.h"
#include "office/series_counts.h"

#include <QSet>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace office {

class CountingAhead {
public:
    static constexpr std::chrono::seconds kYieldAtMost{1};

    // A page being read, from its start to its answer.
    class PageRead {
    public:
        explicit PageRead(CountingAhead& counting);
        ~PageRead();
        PageRead(const PageRead&) = delete;
        PageRead& operator=(const PageRead&) = delete;

    private:
        CountingAhead& m_counting;
    };

    explicit CountingAhead(std::chrono::milliseconds yieldAtMost = kYieldAtMost)
        : m_yieldAtMost(yieldAtMost) {}
    ~CountingAhead();
    CountingAhead(const CountingAhead&) = delete;
    CountingAhead& operator=(const CountingAhead&) = delete;

    // Counts these series as `conninfo` reads them, for the calling thread's reader
    // (ReaderScope; those larger than limits.mostRecords are left); a series asked for already
    // waits once.
    void ask(const std::string& conninfo, const ReadLimits& limits,
             const std::vector<HeldSeries>& series);
    // Whether nothing waits or is being counted, after waiting at most `wait` for it (or until
    // stop()).
    bool idle(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // Drops what waits, lets the series being counted finish, and takes no more asks.
    void stop();
    // Drops what waits for `reader` (a session that ended), with its connection string.
    void cancel(const std::string& reader);
    // How many series were counted here since the start.
    long long counted() const;

    // The one the service uses.
    static CountingAhead& shared();

private:
    struct Job {
        std::string reader; // ReaderScope's
        std::string conninfo;
        ReadLimits limits;
        HeldSeries series;
    };
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<Job> m_jobs;
    QSet<QString> m_waiting; // the jobs' units and data sets
    bool m_running = false, m_stopping = false;
    int m_pagesReading = 0;
    const std::chrono::milliseconds m_yieldAtMost;
    long long m_counted = 0;
    std::thread m_thread;
};

} // namespace office
