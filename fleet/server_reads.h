// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads from the server that a window asks for (a unit's history, another laptop's download),
// each on a thread of its own, so that no window ever waits for the server.
//
// Threads: run() starts one std::thread per read ("fleet read"); it touches only what its
// work touches (its own PgConnection) and reports through the work's own hand-over. Every
// wait of a read sleeps in poll() on the connection and on this object's stop descriptor:
// stop() (and the destructor) makes the descriptor readable, so that every read still
// running ends at once, and joins them. A read whose asker has gone (a closed window) runs
// to its end or its deadline on its own; nobody waits for it but stop().
//
// Lock: m_mutex guards the list of threads; never held while a read runs.

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace fleet {

class ServerReads {
public:
    ServerReads();
    ~ServerReads(); // stop()
    ServerReads(const ServerReads&) = delete;
    ServerReads& operator=(const ServerReads&) = delete;

    // Runs `work(stopFd)` on a new thread; false (and nothing runs) once stopped. Any thread.
    bool run(std::function<void(int stopFd)> work);
    // Ends every read's waits and joins them; later run() calls are refused. Not from a read.
    void stop();
    // Reads that have not finished yet.
    std::size_t running() const;

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    // m_mutex held: joins the reads that have finished.
    void reap();

    int m_stopFd = -1;
    mutable std::mutex m_mutex;
    std::list<Worker> m_workers;
    bool m_stopped = false;
};

} // namespace fleet
