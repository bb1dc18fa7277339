// SPDX-License-Identifier: GPL-3.0-or-later
#include "comport/synchronize.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace comport {

namespace {

// Carries jobs from any thread to the UI thread. A worker touches nothing of Qt: it queues
// its job under our own lock and, when the queue was empty, writes to an eventfd; a
// QSocketNotifier on the UI thread reads the eventfd there. So every hand-over between the
// threads goes through a lock and a descriptor that the race detector sees, never through
// Qt's event posting, whose internal locks it cannot see (Debian's Qt is not built for it).
//
// One job runs per notification: the queue re-arms the eventfd while jobs remain, so the jobs
// stay in order and interleaved with other events, and a job that runs a nested event loop
// (a handler waiting for an answer) still lets the next job run.
class UiQueue {
public:
    // UI thread, once, when the application object exists. Lives as long as the process.
    static UiQueue* create() {
        static UiQueue* const queue = new UiQueue;
        return queue;
    }
    // Any thread: the queue, or null before the UI thread made it.
    static UiQueue* get() { return s_instance.load(std::memory_order_acquire); }

    std::thread::id uiThread() const { return m_uiThread; }

    // Any thread.
    void post(std::function<void()> job) {
        bool wasEmpty;
        {
            std::lock_guard lock(m_mutex);
            wasEmpty = m_jobs.empty();
            m_jobs.push_back(std::move(job));
        }
        if (wasEmpty)
            signal();
    }

private:
    UiQueue() : m_uiThread(std::this_thread::get_id()) {
        m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_fd >= 0) {
            m_notifier =
                new QSocketNotifier(m_fd, QSocketNotifier::Read, QCoreApplication::instance());
            QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier,
                             [this] { runOne(); });
        }
        s_instance.store(this, std::memory_order_release);
    }

    void signal() {
        if (m_fd < 0)
            return;
        const std::uint64_t one = 1;
        ssize_t n;
        do
            n = ::write(m_fd, &one, sizeof one);
        while (n < 0 && errno == EINTR);
    }

    // UI thread.
    void runOne() {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(m_fd, &count, sizeof count);
        std::function<void()> job;
        bool more;
        {
            std::lock_guard lock(m_mutex);
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            more = !m_jobs.empty();
        }
        if (more)
            signal();
        job();
    }

    static std::atomic<UiQueue*> s_instance;
    const std::thread::id m_uiThread;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs;
};

std::atomic<UiQueue*> UiQueue::s_instance{nullptr};

enum class RequestState { Queued, Running, Done, Skipped };

struct Request {
    std::function<void()> routine;
    RequestState state = RequestState::Queued;
    std::exception_ptr error;
    bool parked = false;          // the worker sleeps in Parking::park, not on `changed`
    std::function<void()> unpark; // while parked
};

} // namespace

struct SyncChannel::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool cancelled = false;
    std::shared_ptr<Request> current; // the request the worker waits for, if any
};

SyncChannel::SyncChannel() : m_state(std::make_shared<State>()) {
    // Made on the UI thread (the port creates its event thread there), before any worker
    // needs the queue.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        UiQueue::create();
}

void postToUiThread(std::function<void()> job) {
    if (UiQueue* queue = UiQueue::get())
        queue->post(std::move(job));
}

SyncChannel::~SyncChannel() = default;

// Compares thread ids only: asking Qt which thread this is would make Qt adopt a worker.
bool onUiThread() {
    UiQueue* queue = UiQueue::get();
    return queue != nullptr && std::this_thread::get_id() == queue->uiThread();
}

bool SyncChannel::run(std::function<void()> routine, const Parking* parking) {
    if (onUiThread()) {
        if (cancelled())
            return false;
        routine();
        return true;
    }
    const bool haveQueue = UiQueue::get() != nullptr;
    auto request = std::make_shared<Request>();
    request->routine = std::move(routine);
    {
        std::lock_guard lock(m_state->mutex);
        // Checked under the lock that cancel() takes: a cancel either comes first and this
        // request is never queued, or comes later and finds it.
        if (m_state->cancelled || !haveQueue)
            return false;
        m_state->current = request;
        m_state->changed.notify_all();
    }
    // The job owns the request and the state, so a request skipped after its worker is gone
    // still finds both.
    postToUiThread([state = m_state, request] {
        {
            std::lock_guard lock(state->mutex);
            if (state->cancelled || request->state != RequestState::Queued) {
                request->state = RequestState::Skipped;
                state->changed.notify_all();
                return;
            }
            request->state = RequestState::Running;
        }
        std::exception_ptr error;
        try {
            request->routine();
        } catch (...) {
            error = std::current_exception();
        }
        std::function<void()> unpark;
        {
            std::lock_guard lock(state->mutex);
            request->error = error;
            request->state = RequestState::Done;
            if (request->parked && error)
                unpark = request->unpark;
        }
        // Told after the lock is let go: the worker wakes to a free lock instead of waking
        // only to block on it once more (the job holds the state, so it outlives the worker).
        // A parked worker is not waiting on the condition, so this wakes nobody then.
        state->changed.notify_all();
        if (unpark)
            unpark();
    });

    std::unique_lock lock(m_state->mutex);
    if (parking && !m_state->cancelled && request->state != RequestState::Done &&
        request->state != RequestState::Skipped) {
        request->parked = true;
        request->unpark = parking->unpark;
        lock.unlock();
        parking->park();
        lock.lock();
        request->parked = false;
    }
    m_state->changed.wait(lock, [&] {
        return request->state == RequestState::Done || request->state == RequestState::Skipped ||
               (m_state->cancelled && request->state == RequestState::Queued);
    });
    m_state->current.reset();
    if (request->state != RequestState::Done) {
        request->state = RequestState::Skipped;
        return false;
    }
    std::exception_ptr error = std::move(request->error);
    lock.unlock();
    if (error)
        std::rethrow_exception(error);
    return true;
}

void SyncChannel::cancel() {
    std::function<void()> unpark;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->cancelled = true;
        m_state->changed.notify_all();
        if (m_state->current && m_state->current->parked)
            unpark = m_state->current->unpark;
    }
    if (unpark)
        unpark();
}

bool SyncChannel::cancelled() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->cancelled;
}

bool SyncChannel::waitForQueued(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(lock, timeout, [&] {
        return m_state->current && m_state->current->state == RequestState::Queued;
    });
}

bool SyncChannel::routineRunning() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->current && m_state->current->state == RequestState::Running;
}

} // namespace comport
