#pragma once
// One open serial device: the transport, an input queue filled by an I/O thread, an output
// queue it empties, and the pending overlapped requests (reads, writes, one event wait)
// that it completes. Every public call runs on a caller thread under one lock; the I/O
// thread sleeps in poll on the descriptor and an eventfd and wakes only for readiness, a
// deadline or a caller's change, so an idle or vanished device costs no CPU.
//
// A thread that waits for the completion event of a pending event wait waits inside the
// driver (waitHere) and reads the descriptor itself: an arrival then wakes that thread
// alone instead of the I/O thread and then it. Meanwhile the I/O thread leaves input to
// that waiter, and takes it up again when no waiter has come back for a second (a handler
// that takes long), or at once while a read is pending.
//
// Return values: ERROR_SUCCESS when the call completed, ERROR_IO_PENDING when an
// overlapped request was queued, otherwise the failure's win error code.

#include "platform/arrival_pacer.h"
#include "platform/event_object.h"
#include "platform/serial_transport.h"
#include "platform/win_comm.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class SerialDriver : public win::EventSource, public std::enable_shared_from_this<SerialDriver> {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char* kIoThreadName = "serial-io";

    explicit SerialDriver(std::unique_ptr<SerialTransport> transport);
    ~SerialDriver();
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

    bool waitHere(win::EventObject& event, Clock::time_point deadline, bool infinite) override;
    void wakeWaiter() override;

    // Parks the calling thread, reading the device as waitHere does, until an event wait
    // started now would complete at once (events recorded, no mask), the device goes or
    // closes, or unpark() is called. So a thread that hands an event over and then waits for
    // the next one sleeps once between two arrivals instead of twice. While the line streams,
    // it first lets arrivals gather for a few milliseconds, so that one hand-over carries
    // several. Returns false at once when it cannot park: no descriptor, an event wait
    // pending, or another thread inside.
    bool park();
    void unpark();

    // Reads the device's settings and starts the I/O thread; from here on no received byte
    // is dropped.
    win::DWORD start(int& err);
    // Aborts every pending request (995), stops the I/O thread and releases the device.
    // Later calls fail with ERROR_INVALID_HANDLE.
    void close();

    win::DWORD getState(win::DCB& dcb);
    win::DWORD setState(const win::DCB& dcb, int& err);
    win::DWORD setupComm(win::DWORD inQueue, win::DWORD outQueue);
    win::DWORD getTimeouts(win::COMMTIMEOUTS& t);
    win::DWORD setTimeouts(const win::COMMTIMEOUTS& t);
    win::DWORD setMask(win::DWORD mask);
    win::DWORD getMask(win::DWORD& mask);

    // `sync` waits for completion (a handle opened without FILE_FLAG_OVERLAPPED, or no
    // OVERLAPPED record); otherwise the request is keyed by `ov` for overlappedResult.
    win::DWORD waitEvent(win::DWORD* eventMask, win::OVERLAPPED* ov,
                         std::shared_ptr<win::EventObject> event, bool sync);
    win::DWORD read(void* buffer, win::DWORD count, win::DWORD* done, win::OVERLAPPED* ov,
                    std::shared_ptr<win::EventObject> event, bool sync);
    win::DWORD write(const void* buffer, win::DWORD count, win::DWORD* done, win::OVERLAPPED* ov,
                     std::shared_ptr<win::EventObject> event, bool sync);
    win::DWORD overlappedResult(win::OVERLAPPED* ov, win::DWORD* transferred, bool wait);
    // Cancels the calling thread's pending requests.
    win::DWORD cancelIo();
    win::DWORD purge(win::DWORD flags);
    win::DWORD clearError(win::DWORD* errors, win::COMSTAT* stat);
    win::DWORD escape(win::DWORD function);
    win::DWORD modemStatus(win::DWORD& status);
    win::DWORD transmitChar(char c);
    // Waits until the output queue is handed to the device; ends early (995) on purge,
    // cancel or close, and with 5 when the device goes.
    win::DWORD flush();
    // The errno that told of the device's going (EIO for a hang-up, ...), or 0.
    int goneErrno() const;

private:
    struct Request;
    using RequestPtr = std::shared_ptr<Request>;

    // Input queue: a ring so that arrivals and reads are at most two block copies.
    class Ring {
    public:
        void resize(std::size_t capacity);
        std::size_t capacity() const { return m_buf.size(); }
        std::size_t size() const { return m_size; }
        std::size_t free() const { return m_buf.size() - m_size; }
        // The contiguous free space at the tail.
        std::pair<char*, std::size_t> tail();
        void commit(std::size_t n) { m_size += n; }
        void pop(char* out, std::size_t n);
        void clear() { m_head = m_size = 0; }

    private:
        std::vector<char> m_buf;
        std::size_t m_head = 0;
        std::size_t m_size = 0;
    };

    void run();
    void wake();
    win::DWORD usable() const;
    void pumpInput(Clock::time_point now);
    void pullInput(Clock::time_point now);
    void hungUp(short revents);
    bool waiterTakesInput(Clock::time_point now) const;
    bool nobodyReadsInput() const;
    // Waits on the waiter's eventfd and the descriptor (with the lock let go), or on the
    // eventfd alone for a hold, then reads what came; false when the driver closed meanwhile.
    bool waiterPoll(std::unique_lock<std::mutex>& lock, const timespec* timeout, bool hold = false);
    void leaveWaiter();
    void pumpOutput();
    void serviceReads(Clock::time_point now);
    void serviceWrites(Clock::time_point now);
    void raise(win::DWORD events);
    void lineEvents(win::DWORD events, win::DWORD errors);
    void complete(Request& r, win::DWORD error);
    void markGone(int err);
    void abortReads(win::DWORD error);
    void abortWrites(win::DWORD error);
    bool outputEmpty() const;
    RequestPtr newRequest(int kind, win::OVERLAPPED* ov, std::shared_ptr<win::EventObject> ev);
    win::DWORD finish(std::unique_lock<std::mutex>& lock, const RequestPtr& r, bool sync,
                      win::DWORD* count);
    std::optional<Clock::time_point> nextDeadline() const;

    std::unique_ptr<SerialTransport> m_transport;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv; // a request completed, output drained, flush cancelled
    std::thread m_thread;
    int m_eventFd = -1;
    int m_waiterFd = -1;         // wakes the thread inside waitHere or park
    int m_waiterPollFd = -1;     // epoll set that thread sleeps on
    bool m_inputBacklog = false; // the waiter stopped reading with the queue full
    bool m_inlineWaiter = false;
    std::atomic<bool> m_waiterSleeping{false};
    std::optional<Clock::time_point> m_inlineLeft; // when the last waiter left waitHere
    ArrivalPacer m_pacer;                          // when a parked waiter reads next
    bool m_ioSleepsForever = false;
    bool m_parked = false;
    bool m_unpark = false; // kept until the next park() ends, so an early unpark is not lost
    bool m_stop = false;
    bool m_closed = false;
    bool m_gone = false;
    int m_goneErrno = 0;
    bool m_pollFdDone = false;     // hang-up seen on the descriptor: stop polling it
    bool m_abortedByError = false; // fAbortOnError tripped until ClearCommError
    bool m_outBlocked = false;

    win::DCB m_dcb;
    win::COMMTIMEOUTS m_timeouts;
    win::DWORD m_mask = 0;
    win::DWORD m_history = 0;
    win::DWORD m_errors = 0;
    win::DWORD m_outQueueSize = 2048;
    Ring m_in;
    std::string m_priority; // TransmitCommChar bytes, sent ahead of the queue
    std::deque<RequestPtr> m_reads;
    std::deque<RequestPtr> m_writes;
    RequestPtr m_wait;
    std::map<win::OVERLAPPED*, RequestPtr> m_byOverlapped;
    unsigned m_flushGeneration = 0;
};

} // namespace platform
