// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A "server" that takes the connection and never answers: a Unix socket named as
// PostgreSQL names its own in `folder` (".s.PGSQL.5432"), listening, never accepting. A
// client's connect succeeds and then waits for an answer that never comes.

#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

class SilentServer {
public:
    explicit SilentServer(const std::string& folder) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = folder + "/.s.PGSQL.5432";
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        m_ok = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               ::listen(m_fd, 8) == 0;
    }
    ~SilentServer() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    bool ok() const { return m_ok; }
    // Waits until a client is at the door.
    bool knocked(int ms) {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

} // namespace testsupport
