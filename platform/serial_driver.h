// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One open serial device: the transport, an input queue filled by an I/O thread, an output
// queue it empties, and the pending overlapped requests (reads, writes, one event wait)
// that it completes. Every public call runs on a caller thread under one lock; the I/O
// thread sleeps in poll on the descriptor and an eventfd and wakes only for readiness, a
// deadline or a caller's change, so an idle or vanished device costs no CPU.
//
// With the receive tuning (serial_waiter.h), a thread that waits for the pending event
// wait's completion, or parks between two hand-overs, reads the descriptor itself, and the
// I/O thread leaves input to it meanwhile.
//
// Return values: ERROR_SUCCESS when the call completed, ERROR_IO_PENDING when an
// overlapped request was queued, otherwise the failure's win error code.

#include "platform/byte_ring.h"
#include "platform/event_object.h"
#include "platform/serial_transport.h"
#include "platform/serial_waiter.h"
#include "platform/win_comm.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class SerialDriver : public EventSource,
                     public std::enable_shared_from_this<SerialDriver>,
                     private SerialWaiter::Host {
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
    // several. Returns false at once when it cannot park: the tuning off, no descriptor, an
    // event wait pending, or another thread inside.
    bool park();
    void unpark();
    // Whether the device reports line errors at all (see SerialTransport::countsLineErrors).
    bool countsLineErrors() const;

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

    void run();
    void wake();
    // ERROR_INVALID_HANDLE once closed, ERROR_ACCESS_DENIED once the device went, else 0.
    win::DWORD closedOrGoneError() const;
    // Runs `call(lock)` under the lock unless the device is closed or gone (that error).
    template <class Call> win::DWORD whileUsable(Call&& call);
    void pumpInput(Clock::time_point now);
    void pullInput(Clock::time_point now);
    void hungUp(short revents);
    bool nobodyReadsInput() const;

    // SerialWaiter::Host
    bool closed() const override { return m_closed; }
    bool waitPendingOn(const win::EventObject& event) const override;
    bool mayPark() const override { return !m_wait; }
    bool parkEnds() const override;
    void waiterWoke(bool deviceInput, bool deviceHungUp) override;
    void waiterLeft(bool wakeIo) override;

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
    SerialWaiter m_waiter;
    bool m_inputBacklog = false; // the waiter stopped reading with the queue full
    bool m_stop = false;
    bool m_closed = false;
    bool m_gone = false;
    int m_goneErrno = 0;
    // A read delivered bytes and its reader has not yet asked for line errors: when the
    // device has gone meanwhile, that one check is still answered, so that the last bytes
    // count as read.
    bool m_readAwaitsLineCheck = false;
    bool m_pollFdDone = false;     // hang-up seen on the descriptor: stop polling it
    bool m_abortedByError = false; // fAbortOnError tripped until ClearCommError
    bool m_outBlocked = false;

    win::DCB m_dcb;
    win::COMMTIMEOUTS m_timeouts;
    win::DWORD m_mask = 0;
    win::DWORD m_history = 0;
    win::DWORD m_errors = 0;
    win::DWORD m_outQueueSize = 2048;
    ByteRing m_in;
    std::string m_aheadOfQueue; // TransmitCommChar bytes, sent before the queued writes
    std::deque<RequestPtr> m_reads;
    std::deque<RequestPtr> m_writes;
    RequestPtr m_wait;
    std::map<win::OVERLAPPED*, RequestPtr> m_byOverlapped;
    unsigned m_flushGeneration = 0;
};

} // namespace platform
