// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A serial device reached through a file descriptor: a real port or a pty. Opened
// non-blocking and exclusive (flock plus TIOCEXCL), in raw mode; modem lines, line-error
// counters and RS-485 RTS toggling are used where the device has them.

#include "platform/serial_transport.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class FdTransport : public SerialTransport {
public:
    // Opens `path`. On failure returns null with a win error code in `error` (2 missing or
    // not a tty, 5 in use or not permitted, 31 otherwise) and the errno in `err`; nothing
    // stays open or locked.
    static std::unique_ptr<FdTransport> open(const std::string& path, win::DWORD& error, int& err);
    ~FdTransport() override;

    int pollFd() const override { return m_fd; }
    void setWake(std::function<void()> wake) override;
    Io read(char* buf, std::size_t size, std::size_t& got, int& err) override;
    Io write(const char* buf, std::size_t size, std::size_t& put, int& err) override;
    win::DWORD applyDcb(const win::DCB& dcb, win::DCB& readBack, int& err) override;
    win::DWORD readDcb(win::DCB& dcb, int& err) override;
    win::DWORD modemStatus() override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    bool setBreak(bool on) override;
    bool suspendOutput(bool suspend) override;
    bool canToggleRts() const override;
    bool countsLineErrors() const override { return m_hasCounters; }
    void flushInput() override;
    void flushOutput() override;
    std::size_t pendingOutput() override;
    void takeLineEvents(win::DWORD& events, win::DWORD& errors) override;
    void close() override;

private:
    explicit FdTransport(int fd);
    bool setModemBit(int bit, bool on);
    void startModemWatch();
    void stopModemWatch();

    // Written since the kernel's output queue was last seen empty: until then there is
    // nothing to ask it (the queue status is asked for with every received chunk).
    bool m_outputMayBePending = false;

    // Modem-line changes do not wake poll(); a watcher thread blocks in TIOCMIWAIT and wakes
    // the driver, which then reads the counters. A signal without SA_RESTART ends the wait.
    std::thread m_watcher;
    std::mutex m_watchLock;
    std::condition_variable m_watchCv;
    bool m_watchStop = false;
    bool m_watchDone = false;
    std::function<void()> m_wake; // guarded by m_watchLock

    int m_fd = -1;
    bool m_isPty = false;
    bool m_hasModemLines = false;
    bool m_hasCounters = false;
    struct Counters {
        int cts = 0, dsr = 0, rng = 0, dcd = 0, frame = 0, overrun = 0, parity = 0, brk = 0,
            bufOverrun = 0;
    } m_counts;
};

} // namespace platform
