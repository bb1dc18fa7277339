// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& outputFile) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    if (!outputFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return;
    }
    m_pid = pid;
    m_errFd = fds[0];
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        reap();
    }
    if (m_errFd >= 0)
        ::close(m_errFd);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

// One wait for the error channel; false on time-out or when the channel has ended.
bool ChildProcess::readSome(int timeoutMs) {
    if (m_errFd < 0)
        return false;
    pollfd p{m_errFd, POLLIN, 0};
    int n = ::poll(&p, 1, timeoutMs);
    if (n <= 0)
        return false;
    char buf[4096];
    ssize_t got = ::read(m_errFd, buf, sizeof buf);
    if (got <= 0) {
        ::close(m_errFd);
        m_errFd = -1;
        return false;
    }
    m_err.append(buf, static_cast<std::size_t>(got));
    return true;
}

bool ChildProcess::waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForErrorWhere(
        [&](const std::string& said) { return said.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::waitForErrorWhere(const std::function<bool(const std::string&)>& done,
                                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(m_err)) {
        if (!readSome(remainingMs(deadline)))
            return done(m_err);
    }
    return true;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (m_pid <= 0)
        return false;
    if (!m_reaped) {
        if (m_pidFd >= 0) {
            pollfd p{m_pidFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
                return false;
        }
        reap();
    }
    // The child has ended: its error channel ends too once everything is read.
    while (readSome(0)) {
    }
    return true;
}

void ChildProcess::reap() {
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    m_reaped = true;
    m_exited = r == m_pid && WIFEXITED(status);
    m_code = m_exited ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
