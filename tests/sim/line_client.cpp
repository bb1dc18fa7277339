// SPDX-License-Identifier: GPL-3.0-or-later
#include "line_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using Steady = std::chrono::steady_clock;

LineClient::LineClient(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return;
    }
    termios tio{};
    ::tcgetattr(m_fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_fd, TCSANOW, &tio);
}

LineClient::~LineClient() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void LineClient::send(std::string_view bytes) {
    while (!bytes.empty() && m_fd >= 0) {
        ssize_t w = ::write(m_fd, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        ASSERT_GT(w, 0) << std::strerror(errno);
        bytes.remove_prefix(static_cast<std::size_t>(w));
    }
}

bool LineClient::readSome(std::string& out, std::chrono::milliseconds wait) {
    if (m_fd < 0 || m_hungUp)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, wait.count())));
    if (r <= 0)
        return false;
    char buf[4096];
    ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        m_hungUp = true;
        return false;
    }
    return true;
}

std::string LineClient::readUntil(char end, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = Steady::now() + timeout;
    while (out.find(end) == std::string::npos && !m_hungUp) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0 || (!readSome(out, left) && Steady::now() >= deadline))
            break;
    }
    return out;
}

std::string LineClient::readCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = Steady::now() + timeout;
    while (out.size() < count && !m_hungUp) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0)
            break;
        readSome(out, left);
    }
    return out;
}

std::string LineClient::readAvailable() {
    std::string out;
    while (readSome(out, std::chrono::milliseconds(0))) {
    }
    return out;
}

bool LineClient::waitForHangUp(std::chrono::milliseconds timeout) {
    std::string ignored;
    auto deadline = Steady::now() + timeout;
    while (!m_hungUp && Steady::now() < deadline)
        readSome(ignored,
                 std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()));
    return m_hungUp;
}
