// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's end of a simulated unit's pty, for tests: raw mode, reads with deadlines.
#include <chrono>
#include <string>
#include <string_view>

class LineClient {
public:
    explicit LineClient(const std::string& path); // fails the test (ADD_FAILURE) if it cannot open
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void send(std::string_view bytes);
    // Everything read until `end` has arrived (included) or the timeout ran out.
    std::string readUntil(char end, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything read until `count` bytes arrived, the line hung up or the timeout ran out.
    std::string readCount(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What is waiting now, without waiting.
    std::string readAvailable();
    // True once a read has seen the other end close (EIO or hang-up).
    bool hungUp() const { return m_hungUp; }
    // Waits up to the timeout for the hang-up.
    bool waitForHangUp(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    // One read after waiting up to `wait`; appends to out; false on timeout or hang-up.
    bool readSome(std::string& out, std::chrono::milliseconds wait);
    int m_fd = -1;
    bool m_hungUp = false;
};
