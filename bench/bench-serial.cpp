// SPDX-License-Identifier: GPL-3.0-or-later
// Pushes data through a pty pair into the serial layer, the way the serial component reads
// (wait for received-char, ask the queue count, read it), and reports throughput, CPU time
// of the receiving side per MB, and the latency from a write at the far end to the
// received-char event, for 1 KB, 64 KB and 16 MB transfers. The 16 MB figures come last.
//
// Throughput and CPU come from a saturated transfer, where the writer runs as far ahead as
// the pty lets it. Latency comes from a second transfer of the same size with one 4 KB chunk
// in flight at a time: in the saturated run a chunk's time is mostly spent queued behind the
// earlier ones, which measures the queue, not how fast an arrival is announced.
#include "platform/win_comm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace win;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunk = 4096;

double cpuSeconds(clockid_t which) {
    timespec ts{};
    clock_gettime(which, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Result {
    double seconds = 0, cpu = 0;
    std::vector<double> latencyUs;
    bool ok = true;
};

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench-serial: %s: %s\n", what, SysErrorMessage(GetLastError()).c_str());
    std::exit(1);
}

// One transfer of `size` bytes, repeated `repeats` times on the same port. With `lockstep`
// the writer sends chunk k only once the reader has taken chunk k-1.
Result transfer(std::size_t size, int repeats, bool lockstep) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[128];
    if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, slave, sizeof slave))
        die("no pty");
    HANDLE h = CreateFileA(slave, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        die("open");
    DCB dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 4000000;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb) || !SetupComm(h, 1 << 20, 4096) || !SetCommMask(h, EV_RXCHAR))
        die("configure");
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &t);

    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = char((i * 131 + 7) & 0xFF);
    std::size_t chunks = (size + kChunk - 1) / kChunk;
    std::vector<std::atomic<std::int64_t>> writtenAt(chunks);

    Result res;
    std::string got(size, '\0');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED rov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    for (int rep = 0; rep < repeats; ++rep) {
        for (auto& w : writtenAt)
            w.store(0);
        std::atomic<std::size_t> takenChunks{0};
        std::atomic<double> writerCpu{0};
        double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        auto t0 = Clock::now();
        std::thread writer([&] {
            double c0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            std::size_t off = 0;
            while (off < size) {
                std::size_t end = std::min(size, (off / kChunk + 1) * kChunk);
                if (lockstep && off % kChunk == 0) {
                    for (std::size_t t = takenChunks.load(); t < off / kChunk;
                         t = takenChunks.load())
                        takenChunks.wait(t);
                }
                ssize_t n = ::write(master, data.data() + off, end - off);
                if (n > 0) {
                    // A chunk counts as written when the far end's write has taken its first
                    // byte, not when the writer started waiting for room in the pty.
                    if (off % kChunk == 0)
                        writtenAt[off / kChunk].store(nowNs());
                    off += std::size_t(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{master, POLLOUT, 0};
                    ::poll(&p, 1, 10000);
                } else if (n < 0 && errno != EINTR) {
                    break;
                }
            }
            writerCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
        });
        std::size_t received = 0;
        std::size_t nextChunk = 0;
        while (received < size) {
            DWORD ev = 0, n = 0;
            if (!WaitCommEvent(h, &ev, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING ||
                    WaitForSingleObject(ov.hEvent, 30000) != WAIT_OBJECT_0 ||
                    !GetOverlappedResult(h, &ov, &n, FALSE)) {
                    res.ok = false;
                    break;
                }
            }
            std::int64_t eventNs = nowNs();
            COMSTAT st{};
            ClearCommError(h, nullptr, &st);
            DWORD want = DWORD(std::min<std::size_t>(st.cbInQue, size - received));
            DWORD done = 0;
            if (want && !ReadFile(h, got.data() + received, want, &done, &rov) &&
                !GetOverlappedResult(h, &rov, &done, TRUE)) {
                res.ok = false;
                break;
            }
            received += done;
            // Chunks whose first byte came with this event.
            while (nextChunk < chunks && nextChunk * kChunk < received) {
                std::int64_t w = writtenAt[nextChunk].load();
                if (w && eventNs >= w)
                    res.latencyUs.push_back(double(eventNs - w) / 1000.0);
                ++nextChunk;
            }
            if (lockstep && nextChunk * kChunk <= received) {
                takenChunks.store(nextChunk);
                takenChunks.notify_one();
            }
        }
        res.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        writer.join();
        res.cpu += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - writerCpu.load();
        if (got != data)
            res.ok = false;
    }
    CloseHandle(ov.hEvent);
    CloseHandle(rov.hEvent);
    CloseHandle(h);
    ::close(master);
    return res;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

} // namespace

int main() {
    struct Size {
        std::size_t bytes;
        int repeats;
    } sizes[] = {{1024, 200}, {65536, 20}, {16u << 20, 1}};
    bool ok = true;
    for (const auto& s : sizes) {
        Result r = transfer(s.bytes, s.repeats, false);
        const Result paced = transfer(s.bytes, s.repeats, true);
        r.latencyUs = paced.latencyUs;
        r.ok = r.ok && paced.ok;
        double mb = double(s.bytes) * s.repeats / 1e6;
        std::printf("transfer_bytes %zu\n", s.bytes);
        std::printf("data_intact %s\n", r.ok ? "yes" : "no");
        std::printf("throughput_MBps %.1f\n", mb / r.seconds);
        std::printf("cpu_s_per_MB %.4f\n", r.cpu / mb);
        std::printf("event_latency_median_us %.0f\n", percentile(r.latencyUs, 0.5));
        std::printf("event_latency_p99_us %.0f\n", percentile(r.latencyUs, 0.99));
        ok = ok && r.ok;
    }
    return ok ? 0 : 1;
}
