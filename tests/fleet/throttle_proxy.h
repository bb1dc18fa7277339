// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A slow field link of the test's own, between a laptop and the server's Unix socket: it
// listens on a socket named as PostgreSQL names its own (`folder`/.s.PGSQL.<port>) and
// forwards each connection to the server's socket, the laptop's side at most
// `bytesPerSecond` (a token bucket refilled every few milliseconds), the server's answers as
// they come. It counts what it forwarded towards the server.
//
// Threads: one accepting, one per connection forwarding both ways; all wait in poll() on
// their sockets and the proxy's stop eventfd, and the destructor ends and joins them.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fleettest {

class ThrottleProxy {
public:
    ThrottleProxy(const std::string& folder, const std::string& serverSocketFolder, int port,
                  std::int64_t bytesPerSecond)
        : m_server(serverSocketFolder + "/.s.PGSQL." + std::to_string(port)),
          m_rate(bytesPerSecond) {
        m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un a = address(folder + "/.s.PGSQL." + std::to_string(port));
        m_ok = m_stop >= 0 && m_listen >= 0 &&
               ::bind(m_listen, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
               ::listen(m_listen, 16) == 0;
        if (m_ok)
            m_acceptor = std::thread([this] { accepting(); });
    }
    ~ThrottleProxy() {
        const std::uint64_t one = 1;
        if (m_stop >= 0) [[maybe_unused]]
            const auto n = ::write(m_stop, &one, sizeof one);
        if (m_acceptor.joinable())
            m_acceptor.join();
        for (std::thread& t : m_links)
            t.join();
        if (m_listen >= 0)
            ::close(m_listen);
        if (m_stop >= 0)
            ::close(m_stop);
    }
    ThrottleProxy(const ThrottleProxy&) = delete;
    ThrottleProxy& operator=(const ThrottleProxy&) = delete;

    bool ok() const { return m_ok; }
    void setRate(std::int64_t bytesPerSecond) { m_rate = bytesPerSecond; }
    // Bytes forwarded from laptops to the server so far.
    std::int64_t uploaded() const { return m_uploaded; }

private:
    static sockaddr_un address(const std::string& path) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        return a;
    }

    static bool writeAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= std::size_t(n);
        }
        return true;
    }

    void accepting() {
        for (;;) {
            pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            m_links.emplace_back([this, client] { forward(client); });
        }
    }

    void forward(int client) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un a = address(m_server);
        if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            ::close(client);
            if (server >= 0)
                ::close(server);
            return;
        }
        using Clock = std::chrono::steady_clock;
        constexpr auto kSlice = std::chrono::milliseconds(5);
        std::int64_t tokens = 0;
        auto refilled = Clock::now();
        char buffer[64 * 1024];
        for (;;) {
            const auto now = Clock::now();
            const std::int64_t rate = m_rate;
            tokens = std::min<std::int64_t>(
                rate / 20 + 1, // a burst of at most 50 ms
                tokens + rate *
                             std::chrono::duration_cast<std::chrono::microseconds>(now - refilled)
                                 .count() /
                             1000000);
            refilled = now;
            const bool mayUpload = tokens > 0;
            pollfd fds[3] = {{client, short(mayUpload ? POLLIN : 0), 0},
                             {server, POLLIN, 0},
                             {m_stop, POLLIN, 0}};
            if (::poll(fds, 3, mayUpload ? -1 : int(kSlice.count())) < 0 && errno != EINTR)
                break;
            if (fds[2].revents)
                break;
            if (fds[1].revents) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0 || !writeAll(client, buffer, std::size_t(n)))
                    break;
            }
            if (mayUpload && fds[0].revents) {
                const ssize_t n = ::recv(
                    client, buffer, std::size_t(std::min<std::int64_t>(sizeof buffer, tokens)), 0);
                if (n <= 0 || !writeAll(server, buffer, std::size_t(n)))
                    break;
                tokens -= n;
                m_uploaded += n;
            }
        }
        ::close(client);
        ::close(server);
    }

    std::string m_server;
    std::atomic<std::int64_t> m_rate;
    std::atomic<std::int64_t> m_uploaded{0};
    int m_stop = -1;
    int m_listen = -1;
    bool m_ok = false;
    std::thread m_acceptor;
    std::list<std::thread> m_links; // the acceptor's, joined after it
};

} // namespace fleettest
