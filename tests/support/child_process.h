// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A child program for tests, started with posix_spawn and watched through descriptors: its
// error channel through a pipe, its end through a pidfd, both waited for with poll and a
// deadline.
//
// Why not QProcess: the child it starts shares the parent's memory until it execs, and what
// the child runs in that window changes the parent's per-thread ThreadSanitizer state, after
// which the sanitizer no longer sees the main thread's locks and reports false races in every
// later test of the program. posix_spawn runs nothing interposed in the child.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testsupport {

class ChildProcess {
public:
    // Starts `program` with `args`; its error channel is captured, its output goes to ours,
    // or into the file `outputFile` (created or emptied) when one is named.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& outputFile = {});
    // A child still running is killed and reaped: a failed test leaves nothing behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // Reads the error channel until `text` has appeared in it or the time is up.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout);
    // Reads the error channel until `done` holds for what it has said so far.
    bool waitForErrorWhere(const std::function<bool(const std::string&)>& done,
                           std::chrono::milliseconds timeout);
    // Waits for the child's end; then takes what is left on the error channel.
    bool waitForExit(std::chrono::milliseconds timeout);

    const std::string& errorOutput() const { return m_err; }
    bool exitedNormally() const { return m_exited; }
    int exitCode() const { return m_code; }

private:
    bool readSome(int timeoutMs);
    void reap();

    pid_t m_pid = -1;
    int m_errFd = -1;
    int m_pidFd = -1;
    bool m_reaped = false;
    bool m_exited = false;
    int m_code = -1;
    std::string m_err;
};

} // namespace testsupport
