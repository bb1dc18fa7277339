// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

PtyPair::PtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
        closeMaster();
        return;
    }
    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        ADD_FAILURE() << "ptsname_r: " << strerror(errno);
        closeMaster();
        return;
    }
    m_slavePath = name;
    // Raw mode on the slave; the pty keeps its termios while the master stays open.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        ADD_FAILURE() << "open " << name << ": " << strerror(errno);
        closeMaster();
        return;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave, TCSANOW, &t);
    ::close(slave);
}

PtyPair::~PtyPair() {
    closeMaster();
    if (m_heldSlave >= 0)
        ::close(m_heldSlave);
}

void PtyPair::vanish() {
    if (m_heldSlave < 0 && !m_slavePath.empty())
        m_heldSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_heldSlave < 0)
        ADD_FAILURE() << "open " << m_slavePath << ": " << strerror(errno);
    closeMaster();
}

std::string PtyPair::linkAs(const std::string& folder, int n) const {
    std::string link = folder + "/COM" + std::to_string(n);
    ::unlink(link.c_str());
    if (::symlink(m_slavePath.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
    return link;
}

void PtyPair::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PtyPair::writeMaster(const std::string& bytes, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size() && m_master >= 0) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{m_master, POLLOUT, 0};
        int left = msLeft(deadline);
        if (left == 0 || ::poll(&p, 1, left) == 0)
            return false;
    }
    return done == bytes.size();
}

std::string PtyPair::readMaster(std::size_t count, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::string got;
    char buf[65536];
    while (got.size() < count && m_master >= 0) {
        std::size_t want = std::min(sizeof buf, count - got.size());
        ssize_t n = ::read(m_master, buf, want);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            break; // EIO: no slave open any more
        pollfd p{m_master, POLLIN, 0};
        int left = msLeft(deadline);
        if (left == 0 || ::poll(&p, 1, left) <= 0 || (p.revents & POLLIN) == 0)
            break;
    }
    return got;
}

std::string PtyPair::drainMaster(std::chrono::milliseconds quiet) {
    std::string got;
    for (;;) {
        std::string more = readMaster(65536, quiet);
        if (more.empty())
            return got;
        got += more;
    }
}

} // namespace testsupport
