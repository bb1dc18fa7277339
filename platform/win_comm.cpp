// SPDX-License-Identifier: GPL-3.0-or-later
// The communications calls over SerialDriver, events over EventObject, the handle table,
// the thread-local last error and the process and thread priorities.
#include "platform/win_comm.h"

#include "platform/error_table.h"
#include "platform/event_object.h"
#include "platform/fd_transport.h"
#include "platform/named_ports.h"
#include "platform/port_table.h"
#include "platform/serial_driver.h"
#include "platform/win_object.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <unordered_map>

namespace win {

// ---- handles ----

namespace handles {

namespace {
std::mutex g_lock;
std::unordered_map<Object*, std::shared_ptr<Object>>& table() {
    static std::unordered_map<Object*, std::shared_ptr<Object>> t;
    return t;
}
} // namespace

HANDLE add(std::shared_ptr<Object> object) {
    std::lock_guard lock(g_lock);
    Object* key = object.get();
    table()[key] = std::move(object);
    return key;
}

std::shared_ptr<Object> find(HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE)
        return nullptr;
    std::lock_guard lock(g_lock);
    auto it = table().find(h);
    return it == table().end() ? nullptr : it->second;
}

std::shared_ptr<Object> remove(HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE)
        return nullptr;
    std::lock_guard lock(g_lock);
    auto it = table().find(h);
    if (it == table().end())
        return nullptr;
    auto object = std::move(it->second);
    table().erase(it);
    return object;
}

} // namespace handles

// ---- last error ----

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local int t_lastErrno = 0;
} // namespace

void setLastError(DWORD code, int errnoDetail) {
    t_lastError = code;
    t_lastErrno = errnoDetail;
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD code) {
    setLastError(code, 0);
}

std::string SysErrorMessage(DWORD code) {
    return platform::errorMessage(code, code == t_lastError ? t_lastErrno : 0);
}

namespace {

BOOL fail(DWORD code, int err = 0) {
    setLastError(code, err);
    return FALSE;
}

// Maps a driver result onto the BOOL convention: pending is a failure with 997.
BOOL result(DWORD code, int err = 0) {
    if (code == ERROR_SUCCESS)
        return TRUE;
    return fail(code, err);
}

struct Device : Object {
    std::shared_ptr<platform::SerialDriver> driver;
    bool overlapped = false;
    void close() override { driver->close(); }
};

// A driver result; a device that has gone fails every call with 5 and the errno that told
// of its going, so that each later message still says why.
BOOL result(const Device& d, DWORD code, int err = 0) {
    if (code == ERROR_ACCESS_DENIED && err == 0)
        err = d.driver->goneErrno();
    return result(code, err);
}

std::shared_ptr<Device> device(HANDLE h) {
    return handles::findAs<Device>(h);
}

// The event of an OVERLAPPED record: null when it names none; `bad` when it names an
// invalid handle.
std::shared_ptr<EventObject> eventOf(const OVERLAPPED* ov, bool& bad) {
    bad = false;
    if (!ov || !ov->hEvent)
        return nullptr;
    auto ev = handles::findAs<EventObject>(ov->hEvent);
    bad = !ev;
    return ev;
}

// The prologue of every device call: `call(device)` for an open device handle, else the
// failure with ERROR_INVALID_HANDLE; `argumentsValid` false (a pointer argument missing)
// fails with ERROR_INVALID_PARAMETER, after the handle is checked.
template <class Call> BOOL withDevice(HANDLE h, bool argumentsValid, Call&& call) {
    auto d = device(h);
    if (!d)
        return fail(ERROR_INVALID_HANDLE);
    if (!argumentsValid)
        return fail(ERROR_INVALID_PARAMETER);
    return call(*d);
}

template <class Call> BOOL withDevice(HANDLE h, Call&& call) {
    return withDevice(h, true, std::forward<Call>(call));
}

// The calls that take an OVERLAPPED record: `call(device, event, sync)` with the record's
// event (null when it names none) and whether the call waits for completion (a handle opened
// without FILE_FLAG_OVERLAPPED, or no record).
template <class Call> BOOL withRequest(HANDLE h, OVERLAPPED* ov, Call&& call) {
    return withDevice(h, [&](Device& d) {
        bool bad;
        auto ev = eventOf(ov, bad);
        if (bad)
            return fail(ERROR_INVALID_HANDLE);
        const bool sync = !d.overlapped || !ov;
        return result(d, call(d, std::move(ev), sync));
    });
}

} // namespace

// ---- devices ----

namespace {
std::atomic<platform::NamedPortOpener> g_namedPortOpener{nullptr};
} // namespace

HANDLE CreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD flags, HANDLE) {
    if (!name || !*name) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = name;
    std::unique_ptr<platform::SerialTransport> transport;
    DWORD error = ERROR_FILE_NOT_FOUND;
    int err = 0;
    if (path.front() == '/') {
        if (auto opener = g_namedPortOpener.load())
            transport = opener(path, error);
    } else if (auto n = platform::PortTable::portNumberFromName(path)) {
        path = platform::PortTable::current().devicePath(*n);
        // A port-folder link to a name only this process knows (a test's in-memory cable);
        // with no opener installed (the program) the link is a path like any other.
        if (auto opener = g_namedPortOpener.load(); opener && !path.empty()) {
            char target[4096];
            const ssize_t len = ::readlink(path.c_str(), target, sizeof target);
            if (len > 0 && len < static_cast<ssize_t>(sizeof target) && target[0] == '/')
                transport = opener(std::string(target, static_cast<std::size_t>(len)), error);
        }
    } else {
        path.clear();
    }
    if (!transport && error == ERROR_FILE_NOT_FOUND) {
        if (path.empty()) {
            fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        transport = platform::FdTransport::open(path, error, err);
    }
    if (!transport) {
        fail(error, err);
        return INVALID_HANDLE_VALUE;
    }
    auto driver = std::make_shared<platform::SerialDriver>(std::move(transport));
    if (DWORD e = driver->start(err)) {
        driver->close(); // releases the lock and the descriptor
        fail(e, err);
        return INVALID_HANDLE_VALUE;
    }
    auto dev = std::make_shared<Device>();
    dev->driver = std::move(driver);
    dev->overlapped = flags & FILE_FLAG_OVERLAPPED;
    return handles::add(std::move(dev));
}

BOOL CloseHandle(HANDLE h) {
    auto object = handles::remove(h);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    object->close();
    return TRUE;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    return withDevice(h, dcb, [&](Device& d) { return result(d, d.driver->getState(*dcb)); });
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    return withDevice(h, dcb, [&](Device& d) {
        int err = 0;
        DWORD e = d.driver->setState(*dcb, err);
        return result(d, e, err);
    });
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    return withDevice(h,
                      [&](Device& d) { return result(d, d.driver->setupComm(inQueue, outQueue)); });
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    return withDevice(h, t, [&](Device& d) { return result(d, d.driver->getTimeouts(*t)); });
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t) {
    return withDevice(h, t, [&](Device& d) { return result(d, d.driver->setTimeouts(*t)); });
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    return withDevice(h, [&](Device& d) { return result(d, d.driver->setMask(mask)); });
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
    return withDevice(h, mask, [&](Device& d) { return result(d, d.driver->getMask(*mask)); });
}

BOOL WaitCommEvent(HANDLE h, DWORD* eventMask, OVERLAPPED* ov) {
    return withRequest(h, ov, [&](Device& d, std::shared_ptr<EventObject> ev, bool sync) {
        return d.driver->waitEvent(eventMask, ov, std::move(ev), sync);
    });
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
    return withRequest(h, ov, [&](Device& d, std::shared_ptr<EventObject> ev, bool sync) {
        return d.driver->read(buffer, count, done, ov, std::move(ev), sync);
    });
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
    return withRequest(h, ov, [&](Device& d, std::shared_ptr<EventObject> ev, bool sync) {
        return d.driver->write(buffer, count, done, ov, std::move(ev), sync);
    });
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    return withDevice(h, ov, [&](Device& d) {
        return result(d, d.driver->overlappedResult(ov, transferred, wait != FALSE));
    });
}

BOOL CancelIo(HANDLE h) {
    return withDevice(h, [](Device& d) { return result(d, d.driver->cancelIo()); });
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    return withDevice(h, [&](Device& d) { return result(d, d.driver->purge(flags)); });
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    return withDevice(h, [&](Device& d) { return result(d, d.driver->clearError(errors, stat)); });
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    return withDevice(h, [&](Device& d) { return result(d, d.driver->escape(func)); });
}

BOOL SetCommBreak(HANDLE h) {
    return EscapeCommFunction(h, SETBREAK);
}
BOOL ClearCommBreak(HANDLE h) {
    return EscapeCommFunction(h, CLRBREAK);
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
    return withDevice(h, status,
                      [&](Device& d) { return result(d, d.driver->modemStatus(*status)); });
}

BOOL TransmitCommChar(HANDLE h, char c) {
    return withDevice(h, [&](Device& d) { return result(d, d.driver->transmitChar(c)); });
}

BOOL FlushFileBuffers(HANDLE h) {
    return withDevice(h, [](Device& d) { return result(d, d.driver->flush()); });
}

// ---- events ----

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
    return handles::add(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE h) {
    auto ev = handles::findAs<EventObject>(h);
    if (!ev)
        return fail(ERROR_INVALID_HANDLE);
    ev->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto ev = handles::findAs<EventObject>(h);
    if (!ev)
        return fail(ERROR_INVALID_HANDLE);
    ev->reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &h, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    constexpr DWORD kMaxWaitObjects = 64;
    if (count == 0 || count > kMaxWaitObjects || !handles) {
        setLastError(ERROR_INVALID_PARAMETER, 0);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<EventObject>> events;
    for (DWORD i = 0; i < count; ++i) {
        auto ev = handles::findAs<EventObject>(handles[i]);
        if (!ev) {
            setLastError(ERROR_INVALID_HANDLE, 0);
            return WAIT_FAILED;
        }
        for (const auto& seen : events)
            if (waitAll && seen == ev) { // the same object twice cannot be waited for all
                setLastError(ERROR_INVALID_PARAMETER, 0);
                return WAIT_FAILED;
            }
        events.push_back(std::move(ev));
    }
    bool infinite = milliseconds == INFINITE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    return waitAll ? EventObject::waitAll(events, deadline, infinite)
                   : EventObject::waitAny(events, deadline, infinite);
}

// ---- priorities ----

namespace {

int niceOfClass(DWORD priorityClass) {
    switch (priorityClass) {
    case IDLE_PRIORITY_CLASS:
        return 19;
    case NORMAL_PRIORITY_CLASS:
        return 0;
    case HIGH_PRIORITY_CLASS:
        return -10;
    case REALTIME_PRIORITY_CLASS:
        return -20;
    default:
        return 1000;
    }
}

} // namespace

DWORD GetPriorityClass() {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0)
        return NORMAL_PRIORITY_CLASS;
    if (nice >= 10)
        return IDLE_PRIORITY_CLASS;
    if (nice <= -15)
        return REALTIME_PRIORITY_CLASS;
    if (nice <= -5)
        return HIGH_PRIORITY_CLASS;
    return NORMAL_PRIORITY_CLASS;
}

namespace {

// Linux keeps a nice value per thread: a process-wide change goes to every thread.
BOOL setEveryThreadsNice(int nice) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return fail(ERROR_GEN_FAILURE, errno);
    int err = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        id_t tid = static_cast<id_t>(std::strtoul(e->d_name, nullptr, 10));
        if (setpriority(PRIO_PROCESS, tid, nice) != 0 && errno != ESRCH)
            err = errno;
    }
    closedir(dir);
    if (err)
        return fail(platform::errorFromErrno(err), err);
    return TRUE;
}

// Whether this process may lower its nice value to `nice` (raise its priority): the
// privilege, or a nice limit that reaches that far.
bool mayLowerNiceTo(int nice) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || rlim_t(20 - nice) <= limit.rlim_cur))
        return true;
    constexpr int kCapSysNice = 23;
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status)
        return false;
    char line[256];
    bool capable = false;
    while (std::fgets(line, sizeof line, status)) {
        unsigned long long caps = 0;
        if (std::sscanf(line, "CapEff: %llx", &caps) == 1) {
            capable = (caps >> kCapSysNice) & 1;
            break;
        }
    }
    std::fclose(status);
    return capable;
}

} // namespace

BOOL SetPriorityClass(DWORD priorityClass) {
    int nice = niceOfClass(priorityClass);
    if (nice == 1000)
        return fail(ERROR_INVALID_PARAMETER);
    return setEveryThreadsNice(nice);
}

} // namespace win

namespace platform {

int lastErrnoDetail() {
    return win::t_lastErrno;
}

PriorityState savePriority() {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0)
        return {};
    return {nice, true};
}

bool canUndoPriorityClass(win::DWORD priorityClass, const PriorityState& saved) {
    const int nice = win::niceOfClass(priorityClass);
    if (nice == 1000 || !saved.valid)
        return false;
    return nice <= saved.nice || win::mayLowerNiceTo(saved.nice);
}

win::BOOL restorePriority(const PriorityState& saved) {
    if (!saved.valid)
        return win::fail(win::ERROR_INVALID_PARAMETER);
    return win::setEveryThreadsNice(saved.nice);
}

win::BOOL setThreadPriority(unsigned long nativeThread, int toolkitPriority) {
    if (toolkitPriority < 0 || toolkitPriority > 6)
        return win::fail(win::ERROR_INVALID_PARAMETER);
    auto thread = static_cast<pthread_t>(nativeThread);
    sched_param param{};
    int policy = SCHED_OTHER;
    if (toolkitPriority == 0)
        policy = SCHED_IDLE;
    else if (toolkitPriority < 3)
        policy = SCHED_BATCH;
    else if (toolkitPriority > 3) {
        // Above normal means a (low) real-time priority, which needs the privilege.
        policy = SCHED_RR;
        param.sched_priority = toolkitPriority - 3;
    }
    int err = pthread_setschedparam(thread, policy, &param);
    if (err != 0)
        return win::fail(errorFromErrno(err), err);
    return win::TRUE;
}

void installNamedPortOpener(NamedPortOpener opener) {
    win::g_namedPortOpener.store(opener);
}

win::BOOL parkForCommEvent(win::HANDLE h) {
    return win::withDevice(h, [](win::Device& d) {
        return d.driver->park() ? win::TRUE : win::fail(win::ERROR_INVALID_PARAMETER);
    });
}

win::BOOL lineErrorsCounted(win::HANDLE h) {
    return win::withDevice(
        h, [](win::Device& d) { return d.driver->countsLineErrors() ? win::TRUE : win::FALSE; });
}

win::BOOL unparkCommThread(win::HANDLE h) {
    return win::withDevice(h, [](win::Device& d) {
        d.driver->unpark();
        return win::TRUE;
    });
}

} // namespace platform
