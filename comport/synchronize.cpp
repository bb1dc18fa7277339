#include "comport/synchronize.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <deque>

namespace comport {

namespace {

// Carries jobs to the UI thread. The jobs travel through this object's own locked queue and
// the call posted to the UI thread's event loop carries no data: everything a worker wrote
// before queueing its job is handed over by that lock, not by the event queue's internals.
// One job per posted call keeps the jobs in order and interleaved with other events as
// separate queued calls would be.
class UiPump : public QObject {
    Q_OBJECT
public:
    // Any thread, once an application object exists.
    static UiPump* instance() {
        static UiPump* const pump = [] {
            auto* p = new UiPump; // lives as long as the process
            QCoreApplication* app = QCoreApplication::instance();
            if (p->thread() != app->thread())
                p->moveToThread(app->thread()); // allowed: p still belongs to the caller
            return p;
        }();
        return pump;
    }

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        QMetaObject::invokeMethod(this, "runOne", Qt::QueuedConnection);
    }

private:
    // UI thread.
    Q_INVOKABLE void runOne() {
        std::function<void()> job;
        {
            std::lock_guard lock(m_mutex);
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_jobs;
};

enum class RequestState { Queued, Running, Done, Skipped };

struct Request {
    std::function<void()> routine;
    RequestState state = RequestState::Queued;
    std::exception_ptr error;
};

} // namespace

struct SyncChannel::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool cancelled = false;
    std::shared_ptr<Request> current; // the request the worker waits for, if any
};

SyncChannel::SyncChannel() : m_state(std::make_shared<State>()) {
    // Normally made here on the UI thread, before any worker needs it.
    if (QCoreApplication::instance())
        UiPump::instance();
}

void postToUiThread(std::function<void()> job) {
    if (QCoreApplication::instance())
        UiPump::instance()->post(std::move(job));
}

SyncChannel::~SyncChannel() = default;

bool onUiThread() {
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    return false;
}

bool SyncChannel::run(std::function<void()> routine) {
    if (onUiThread()) {
        if (cancelled())
            return false;
        routine();
        return true;
    }
    QCoreApplication* app = QCoreApplication::instance();
    auto request = std::make_shared<Request>();
    request->routine = std::move(routine);
    {
        std::lock_guard lock(m_state->mutex);
        // Checked under the lock that cancel() takes: a cancel either comes first and this
        // request is never queued, or comes later and finds it.
        if (m_state->cancelled || app == nullptr)
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
        std::lock_guard lock(state->mutex);
        request->error = error;
        request->state = RequestState::Done;
        state->changed.notify_all();
    });

    std::unique_lock lock(m_state->mutex);
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
    std::lock_guard lock(m_state->mutex);
    m_state->cancelled = true;
    m_state->changed.notify_all();
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

#include "synchronize.moc"
