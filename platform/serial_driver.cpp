// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_driver.h"

#include "platform/poll_helpers.h"
#include "platform/read_timeouts.h"
#include "platform/termios_dcb.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

using namespace win;

namespace {

constexpr DWORD kMaxQueue = 64u << 20;
constexpr DWORD kDefaultInQueue = 4096;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr std::size_t kKeptResults = 64;

enum Kind { ReadKind, WriteKind, WaitKind };

} // namespace

struct SerialDriver::Request {
    int kind = ReadKind;
    std::thread::id owner = std::this_thread::get_id();
    std::shared_ptr<EventObject> event;
    bool done = false;
    DWORD error = 0;
    DWORD transferred = 0;
    // read: the caller's buffer, filled as bytes arrive (as the Windows driver does)
    char* buffer = nullptr;
    DWORD count = 0;
    bool started = false;
    ReadPlan plan;
    std::optional<Clock::time_point> totalDeadline;
    std::optional<Clock::time_point> intervalDeadline;
    // write: the bytes are copied at the start, so the caller may reuse its buffer
    std::string data;
    std::size_t offset = 0;
    // wait: where the event word goes
    DWORD* eventMask = nullptr;
};

// ---- life ----

SerialDriver::SerialDriver(std::unique_ptr<SerialTransport> transport)
    : m_transport(std::move(transport)) {
    m_in.resize(kDefaultInQueue);
}

SerialDriver::~SerialDriver() {
    close();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

DWORD SerialDriver::start(int& err) {
    m_eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0) {
        err = errno;
        return ERROR_GEN_FAILURE;
    }
    m_waiter.open(m_transport->pollFd());
    // Windows reports a freshly opened port in binary mode with DTR and RTS on, which is
    // also what the kernel does to the lines on open.
    m_dcb.DCBlength = sizeof(DCB);
    m_dcb.Flags = DCB_fBinary | DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE;
    m_dcb.XonLim = 2048;
    m_dcb.XoffLim = 512;
    DWORD e = m_transport->readDcb(m_dcb, err);
    if (e != ERROR_SUCCESS)
        return e;
    if (m_dcb.ByteSize == 0)
        m_dcb.ByteSize = 8;
    m_transport->setWake([fd = m_eventFd] { signalFd(fd); });
    m_thread = std::thread([this] { run(); });
    ::pthread_setname_np(m_thread.native_handle(), kIoThreadName); // for ps, top and perf
    return ERROR_SUCCESS;
}

void SerialDriver::close() {
    {
        std::unique_lock lock(m_mutex);
        if (m_closed)
            return;
        m_closed = true;
        abortReads(ERROR_OPERATION_ABORTED);
        abortWrites(ERROR_OPERATION_ABORTED);
        if (m_wait) {
            complete(*m_wait, ERROR_OPERATION_ABORTED);
            m_wait.reset();
        }
        ++m_flushGeneration;
        m_stop = true;
        m_cv.notify_all();
        // The descriptor is closed below: a thread still polling it must be out first.
        m_waiter.wakeForClose();
        m_cv.wait(lock, [&] { return !m_waiter.occupied(); });
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    m_transport->setWake({});
    m_transport->close();
}

void SerialDriver::wake() {
    if (m_eventFd >= 0)
        signalFd(m_eventFd);
}

void SerialDriver::wakeWaiter() {
    m_waiter.wake();
}

int SerialDriver::goneErrno() const {
    std::lock_guard lock(m_mutex);
    return m_gone ? m_goneErrno : 0;
}

DWORD SerialDriver::closedOrGoneError() const {
    if (m_closed)
        return ERROR_INVALID_HANDLE;
    if (m_gone)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

template <class Call> DWORD SerialDriver::whileUsable(Call&& call) {
    std::unique_lock lock(m_mutex);
    if (DWORD e = closedOrGoneError())
        return e;
    return call(lock);
}

// ---- the I/O thread ----

// Runs on the driver's own I/O thread until close().
void SerialDriver::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        auto now = Clock::now();
        if (!m_gone) {
            pullInput(now);
            pumpOutput();
        }
        serviceReads(now);
        serviceWrites(now);

        const bool leaveInput = m_waiter.takesInput(now, !m_reads.empty());
        pollfd fds[2] = {{m_eventFd, POLLIN, 0}, {-1, 0, 0}};
        int fd = m_transport->pollFd();
        if (fd >= 0 && !m_gone && !m_pollFdDone) {
            // Even with no events asked for, a hang-up still wakes the poll.
            fds[1].fd = fd;
            fds[1].events = static_cast<short>((m_in.free() && !leaveInput ? POLLIN : 0) |
                                               (m_outBlocked ? POLLOUT : 0));
        }
        auto deadline = nextDeadline();
        // Look again when a waiter that left has not come back by then.
        if (auto back = m_waiter.handBackAt(now);
            leaveInput && back && (!deadline || *back < *deadline))
            deadline = back;
        timespec ts{};
        timespec* timeout = deadline ? timeoutUntil(*deadline, now, ts) : nullptr;
        m_waiter.ioSleeps(timeout == nullptr && leaveInput);
        lock.unlock();
        int n = ::ppoll(fds, fds[1].fd >= 0 ? 2 : 1, timeout, nullptr);
        if (n > 0 && (fds[0].revents & POLLIN))
            drainFd(m_eventFd);
        lock.lock();
        m_waiter.ioSleeps(false);
        if (n > 0 && fds[1].fd >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            hungUp(fds[1].revents);
        if (m_pollFdDone && m_in.free() > 0)
            m_pollFdDone = false;
    }
}

// A waiter left and is not back, and the I/O thread has not taken input up again yet: bytes
// may wait in the kernel, which a caller's read or queue status should include.
bool SerialDriver::nobodyReadsInput() const {
    return !m_gone && !m_waiter.occupied() && m_waiter.takesInput(Clock::now(), !m_reads.empty());
}

// Hung up: take what the kernel still holds, then the device is gone. With a full queue,
// stop polling until a reader makes room, then drain again.
void SerialDriver::hungUp(short revents) {
    pumpInput(Clock::now());
    if (m_in.free() == 0)
        m_pollFdDone = true;
    else
        markGone(revents & POLLNVAL ? EBADF : EIO);
}

void SerialDriver::pullInput(Clock::time_point now) {
    pumpInput(now);
    DWORD events = 0, errors = 0;
    m_transport->takeLineEvents(events, errors);
    if (events || errors)
        lineEvents(events, errors);
}

// ---- the receive tuning's waiter (serial_waiter.h) ----

bool SerialDriver::waitHere(EventObject& event, Clock::time_point deadline, bool infinite) {
    std::unique_lock lock(m_mutex);
    return m_waiter.waitHere(lock, *this, event, deadline, infinite);
}

bool SerialDriver::park() {
    std::unique_lock lock(m_mutex);
    return m_waiter.park(lock, *this);
}

bool SerialDriver::countsLineErrors() const {
    std::lock_guard lock(m_mutex);
    return !m_closed && m_transport && m_transport->countsLineErrors();
}

void SerialDriver::unpark() {
    std::lock_guard lock(m_mutex);
    m_waiter.unpark();
}

bool SerialDriver::waitPendingOn(const EventObject& event) const {
    return m_wait && m_wait->event.get() == &event && !m_wait->done;
}

bool SerialDriver::parkEnds() const {
    return m_history || !m_mask || m_gone || m_closed;
}

void SerialDriver::waiterWoke(bool deviceInput, bool deviceHungUp) {
    // An edge that came while the queue was full was not read: the reader that made room
    // woke the waiter to read it now.
    if (deviceInput || (m_inputBacklog && m_in.free() > 0)) {
        pullInput(Clock::now());
        m_inputBacklog = m_in.free() == 0;
    }
    if (deviceHungUp)
        hungUp(POLLHUP);
    if (m_pollFdDone && m_in.free() > 0)
        m_pollFdDone = false;
}

void SerialDriver::waiterLeft(bool wakeIo) {
    if (wakeIo)
        wake();        // to look again in a second, in case the waiter does not come back
    m_cv.notify_all(); // close() waits for the waiter to leave the descriptor
}

std::optional<SerialDriver::Clock::time_point> SerialDriver::nextDeadline() const {
    std::optional<Clock::time_point> best;
    auto consider = [&](const std::optional<Clock::time_point>& t) {
        if (t && (!best || *t < *best))
            best = t;
    };
    if (!m_reads.empty()) {
        const Request& r = *m_reads.front();
        consider(r.totalDeadline);
        if (r.transferred > 0)
            consider(r.intervalDeadline);
    }
    for (const auto& w : m_writes)
        consider(w->totalDeadline);
    return best;
}

void SerialDriver::pumpInput(Clock::time_point now) {
    std::size_t before = m_in.size();
    std::size_t arrived = 0;
    bool flag = false;
    std::optional<int> goneErrno;
    while (!m_gone) {
        auto [ptr, len] = m_in.tail();
        if (len == 0)
            break;
        std::size_t got = 0;
        int err = 0;
        auto io = m_transport->read(ptr, len, got, err);
        if (io == SerialTransport::Io::Gone) {
            goneErrno = err;
            break;
        }
        if (io == SerialTransport::Io::WouldBlock)
            break;
        // Fewer bytes than asked for: the device had no more. Asking again would only find
        // it empty, and a tty then waits for the kernel's pending input work to finish first,
        // which costs a sleep per arrival; poll tells of anything that comes later.
        const bool drained = got < len;
        if (m_dcb.Flags & DCB_fNull) // discard NUL bytes as they arrive
            got = static_cast<std::size_t>(std::remove(ptr, ptr + got, '\0') - ptr);
        if ((m_mask & EV_RXFLAG) && std::memchr(ptr, m_dcb.EvtChar, got))
            flag = true;
        m_in.commit(got);
        arrived += got;
        if (drained)
            break;
    }
    if (arrived > 0) {
        m_waiter.arrived(now, arrived);
        DWORD events = EV_RXCHAR;
        if (flag)
            events |= EV_RXFLAG;
        std::size_t mark = m_in.capacity() * 8 / 10;
        if (before < mark && m_in.size() >= mark)
            events |= EV_RX80FULL;
        raise(events);
        serviceReads(now);
    }
    // Only after the arrival is told and served: the pending wait and reads must hear of the
    // last bytes, not of the device's going in their place.
    if (goneErrno)
        markGone(*goneErrno);
}

void SerialDriver::pumpOutput() {
    m_outBlocked = false;
    bool wrote = false;
    while (!m_gone) {
        const char* p;
        std::size_t n;
        Request* front = nullptr;
        if (!m_aheadOfQueue.empty()) {
            p = m_aheadOfQueue.data();
            n = m_aheadOfQueue.size();
        } else if (!m_writes.empty()) {
            front = m_writes.front().get();
            if (front->offset == front->data.size()) {
                front->transferred = front->count;
                complete(*front, ERROR_SUCCESS);
                m_writes.pop_front();
                continue;
            }
            p = front->data.data() + front->offset;
            n = front->data.size() - front->offset;
        } else {
            break;
        }
        std::size_t put = 0;
        int err = 0;
        auto io = m_transport->write(p, n, put, err);
        if (io == SerialTransport::Io::Gone) {
            markGone(err);
            return;
        }
        if (io == SerialTransport::Io::WouldBlock) {
            m_outBlocked = true;
            break;
        }
        wrote = true;
        if (front) {
            front->offset += put;
            front->transferred = static_cast<DWORD>(front->offset);
        } else {
            m_aheadOfQueue.erase(0, put);
        }
    }
    if (wrote && outputEmpty()) {
        raise(EV_TXEMPTY);
        m_cv.notify_all(); // flush waiters
    }
}

bool SerialDriver::outputEmpty() const {
    return m_aheadOfQueue.empty() && m_writes.empty();
}

void SerialDriver::serviceReads(Clock::time_point now) {
    while (!m_reads.empty()) {
        Request& r = *m_reads.front();
        if (!r.started) {
            r.started = true;
            r.plan = planRead(m_timeouts, r.count);
            if (r.plan.total)
                r.totalDeadline = now + *r.plan.total;
        }
        std::size_t n = std::min<std::size_t>(m_in.size(), r.count - r.transferred);
        if (n) {
            if (m_in.free() == 0) {
                wake(); // whoever reads the descriptor stopped while the queue was full
                wakeWaiter();
            }
            m_in.pop(r.buffer + r.transferred, n);
            r.transferred += static_cast<DWORD>(n);
            if (r.plan.interval)
                r.intervalDeadline = now + *r.plan.interval;
        }
        bool finished = r.transferred == r.count || r.plan.immediate ||
                        (r.plan.returnOnAny && r.transferred > 0) ||
                        (r.totalDeadline && now >= *r.totalDeadline) ||
                        (r.intervalDeadline && r.transferred > 0 && now >= *r.intervalDeadline);
        if (!finished)
            return;
        // A time-out is a success with fewer bytes, as on Windows.
        m_readAwaitsLineCheck = m_readAwaitsLineCheck || r.transferred > 0;
        complete(r, ERROR_SUCCESS);
        m_reads.pop_front();
    }
}

void SerialDriver::serviceWrites(Clock::time_point now) {
    for (auto it = m_writes.begin(); it != m_writes.end();) {
        Request& w = **it;
        if (w.totalDeadline && now >= *w.totalDeadline) {
            w.transferred = static_cast<DWORD>(w.offset);
            complete(w, ERROR_SUCCESS);
            it = m_writes.erase(it);
        } else {
            ++it;
        }
    }
}

void SerialDriver::raise(DWORD events) {
    m_history |= events & m_mask;
    if (m_history && m_wait) {
        *m_wait->eventMask = m_history;
        m_history = 0;
        complete(*m_wait, ERROR_SUCCESS);
        m_wait.reset();
    } else if (m_history && m_waiter.parked()) {
        wakeWaiter();
    }
}

void SerialDriver::lineEvents(DWORD events, DWORD errors) {
    m_errors |= errors;
    if (errors && (m_dcb.Flags & DCB_fAbortOnError)) {
        m_abortedByError = true;
        abortReads(ERROR_OPERATION_ABORTED);
        abortWrites(ERROR_OPERATION_ABORTED);
    }
    raise(events);
}

void SerialDriver::complete(Request& r, DWORD error) {
    if (r.done)
        return;
    r.done = true;
    r.error = error;
    m_cv.notify_all();
    if (r.event)
        r.event->set();
}

void SerialDriver::abortReads(DWORD error) {
    for (auto& r : m_reads)
        complete(*r, error);
    m_reads.clear();
}

void SerialDriver::abortWrites(DWORD error) {
    for (auto& w : m_writes) {
        w->transferred = static_cast<DWORD>(w->offset);
        complete(*w, error);
    }
    m_writes.clear();
    m_aheadOfQueue.clear();
    ++m_flushGeneration;
    m_cv.notify_all();
}

// The device went away: everything pending fails with "access denied" once; the
// descriptor is no longer polled, so nothing spins afterwards.
void SerialDriver::markGone(int err) {
    if (m_gone)
        return;
    m_gone = true;
    m_goneErrno = err;
    if (m_waiter.parked())
        wakeWaiter();
    abortReads(ERROR_ACCESS_DENIED);
    abortWrites(ERROR_ACCESS_DENIED);
    if (m_wait) {
        complete(*m_wait, ERROR_ACCESS_DENIED);
        m_wait.reset();
    }
    m_cv.notify_all();
}

// ---- requests ----

SerialDriver::RequestPtr SerialDriver::newRequest(int kind, OVERLAPPED* ov,
                                                  std::shared_ptr<EventObject> ev) {
    auto r = std::make_shared<Request>();
    r->kind = kind;
    r->event = std::move(ev);
    if (r->event)
        r->event->reset(); // as Windows does when an overlapped request starts
    if (ov) {
        ov->Internal = kStatusPending;
        ov->InternalHigh = 0;
        if (m_byOverlapped.size() >= kKeptResults) {
            for (auto it = m_byOverlapped.begin(); it != m_byOverlapped.end();)
                it = it->second->done ? m_byOverlapped.erase(it) : std::next(it);
        }
        m_byOverlapped[ov] = r;
    }
    return r;
}

DWORD SerialDriver::finish(std::unique_lock<std::mutex>& lock, const RequestPtr& r, bool sync,
                           DWORD* count) {
    if (!r->done && !sync)
        return ERROR_IO_PENDING;
    m_cv.wait(lock, [&] { return r->done; });
    if (count)
        *count = r->transferred;
    return r->error;
}

DWORD SerialDriver::waitEvent(DWORD* eventMask, OVERLAPPED* ov, std::shared_ptr<EventObject> ev,
                              bool sync) {
    std::unique_lock lock(m_mutex);
    // Events of bytes that arrived before the device went are still told: their reader
    // takes them from the queue before the device counts as gone.
    const bool lastEvents = m_gone && !m_closed && m_history && m_in.size() > 0;
    if (DWORD e = closedOrGoneError(); e && !lastEvents)
        return e;
    if (!eventMask || m_wait || m_mask == 0)
        return ERROR_INVALID_PARAMETER;
    auto r = newRequest(WaitKind, sync ? nullptr : ov, std::move(ev));
    r->eventMask = eventMask;
    if (m_history) {
        *eventMask = m_history;
        m_history = 0;
        complete(*r, ERROR_SUCCESS);
    } else {
        m_wait = r;
        if (r->event && m_waiter.on())
            r->event->setSource(weak_from_this());
    }
    return finish(lock, r, sync, nullptr);
}

DWORD SerialDriver::read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov,
                         std::shared_ptr<EventObject> ev, bool sync) {
    std::unique_lock lock(m_mutex);
    // What arrived before the device went can still be read; nothing more will come.
    const bool leftOver = m_gone && !m_closed && m_in.size() > 0 && m_reads.empty();
    if (DWORD e = closedOrGoneError(); e && !leftOver)
        return e;
    if (m_abortedByError)
        return ERROR_OPERATION_ABORTED;
    if (!buffer && count)
        return ERROR_INVALID_PARAMETER;
    if (done)
        *done = 0;
    auto r = newRequest(ReadKind, sync ? nullptr : ov, std::move(ev));
    r->buffer = static_cast<char*>(buffer);
    r->count = count;
    if (nobodyReadsInput())
        pullInput(Clock::now()); // what the kernel holds that nobody has taken yet
    m_reads.push_back(r);
    serviceReads(Clock::now());
    if (leftOver && !r->done) {
        m_readAwaitsLineCheck = m_readAwaitsLineCheck || r->transferred > 0;
        complete(*r, ERROR_SUCCESS);
        m_reads.pop_front();
    }
    if (!r->done)
        wake(); // the I/O thread takes up the new deadlines
    DWORD e = finish(lock, r, sync, done);
    return e;
}

DWORD SerialDriver::write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov,
                          std::shared_ptr<EventObject> ev, bool sync) {
    return whileUsable([&](auto& lock) -> DWORD {
        if (m_abortedByError)
            return ERROR_OPERATION_ABORTED;
        if (!buffer && count)
            return ERROR_INVALID_PARAMETER;
        if (done)
            *done = 0;
        auto r = newRequest(WriteKind, sync ? nullptr : ov, std::move(ev));
        r->count = count;
        r->data.assign(static_cast<const char*>(buffer), count);
        if (auto total = totalTimeout(m_timeouts.WriteTotalTimeoutMultiplier,
                                      m_timeouts.WriteTotalTimeoutConstant, count))
            r->totalDeadline = Clock::now() + *total;
        m_writes.push_back(r);
        if (count == 0 && m_writes.size() == 1) {
            complete(*r, ERROR_SUCCESS);
            m_writes.pop_back();
        } else {
            pumpOutput();
        }
        if (!r->done)
            wake(); // the I/O thread waits for room and watches the deadline
        return finish(lock, r, sync, done);
    });
}

DWORD SerialDriver::overlappedResult(OVERLAPPED* ov, DWORD* transferred, bool wait) {
    std::unique_lock lock(m_mutex);
    if (m_closed)
        return ERROR_INVALID_HANDLE;
    auto it = m_byOverlapped.find(ov);
    if (it == m_byOverlapped.end())
        return ERROR_INVALID_PARAMETER;
    RequestPtr r = it->second;
    if (!r->done && !wait)
        return ERROR_IO_INCOMPLETE;
    m_cv.wait(lock, [&] { return r->done; });
    if (transferred)
        *transferred = r->transferred;
    ov->Internal = r->error;
    ov->InternalHigh = r->transferred;
    return r->error;
}

DWORD SerialDriver::cancelIo() {
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return ERROR_INVALID_HANDLE;
    auto self = std::this_thread::get_id();
    auto cancelMine = [&](std::deque<RequestPtr>& q) {
        for (auto it = q.begin(); it != q.end();) {
            Request& r = **it;
            if (r.owner == self) {
                if (r.kind == WriteKind)
                    r.transferred = static_cast<DWORD>(r.offset);
                complete(r, ERROR_OPERATION_ABORTED);
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    };
    cancelMine(m_reads);
    cancelMine(m_writes); // a write half handed over ends with what was sent
    if (m_wait && m_wait->owner == self) {
        complete(*m_wait, ERROR_OPERATION_ABORTED);
        m_wait.reset();
    }
    ++m_flushGeneration;
    m_cv.notify_all();
    return ERROR_SUCCESS;
}

DWORD SerialDriver::purge(DWORD flags) {
    return whileUsable([&](auto&) -> DWORD {
        if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
            return ERROR_INVALID_PARAMETER;
        if (flags & PURGE_RXABORT)
            abortReads(ERROR_OPERATION_ABORTED);
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR))
            abortWrites(ERROR_OPERATION_ABORTED);
        if (flags & PURGE_RXCLEAR) {
            // Our queue and the kernel's, so that nothing received before the purge shows up.
            m_in.clear();
            m_transport->flushInput();
        }
        if (flags & PURGE_TXCLEAR)
            m_transport->flushOutput();
        wake();
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::clearError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard lock(m_mutex);
    // The queue status of bytes left from a device that went, and the line-error check of
    // the read that took the last of them (their reader asks for both).
    const bool leftOver = m_gone && !m_closed && (m_in.size() > 0 || m_readAwaitsLineCheck);
    if (DWORD e = closedOrGoneError(); e && !leftOver)
        return e;
    m_readAwaitsLineCheck = false;
    if (nobodyReadsInput())
        pullInput(Clock::now()); // count what the kernel holds that nobody has taken yet
    if (errors)
        *errors = m_errors;
    m_errors = 0;
    m_abortedByError = false;
    if (stat) {
        std::size_t out = m_aheadOfQueue.size();
        for (const auto& w : m_writes)
            out += w->data.size() - w->offset;
        out += m_transport->pendingOutput();
        stat->Flags = 0;
        stat->cbInQue = static_cast<DWORD>(m_in.size());
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    return ERROR_SUCCESS;
}

DWORD SerialDriver::escape(DWORD function) {
    return whileUsable([&](auto&) -> DWORD {
        bool ok = true;
        switch (function) {
        case SETXOFF:
            ok = m_transport->suspendOutput(true);
            break;
        case SETXON:
            ok = m_transport->suspendOutput(false);
            wake();
            break;
        case SETRTS:
            ok = m_transport->setRts(true);
            break;
        case CLRRTS:
            ok = m_transport->setRts(false);
            break;
        case SETDTR:
            ok = m_transport->setDtr(true);
            break;
        case CLRDTR:
            ok = m_transport->setDtr(false);
            break;
        case RESETDEV:
            break; // only printers reset
        case SETBREAK:
            ok = m_transport->setBreak(true);
            break;
        case CLRBREAK:
            ok = m_transport->setBreak(false);
            break;
        default:
            return ERROR_INVALID_PARAMETER;
        }
        return ok ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
    });
}

DWORD SerialDriver::modemStatus(DWORD& status) {
    return whileUsable([&](auto&) -> DWORD {
        status = m_transport->modemStatus();
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::transmitChar(char c) {
    return whileUsable([&](auto&) -> DWORD {
        m_aheadOfQueue.push_back(c);
        pumpOutput();
        if (!m_aheadOfQueue.empty())
            wake();
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::flush() {
    return whileUsable([&](auto& lock) -> DWORD {
        unsigned generation = m_flushGeneration;
        m_cv.wait(lock, [&] {
            return outputEmpty() || m_gone || m_closed || m_flushGeneration != generation;
        });
        if (m_closed)
            return ERROR_OPERATION_ABORTED;
        if (m_gone)
            return ERROR_ACCESS_DENIED;
        // A purge or cancel empties the queue too, but the output was not sent.
        return m_flushGeneration == generation ? ERROR_SUCCESS : ERROR_OPERATION_ABORTED;
    });
}

// ---- configuration ----

DWORD SerialDriver::getState(DCB& dcb) {
    return whileUsable([&](auto&) -> DWORD {
        dcb = m_dcb;
        dcb.DCBlength = sizeof(DCB);
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::setState(const DCB& dcb, int& err) {
    return whileUsable([&](auto&) -> DWORD {
        if (DWORD e = validateDcb(dcb, static_cast<DWORD>(m_in.capacity())))
            return e;
        DWORD dtr = dcb.Flags & DCB_fDtrControlMask;
        DWORD rts = dcb.Flags & DCB_fRtsControlMask;
        if ((dtr == DTR_CONTROL_HANDSHAKE || (dcb.Flags & DCB_fOutxDsrFlow)) &&
            !m_transport->canDtrDsrHandshake())
            return ERROR_INVALID_PARAMETER;
        if (rts == RTS_CONTROL_TOGGLE && !m_transport->canToggleRts())
            return ERROR_INVALID_PARAMETER;
        DCB readBack;
        if (DWORD e = m_transport->applyDcb(dcb, readBack, err))
            return e;
        bool ok = true;
        if (dtr != DTR_CONTROL_HANDSHAKE)
            ok = m_transport->setDtr(dtr == DTR_CONTROL_ENABLE) && ok;
        if (rts == RTS_CONTROL_DISABLE || rts == RTS_CONTROL_ENABLE)
            ok = m_transport->setRts(rts == RTS_CONTROL_ENABLE) && ok;
        m_dcb = readBack;
        m_dcb.DCBlength = sizeof(DCB);
        return ok ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
    });
}

DWORD SerialDriver::setupComm(DWORD inQueue, DWORD outQueue) {
    return whileUsable([&](auto&) -> DWORD {
        if (inQueue == 0 || outQueue == 0 || inQueue > kMaxQueue || outQueue > kMaxQueue)
            return ERROR_INVALID_PARAMETER;
        m_in.resize(inQueue);
        m_outQueueSize = outQueue;
        wake(); // there may be room to read again
        wakeWaiter();
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::getTimeouts(COMMTIMEOUTS& t) {
    return whileUsable([&](auto&) -> DWORD {
        t = m_timeouts;
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::setTimeouts(const COMMTIMEOUTS& t) {
    return whileUsable([&](auto&) -> DWORD {
        m_timeouts = t;
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::setMask(DWORD mask) {
    return whileUsable([&](auto&) -> DWORD {
        if (mask & ~EV_ALL)
            return ERROR_INVALID_PARAMETER;
        m_mask = mask;
        if (mask == 0 && m_waiter.parked())
            wakeWaiter(); // a wait would fail now: the parked thread goes on to find that out
        // Events already recorded for bits that stay wanted are still owed to the next wait: a
        // handler assigned while bytes wait must hear of them.
        m_history &= mask;
        if (m_wait) {
            *m_wait->eventMask = 0;
            complete(*m_wait, ERROR_SUCCESS);
            m_wait.reset();
        }
        return ERROR_SUCCESS;
    });
}

DWORD SerialDriver::getMask(DWORD& mask) {
    return whileUsable([&](auto&) -> DWORD {
        mask = m_mask;
        return ERROR_SUCCESS;
    });
}

} // namespace platform
