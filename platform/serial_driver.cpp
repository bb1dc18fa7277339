#include "platform/serial_driver.h"

#include "platform/termios_dcb.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

using namespace win;

namespace {

constexpr DWORD kMaxQueue = 64u << 20;
constexpr DWORD kDefaultInQueue = 4096;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr std::size_t kKeptResults = 64;
// How long input is left to a waiter that has left waitHere before the I/O thread reads it.
constexpr auto kHandBack = std::chrono::seconds(1);

timespec* timeoutUntil(std::chrono::steady_clock::time_point deadline,
                       std::chrono::steady_clock::time_point now, timespec& ts) {
    auto left = std::max(deadline - now, std::chrono::steady_clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return &ts;
}

void signalFd(int fd) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

// What a waiter sleeps on: its eventfd, level-triggered, and the device, edge-triggered. An
// empty tty polled for input first waits for the kernel's pending input work, and right
// after an arrival (when the waiter goes back to sleep) that work is often still running: a
// second sleep per arrival. An edge-triggered watch is not polled again until the device
// wakes it with new input.
int makeWaiterPoll(int wakeFd, int deviceFd) {
    if (wakeFd < 0 || deviceFd < 0)
        return -1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        return -1;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u32 = 0;
    epoll_event device{};
    device.events = EPOLLIN | EPOLLET;
    device.data.u32 = 1;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, wakeFd, &wake) != 0 ||
        ::epoll_ctl(ep, EPOLL_CTL_ADD, deviceFd, &device) != 0) {
        ::close(ep);
        return -1;
    }
    return ep;
}

void drainFd(int fd) {
    std::uint64_t v;
    [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

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
    bool immediate = false;   // interval MAXDWORD with zero totals: take what is there
    bool returnOnAny = false; // interval and multiplier MAXDWORD: the first byte ends it
    DWORD interval = 0;
    std::optional<Clock::time_point> totalDeadline;
    std::optional<Clock::time_point> intervalDeadline;
    // write: the bytes are copied at the start, so the caller may reuse its buffer
    std::string data;
    std::size_t offset = 0;
    // wait: where the event word goes
    DWORD* eventMask = nullptr;
};

// ---- ring ----

void SerialDriver::Ring::resize(std::size_t capacity) {
    capacity = std::max(capacity, m_size);
    std::vector<char> next(capacity);
    pop(next.data(), m_size);
    std::size_t kept = m_size;
    m_buf.swap(next);
    m_head = 0;
    m_size = kept;
}

std::pair<char*, std::size_t> SerialDriver::Ring::tail() {
    if (m_buf.empty() || m_size == m_buf.size())
        return {nullptr, 0};
    std::size_t t = (m_head + m_size) % m_buf.size();
    std::size_t len = t >= m_head ? m_buf.size() - t : m_head - t;
    return {m_buf.data() + t, len};
}

void SerialDriver::Ring::pop(char* out, std::size_t n) {
    n = std::min(n, m_size);
    if (n == 0)
        return;
    std::size_t first = std::min(n, m_buf.size() - m_head);
    std::memcpy(out, m_buf.data() + m_head, first);
    if (n > first)
        std::memcpy(out + first, m_buf.data(), n - first);
    m_head = m_buf.empty() ? 0 : (m_head + n) % m_buf.size();
    m_size -= n;
    if (m_size == 0)
        m_head = 0;
}

// ---- life ----

SerialDriver::SerialDriver(std::unique_ptr<SerialTransport> transport)
    : m_transport(std::move(transport)) {
    m_in.resize(kDefaultInQueue);
}

SerialDriver::~SerialDriver() {
    close();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
    if (m_waiterFd >= 0)
        ::close(m_waiterFd);
    if (m_waiterPollFd >= 0)
        ::close(m_waiterPollFd);
}

DWORD SerialDriver::start(int& err) {
    m_eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0) {
        err = errno;
        return ERROR_GEN_FAILURE;
    }
    // Without it waiters simply wait on the event.
    m_waiterFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_waiterPollFd = makeWaiterPoll(m_waiterFd, m_transport->pollFd());
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
        if (m_waiterFd >= 0)
            signalFd(m_waiterFd);
        m_cv.wait(lock, [&] { return !m_inlineWaiter; });
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
    if (m_waiterSleeping.load() && m_waiterFd >= 0)
        signalFd(m_waiterFd);
}

int SerialDriver::goneErrno() const {
    std::lock_guard lock(m_mutex);
    return m_gone ? m_goneErrno : 0;
}

DWORD SerialDriver::usable() const {
    if (m_closed)
        return ERROR_INVALID_HANDLE;
    if (m_gone)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
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

        const bool leaveInput = waiterTakesInput(now);
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
        if (leaveInput && m_inlineLeft && now < *m_inlineLeft + kHandBack &&
            (!deadline || *m_inlineLeft + kHandBack < *deadline))
            deadline = *m_inlineLeft + kHandBack;
        timespec ts{};
        timespec* timeout = deadline ? timeoutUntil(*deadline, now, ts) : nullptr;
        m_ioSleepsForever = timeout == nullptr && leaveInput;
        lock.unlock();
        int n = ::ppoll(fds, fds[1].fd >= 0 ? 2 : 1, timeout, nullptr);
        if (n > 0 && (fds[0].revents & POLLIN))
            drainFd(m_eventFd);
        lock.lock();
        m_ioSleepsForever = false;
        if (n > 0 && fds[1].fd >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)))
            hungUp(fds[1].revents);
        if (m_pollFdDone && m_in.free() > 0)
            m_pollFdDone = false;
    }
}

// Whether the descriptor's input is left to a thread in waitHere: one is there, or one
// left less than kHandBack ago and will likely be back. A pending read always has the I/O
// thread read, for its deadlines.
bool SerialDriver::waiterTakesInput(Clock::time_point now) const {
    if (!m_reads.empty())
        return false;
    return m_inlineWaiter || (m_inlineLeft && now < *m_inlineLeft + kHandBack);
}

// A waiter left and is not back, and the I/O thread has not taken input up again yet: bytes
// may wait in the kernel, which a caller's read or queue status should include.
bool SerialDriver::nobodyReadsInput() const {
    return !m_gone && !m_inlineWaiter && waiterTakesInput(Clock::now());
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

// Runs in the thread that waits for `event`, while it is the completion event of the
// pending event wait: that thread polls the descriptor and completes the wait itself.
bool SerialDriver::waitHere(EventObject& event, Clock::time_point deadline, bool infinite) {
    std::unique_lock lock(m_mutex);
    auto pending = [&] { return m_wait && m_wait->event.get() == &event && !m_wait->done; };
    if (m_waiterPollFd < 0 || m_inlineWaiter || m_closed)
        return false;
    if (!pending()) {
        // The I/O thread read first and completed the wait before this thread came for it;
        // from its next look on it leaves input to this thread, as after any wait here.
        m_inlineLeft = Clock::now();
        return false;
    }
    m_inlineWaiter = true;
    while (!m_closed && pending()) {
        auto now = Clock::now();
        if (!infinite && now >= deadline)
            break;
        timespec ts{};
        // Sleeping is announced before the event is looked at: a set after the look then
        // finds the announcement and wakes the poll (the event has a lock of its own).
        m_waiterSleeping.store(true);
        if (event.signalled()) {
            m_waiterSleeping.store(false);
            break;
        }
        if (!waiterPoll(lock, infinite ? nullptr : timeoutUntil(deadline, now, ts)))
            break;
    }
    leaveWaiter();
    return true;
}

bool SerialDriver::park() {
    std::unique_lock lock(m_mutex);
    if (m_waiterPollFd < 0 || m_inlineWaiter || m_wait) {
        m_unpark = false;
        return false;
    }
    m_inlineWaiter = true;
    m_parked = true;
    std::optional<Clock::time_point> holdUntil = m_pacer.holdUntil();
    while (!m_history && m_mask && !m_gone && !m_closed && !m_unpark) {
        m_waiterSleeping.store(true); // under the lock: raise() and unpark() see it
        timespec ts{};
        const timespec* timeout = holdUntil ? timeoutUntil(*holdUntil, Clock::now(), ts) : nullptr;
        if (!waiterPoll(lock, timeout, holdUntil.has_value()))
            break;
        holdUntil.reset();
    }
    m_parked = false;
    m_unpark = false;
    leaveWaiter();
    return true;
}

void SerialDriver::unpark() {
    std::lock_guard lock(m_mutex);
    m_unpark = true;
    wakeWaiter();
}

// Called with the lock held and m_waiterSleeping set; sleeps without it. A hold sleeps on the
// waiter's eventfd alone (a close, an unpark or a cleared mask ends it early) and then reads
// what gathered on the device meanwhile.
bool SerialDriver::waiterPoll(std::unique_lock<std::mutex>& lock, const timespec* timeout,
                              bool hold) {
    lock.unlock();
    bool woken = false;
    std::uint32_t device = 0;
    if (hold) {
        pollfd fd{m_waiterFd, POLLIN, 0};
        woken = ::ppoll(&fd, 1, timeout, nullptr) > 0;
        device = EPOLLIN;
    } else {
        epoll_event events[2];
        const int n = ::epoll_pwait2(m_waiterPollFd, events, 2, timeout, nullptr);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u32 == 0)
                woken = true;
            else
                device = events[i].events;
        }
    }
    m_waiterSleeping.store(false);
    if (woken)
        drainFd(m_waiterFd);
    lock.lock();
    if (m_closed)
        return false;
    // An edge that came while the queue was full was not read: the reader that made room
    // woke this thread to read it now.
    if ((device & EPOLLIN) || (m_inputBacklog && m_in.free() > 0)) {
        pullInput(Clock::now());
        m_inputBacklog = m_in.free() == 0;
    }
    if (device & (EPOLLHUP | EPOLLERR))
        hungUp(POLLHUP);
    if (m_pollFdDone && m_in.free() > 0)
        m_pollFdDone = false;
    return true;
}

void SerialDriver::leaveWaiter() {
    m_inlineWaiter = false;
    m_inlineLeft = Clock::now();
    if (m_ioSleepsForever) {
        m_ioSleepsForever = false;
        wake(); // to look again in a second, in case this thread does not come back
    }
    m_cv.notify_all(); // close() waits for this thread to leave the descriptor
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
    while (!m_gone) {
        auto [ptr, len] = m_in.tail();
        if (len == 0)
            break;
        std::size_t got = 0;
        int err = 0;
        auto io = m_transport->read(ptr, len, got, err);
        if (io == SerialTransport::Io::Gone) {
            markGone(err);
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
    if (arrived == 0)
        return;
    m_pacer.arrived(now, arrived);
    DWORD events = EV_RXCHAR;
    if (flag)
        events |= EV_RXFLAG;
    std::size_t mark = m_in.capacity() * 8 / 10;
    if (before < mark && m_in.size() >= mark)
        events |= EV_RX80FULL;
    raise(events);
    serviceReads(now);
}

void SerialDriver::pumpOutput() {
    m_outBlocked = false;
    bool wrote = false;
    while (!m_gone) {
        const char* p;
        std::size_t n;
        Request* front = nullptr;
        if (!m_priority.empty()) {
            p = m_priority.data();
            n = m_priority.size();
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
            m_priority.erase(0, put);
        }
    }
    if (wrote && outputEmpty()) {
        raise(EV_TXEMPTY);
        m_cv.notify_all(); // flush waiters
    }
}

bool SerialDriver::outputEmpty() const {
    return m_priority.empty() && m_writes.empty();
}

void SerialDriver::serviceReads(Clock::time_point now) {
    while (!m_reads.empty()) {
        Request& r = *m_reads.front();
        if (!r.started) {
            r.started = true;
            const auto& t = m_timeouts;
            if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                t.ReadTotalTimeoutConstant == 0) {
                r.immediate = true;
            } else if (t.ReadIntervalTimeout == MAXDWORD &&
                       t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
                       t.ReadTotalTimeoutConstant < MAXDWORD) {
                r.returnOnAny = true;
                r.totalDeadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
            } else {
                if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
                    r.interval = t.ReadIntervalTimeout;
                if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
                    std::uint64_t ms = std::uint64_t(t.ReadTotalTimeoutMultiplier) * r.count +
                                       t.ReadTotalTimeoutConstant;
                    ms = std::min<std::uint64_t>(ms, std::uint64_t(1) << 40);
                    r.totalDeadline = now + std::chrono::milliseconds(ms);
                }
            }
        }
        std::size_t n = std::min<std::size_t>(m_in.size(), r.count - r.transferred);
        if (n) {
            if (m_in.free() == 0) {
                wake(); // whoever reads the descriptor stopped while the queue was full
                wakeWaiter();
            }
            m_in.pop(r.buffer + r.transferred, n);
            r.transferred += static_cast<DWORD>(n);
            if (r.interval)
                r.intervalDeadline = now + std::chrono::milliseconds(r.interval);
        }
        bool finished = r.transferred == r.count || r.immediate ||
                        (r.returnOnAny && r.transferred > 0) ||
                        (r.totalDeadline && now >= *r.totalDeadline) ||
                        (r.intervalDeadline && r.transferred > 0 && now >= *r.intervalDeadline);
        if (!finished)
            return;
        // A time-out is a success with fewer bytes, as on Windows.
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
    } else if (m_history && m_parked) {
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
    m_priority.clear();
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
    if (m_parked)
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
    if (DWORD e = usable(); e && !lastEvents)
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
        if (r->event)
            r->event->setSource(weak_from_this());
    }
    return finish(lock, r, sync, nullptr);
}

DWORD SerialDriver::read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov,
                         std::shared_ptr<EventObject> ev, bool sync) {
    std::unique_lock lock(m_mutex);
    // What arrived before the device went can still be read; nothing more will come.
    const bool leftOver = m_gone && !m_closed && m_in.size() > 0 && m_reads.empty();
    if (DWORD e = usable(); e && !leftOver)
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
    std::unique_lock lock(m_mutex);
    if (DWORD e = usable())
        return e;
    if (m_abortedByError)
        return ERROR_OPERATION_ABORTED;
    if (!buffer && count)
        return ERROR_INVALID_PARAMETER;
    if (done)
        *done = 0;
    auto r = newRequest(WriteKind, sync ? nullptr : ov, std::move(ev));
    r->count = count;
    r->data.assign(static_cast<const char*>(buffer), count);
    const auto& t = m_timeouts;
    if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant) {
        std::uint64_t ms =
            std::uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
        ms = std::min<std::uint64_t>(ms, std::uint64_t(1) << 40);
        r->totalDeadline = Clock::now() + std::chrono::milliseconds(ms);
    }
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
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
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
}

DWORD SerialDriver::clearError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard lock(m_mutex);
    // The queue status of bytes left from a device that went (their reader asks for it).
    if (DWORD e = usable(); e && !(m_gone && !m_closed && m_in.size() > 0))
        return e;
    if (nobodyReadsInput())
        pullInput(Clock::now()); // count what the kernel holds that nobody has taken yet
    if (errors)
        *errors = m_errors;
    m_errors = 0;
    m_abortedByError = false;
    if (stat) {
        std::size_t out = m_priority.size();
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
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
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
}

DWORD SerialDriver::modemStatus(DWORD& status) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    status = m_transport->modemStatus();
    return ERROR_SUCCESS;
}

DWORD SerialDriver::transmitChar(char c) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    m_priority.push_back(c);
    pumpOutput();
    if (!m_priority.empty())
        wake();
    return ERROR_SUCCESS;
}

DWORD SerialDriver::flush() {
    std::unique_lock lock(m_mutex);
    if (DWORD e = usable())
        return e;
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
}

// ---- configuration ----

DWORD SerialDriver::getState(DCB& dcb) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    dcb = m_dcb;
    dcb.DCBlength = sizeof(DCB);
    return ERROR_SUCCESS;
}

DWORD SerialDriver::setState(const DCB& dcb, int& err) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
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
}

DWORD SerialDriver::setupComm(DWORD inQueue, DWORD outQueue) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    if (inQueue == 0 || outQueue == 0 || inQueue > kMaxQueue || outQueue > kMaxQueue)
        return ERROR_INVALID_PARAMETER;
    m_in.resize(inQueue);
    m_outQueueSize = outQueue;
    wake(); // there may be room to read again
    wakeWaiter();
    return ERROR_SUCCESS;
}

DWORD SerialDriver::getTimeouts(COMMTIMEOUTS& t) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    t = m_timeouts;
    return ERROR_SUCCESS;
}

DWORD SerialDriver::setTimeouts(const COMMTIMEOUTS& t) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    m_timeouts = t;
    return ERROR_SUCCESS;
}

DWORD SerialDriver::setMask(DWORD mask) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    if (mask & ~EV_ALL)
        return ERROR_INVALID_PARAMETER;
    m_mask = mask;
    if (mask == 0 && m_parked)
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
}

DWORD SerialDriver::getMask(DWORD& mask) {
    std::lock_guard lock(m_mutex);
    if (DWORD e = usable())
        return e;
    mask = m_mask;
    return ERROR_SUCCESS;
}

} // namespace platform
