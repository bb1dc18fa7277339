#include "comport/synchronize.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace comport {

namespace {

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

SyncChannel::SyncChannel() : m_state(std::make_shared<State>()) {}

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
    // The closure owns the request and the state, so a request skipped after its worker is
    // gone still finds both.
    QMetaObject::invokeMethod(
        app,
        [state = m_state, request] {
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
        },
        Qt::QueuedConnection);

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
