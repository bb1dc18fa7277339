// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers shared by the serial layer's tests: overlapped requests with their own event,
// and the CPU time the process spends while a test waits.

#include "platform/win_comm.h"
#include "support/cpu_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

namespace serialtest {

using namespace win;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An OVERLAPPED record with a manual-reset event, as the serial component uses them.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    bool signalled(DWORD ms) { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
};

inline HANDLE openPort(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

using testsupport::processCpuSeconds;

inline double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Starts an overlapped read; returns true when it completed at once.
inline bool startRead(HANDLE h, char* buf, DWORD n, Overlapped& o, DWORD& done) {
    if (ReadFile(h, buf, n, &done, &o.ov))
        return true;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return false;
}

// Reads `n` bytes or what the time-outs allow; returns the bytes.
inline std::string readSome(HANDLE h, DWORD n, BOOL* ok = nullptr) {
    std::string buf(n, '\0');
    Overlapped o;
    DWORD done = 0;
    BOOL r = TRUE;
    if (!startRead(h, buf.data(), n, o, done))
        r = GetOverlappedResult(h, &o.ov, &done, TRUE);
    if (ok)
        *ok = r;
    buf.resize(done);
    return buf;
}

inline bool writeAll(HANDLE h, const std::string& bytes) {
    Overlapped o;
    DWORD done = 0;
    if (!WriteFile(h, bytes.data(), DWORD(bytes.size()), &done, &o.ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!GetOverlappedResult(h, &o.ov, &done, TRUE))
            return false;
    }
    return done == bytes.size();
}

} // namespace serialtest
