// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fd_transport.h"

#include "platform/error_table.h"
#include "platform/termios_dcb.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

using namespace win;

std::unique_ptr<FdTransport> FdTransport::open(const std::string& path, DWORD& error, int& err) {
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err = errno;
        error = errorFromErrno(err);
        return nullptr;
    }
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        err = errno == EINVAL ? ENOTTY : errno;
        error = errorFromErrno(err);
        ::close(fd);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = (errno == EWOULDBLOCK) ? EBUSY : errno;
        error = errorFromErrno(err);
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL); // refused only by devices that cannot do it; the lock still holds
    makeRaw(t);
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        err = errno;
        error = errorFromErrno(err);
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<FdTransport> transport(new FdTransport(fd));
    struct stat st {};
    // Unix98 pty slaves have majors 136..143.
    transport->m_isPty = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
                         major(st.st_rdev) <= 143;
    int bits = 0;
    transport->m_hasModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) == 0) {
        transport->m_hasCounters = true;
        transport->m_counts = {ic.cts,     ic.dsr,    ic.rng, ic.dcd,        ic.frame,
                               ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    }
    error = ERROR_SUCCESS;
    err = 0;
    return transport;
}

FdTransport::FdTransport(int fd) : m_fd(fd) {}

FdTransport::~FdTransport() {
    close();
}

namespace {

constexpr int kWatchSignal = 0; // offset from SIGRTMIN

void ignoreSignal(int) {}

void installWatchSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = ignoreSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the blocked ioctl returns EINTR
        sigaction(SIGRTMIN + 4 + kWatchSignal, &sa, nullptr);
    });
}

} // namespace

void FdTransport::setWake(std::function<void()> wake) {
    bool start = false;
    {
        std::lock_guard lock(m_watchLock);
        m_wake = std::move(wake);
        start = m_wake && m_hasCounters && !m_watcher.joinable();
    }
    if (start)
        startModemWatch();
}

// The watcher thread: sleeps in the kernel until a modem line changes.
void FdTransport::startModemWatch() {
    installWatchSignal();
    m_watcher = std::thread([this] {
        for (;;) {
            {
                std::lock_guard lock(m_watchLock);
                if (m_watchStop)
                    break;
            }
            int r = ::ioctl(m_fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
            if (r != 0 && errno != EINTR)
                break; // not supported, or hung up: nothing more to watch
            std::lock_guard lock(m_watchLock);
            if (m_watchStop)
                break;
            if (r == 0 && m_wake)
                m_wake();
        }
        std::lock_guard lock(m_watchLock);
        m_watchDone = true;
        m_watchCv.notify_all();
    });
}

void FdTransport::stopModemWatch() {
    if (!m_watcher.joinable())
        return;
    std::unique_lock lock(m_watchLock);
    m_watchStop = true;
    m_wake = nullptr;
    // The signal may land just before the thread enters the ioctl; repeat until it ends.
    while (!m_watchDone) {
        pthread_kill(m_watcher.native_handle(), SIGRTMIN + 4 + kWatchSignal);
        m_watchCv.wait_for(lock, std::chrono::milliseconds(20));
    }
    lock.unlock();
    m_watcher.join();
}

void FdTransport::close() {
    stopModemWatch();
    if (m_fd < 0)
        return;
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

namespace {

bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF || err == EPIPE;
}

} // namespace

SerialTransport::Io FdTransport::read(char* buf, std::size_t size, std::size_t& got, int& err) {
    for (;;) {
        ssize_t n = ::read(m_fd, buf, size);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Ok;
        }
        if (n == 0) // no data (VMIN = VTIME = 0); a hang-up shows as POLLHUP
            return Io::WouldBlock;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return Io::WouldBlock;
        err = errno;
        return deviceGone(err) ? Io::Gone : Io::WouldBlock;
    }
}

SerialTransport::Io FdTransport::write(const char* buf, std::size_t size, std::size_t& put,
                                       int& err) {
    for (;;) {
        ssize_t n = ::write(m_fd, buf, size);
        if (n >= 0) {
            put = static_cast<std::size_t>(n);
            m_outputMayBePending = m_outputMayBePending || n > 0;
            return n > 0 ? Io::Ok : Io::WouldBlock;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return Io::WouldBlock;
        err = errno;
        return Io::Gone;
    }
}

DWORD FdTransport::readDcb(DCB& dcb, int& err) {
    termios2 t{};
    if (::ioctl(m_fd, TCGETS2, &t) != 0) {
        err = errno;
        return deviceGone(err) ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    }
    termiosToDcb(t, dcb);
    return ERROR_SUCCESS;
}

DWORD FdTransport::applyDcb(const DCB& dcb, DCB& readBack, int& err) {
    termios2 old{};
    if (::ioctl(m_fd, TCGETS2, &old) != 0) {
        err = errno;
        return deviceGone(err) ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    }
    termios2 t = old;
    makeRaw(t);
    dcbToTermios(dcb, t);
    if (::ioctl(m_fd, TCSETS2, &t) != 0) {
        err = errno;
        ::ioctl(m_fd, TCSETS2, &old);
        return deviceGone(err) ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
    }
    termios2 back{};
    if (::ioctl(m_fd, TCGETS2, &back) != 0) {
        err = errno;
        return deviceGone(err) ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    }
    readBack = dcb;
    termiosToDcb(back, readBack);
    if (m_isPty) {
        // A pty carries bytes, not bits: the kernel forces CS8 without parity, and no
        // framing can be wrong on it. Report the framing asked for.
        readBack.ByteSize = dcb.ByteSize;
        readBack.Parity = dcb.Parity;
        readBack.StopBits = dcb.StopBits;
        readBack.Flags = (readBack.Flags & ~DCB_fParity) | (dcb.Flags & DCB_fParity);
    }
    if (!dcbLineSettingsMatch(dcb, readBack)) {
        // The driver rounded the rate or refused the framing: keep what was in force.
        ::ioctl(m_fd, TCSETS2, &old);
        err = 0;
        return ERROR_INVALID_PARAMETER;
    }
    serial_rs485 rs{};
    if (::ioctl(m_fd, TIOCGRS485, &rs) == 0) {
        // RTS toggling is the RS-485 mode of the driver: on exactly when asked for.
        bool toggle = (dcb.Flags & DCB_fRtsControlMask) == RTS_CONTROL_TOGGLE;
        if (toggle != bool(rs.flags & SER_RS485_ENABLED)) {
            rs.flags = toggle ? (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) : 0;
            ::ioctl(m_fd, TIOCSRS485, &rs);
        }
    }
    return ERROR_SUCCESS;
}

DWORD FdTransport::modemStatus() {
    if (!m_hasModemLines)
        return 0;
    int bits = 0;
    if (::ioctl(m_fd, TIOCMGET, &bits) != 0)
        return 0;
    DWORD s = 0;
    if (bits & TIOCM_CTS)
        s |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        s |= MS_DSR_ON;
    if (bits & TIOCM_RI)
        s |= MS_RING_ON;
    if (bits & TIOCM_CD)
        s |= MS_RLSD_ON;
    return s;
}

bool FdTransport::setModemBit(int bit, bool on) {
    if (!m_hasModemLines)
        return true; // a pty: there is no line to drive, which is not a failure
    return ::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

bool FdTransport::setDtr(bool on) {
    return setModemBit(TIOCM_DTR, on);
}
bool FdTransport::setRts(bool on) {
    return setModemBit(TIOCM_RTS, on);
}

bool FdTransport::setBreak(bool on) {
    if (::ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL; // the device has no break
}

bool FdTransport::suspendOutput(bool suspend) {
    return ::ioctl(m_fd, TCXONC, suspend ? TCOOFF : TCOON) == 0;
}

bool FdTransport::canToggleRts() const {
    serial_rs485 rs{};
    return ::ioctl(m_fd, TIOCGRS485, &rs) == 0;
}

void FdTransport::flushInput() {
    ::ioctl(m_fd, TCFLSH, TCIFLUSH);
}
void FdTransport::flushOutput() {
    ::ioctl(m_fd, TCFLSH, TCOFLUSH);
}

std::size_t FdTransport::pendingOutput() {
    if (!m_outputMayBePending)
        return 0;
    int n = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &n) != 0 || n < 0)
        return 0;
    m_outputMayBePending = n > 0;
    return static_cast<std::size_t>(n);
}

void FdTransport::takeLineEvents(DWORD& events, DWORD& errors) {
    events = 0;
    errors = 0;
    if (!m_hasCounters)
        return;
    serial_icounter_struct ic{};
    if (::ioctl(m_fd, TIOCGICOUNT, &ic) != 0)
        return;
    Counters now{ic.cts,     ic.dsr,    ic.rng, ic.dcd,        ic.frame,
                 ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    if (now.cts != m_counts.cts)
        events |= EV_CTS;
    if (now.dsr != m_counts.dsr)
        events |= EV_DSR;
    if (now.dcd != m_counts.dcd)
        events |= EV_RLSD;
    if (now.rng != m_counts.rng)
        events |= EV_RING;
    if (now.brk != m_counts.brk) {
        events |= EV_BREAK;
        errors |= CE_BREAK;
    }
    if (now.frame != m_counts.frame)
        errors |= CE_FRAME;
    if (now.parity != m_counts.parity)
        errors |= CE_RXPARITY;
    if (now.overrun != m_counts.overrun || now.bufOverrun != m_counts.bufOverrun)
        errors |= CE_OVERRUN;
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN))
        events |= EV_ERR;
    m_counts = now;
}

} // namespace platform
