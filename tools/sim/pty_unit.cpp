// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sim/pty_unit.h"

#include "tools/sim/state_file.h"
#include "tools/sim/unit_model.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace sim {

namespace {

using Steady = std::chrono::steady_clock;

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Printable form of bytes for the verbose log.
std::string escaped(std::string_view s, std::size_t max = 120) {
    std::string out;
    for (std::size_t i = 0; i < s.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    if (s.size() > max)
        out += "...";
    return out;
}

} // namespace

struct PtyUnit::Impl {
    explicit Impl(const SimOptions& o) : options(o), model(o) {}
    ~Impl() {
        closeFd(master);
        closeFd(openWatch);
        closeFd(wake);
        removeLink();
    }

    // Set once before the line thread starts, read-only afterwards (slavePath and master
    // change on the line thread when a pty is replaced; slavePath then under mu).
    SimOptions options;
    std::string slavePath;
    int master = -1;
    // inotify on the slave's node: tells when the program opens the port. The unit holds no
    // descriptor of the slave, as a real unit holds none of the computer's port, so another
    // program's port list sees the port free; with no slave open the master reports a
    // hang-up that would make poll spin, so it is left out of the poll until an open.
    int openWatch = -1;
    bool detached = false; // line thread only: no program has the slave open
    int wake = -1;
    bool linked = false;
    std::thread thread;

    // Shared between the line thread and callers.
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::mutex saveMu; // taken before mu, never inside it
    UnitModel model;
    std::string received;
    std::uint64_t sent = 0;
    std::uint64_t sentAtDownload = 0; // `sent` when the last "F" arrived
    bool idle = true;
    bool running = false;
    bool stopRequested = false;
    bool hungUp = false;
    bool stopped = false; // stop() has completed its clean-up

    // Line thread only.
    struct Item {
        std::string text;
        std::shared_ptr<ByteSource> download;
    };
    std::deque<Item> queue;
    std::string out;
    bool writeBlocked = false;
    bool lineWasIdle = true;
    Steady::time_point nextSend{};
    bool inDownload = false;
    std::size_t downloadCount = 0;
    bool pauseDone = false;
    FaultOptions downloadFaults;
    // A hang-up fault waits for the program to read what was sent before it: closing the
    // master flushes the slave's input, and a cut at byte N must deliver N bytes. No event
    // tells that the reader has emptied the queue, so it is checked every 10 ms, for 2 s at
    // most (nobody may be reading at all).
    std::optional<Steady::time_point> hangUpCheck;
    Steady::time_point hangUpDeadline{};

    std::size_t chunk() const {
        if (options.chunkBytes > 0)
            return options.chunkBytes;
        if (options.baud == 0)
            return 4096;
        return std::max<std::size_t>(1, options.baud / 10 / 100);
    }

    void removeLink() {
        if (!linked)
            return;
        linked = false;
        // Only our own link: the operator may have put something else there meanwhile.
        std::error_code ec;
        auto target = std::filesystem::read_symlink(options.linkPath, ec);
        if (!ec && target == slavePath)
            std::filesystem::remove(options.linkPath, ec);
    }

    void makeLink() {
        namespace fs = std::filesystem;
        const std::string& link = options.linkPath;
        std::error_code ec;
        fs::path parent = fs::path(link).parent_path();
        if (!parent.empty())
            fs::create_directories(parent, ec);
        if (ec)
            throw std::runtime_error("cannot create folder " + parent.string() + ": " +
                                     ec.message());
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                throw std::runtime_error(link + " exists and is not a link; remove it or " +
                                         "choose another port");
            struct stat target;
            // A link left by a unit that was killed may lead to our own pty already (the
            // system hands out pty numbers again): made afresh below, so that watchers of the
            // folder see the port arrive.
            const bool ours = fs::read_symlink(link, ec) == fs::path(slavePath);
            if (!ours && (::stat(link.c_str(), &target) == 0 || errno != ENOENT)) {
                auto dest = fs::read_symlink(link, ec);
                throw std::runtime_error(link + " already points at " + dest.string() +
                                         " (another simulator, or a real adapter linked " +
                                         "there); remove it or choose another port");
            }
            // A link left by a simulator that was killed: its pty is gone.
            if (::unlink(link.c_str()) != 0)
                throw sysError("cannot remove stale link " + link);
        }
        if (::symlink(slavePath.c_str(), link.c_str()) != 0)
            throw sysError("cannot link " + link + " to " + slavePath);
        linked = true;
    }

    // Any thread; one writer at a time, since all write through the same temporary file.
    void saveState() {
        if (options.stateFile.empty())
            return;
        std::lock_guard saving(saveMu);
        UnitState state;
        {
            std::lock_guard lock(mu);
            state.serialNumber = model.serialNumber();
            state.clockOffset = model.clockOffset();
            state.memory = model.memory();
            state.loggedUntil = model.loggedUntil();
        }
        try {
            saveStateFile(options.stateFile, state);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "xrq-unit-sim: %s\n", e.what());
        }
    }

    // Opens a fresh pty in raw mode at 19200 bit/s; its master and slave path. The unit holds
    // no descriptor of the slave: the mode stays with the pty.
    static std::pair<int, std::string> openPty() {
        int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m < 0)
            throw sysError("cannot open a pseudo-terminal");
        char name[256];
        if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
            ::close(m);
            throw sysError("cannot prepare the pseudo-terminal");
        }
        const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) {
            ::close(m);
            throw sysError(std::string("cannot open ") + name);
        }
        termios tio{};
        if (::tcgetattr(slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetspeed(&tio, B19200);
            ::tcsetattr(slave, TCSANOW, &tio);
        }
        ::close(slave);
        return {m, name};
    }

    // Line thread, when the program has closed the port. A pty keeps the exclusive mode
    // (TIOCEXCL) after its last close, which a real port does not (its tty goes with its last
    // close): a program killed while it held the port would leave it refused to everyone but
    // root, where a real unit would simply be there again. Such a pty is replaced by a fresh
    // one under the same link; what the unit still sends goes on into the new one.
    void clientGone() {
        if (detached)
            return;
        detached = true;
        // The master tells whether anyone has the slave open (a program that closed and
        // opened again at once, after its probe of the port, say).
        if (slaveOpen()) {
            detached = false;
            return;
        }
        const int probe = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe >= 0) {
            ::close(probe);
            // Our own open is no program's; one that opened meanwhile is seen on the master.
            drainOpenWatch();
            if (slaveOpen())
                detached = false;
            return;
        }
        // Exclusive and held by a program is as it should be; exclusive with no one holding
        // it is what a killed program leaves.
        if (errno != EBUSY)
            return;
        if (slaveOpen()) {
            detached = false;
            return;
        }
        try {
            auto [m, name] = openPty();
            const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (watch < 0 || ::inotify_add_watch(watch, name.c_str(), IN_OPEN) < 0) {
                if (watch >= 0)
                    ::close(watch);
                ::close(m);
                return;
            }
            if (linked) {
                // Replaced in one step: the port never looks gone to a watcher of the folder.
                const std::string fresh = options.linkPath + ".new";
                ::unlink(fresh.c_str());
                if (::symlink(name.c_str(), fresh.c_str()) != 0 ||
                    ::rename(fresh.c_str(), options.linkPath.c_str()) != 0) {
                    ::unlink(fresh.c_str());
                    ::close(watch);
                    ::close(m);
                    return;
                }
            }
            if (options.verbose)
                std::fprintf(stderr, "xrq-unit-sim: %s was left exclusive; now on %s\n",
                             slavePath.c_str(), name.c_str());
            closeFd(master);
            closeFd(openWatch);
            master = m;
            openWatch = watch;
            {
                std::lock_guard lock(mu);
                slavePath = name;
            }
            cv.notify_all();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "xrq-unit-sim: %s\n", e.what());
        }
    }

    bool slaveOpen() const {
        pollfd p{master, 0, 0};
        return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
    }

    void drainOpenWatch() {
        alignas(inotify_event) char events[256];
        while (::read(openWatch, events, sizeof events) > 0) {
        }
    }

    // Line thread: the unit is unplugged. Both pty ends close, so the program's open
    // slave reads fail; the link goes too, as a device node would.
    void hangUp() {
        if (options.verbose)
            std::fprintf(stderr, "xrq-unit-sim: hanging up after %zu download bytes\n",
                         downloadCount);
        closeFd(master);
        removeLink();
        hangUpCheck.reset();
        queue.clear();
        out.clear();
        std::lock_guard lock(mu);
        hungUp = true;
    }

    // Line thread: takes the next piece of output into `out`, applying the download
    // faults at their byte positions.
    void fill(Steady::time_point now) {
        while (out.empty() && !queue.empty() && master >= 0) {
            Item& item = queue.front();
            if (!item.text.empty()) {
                out = item.text.substr(0, chunk());
                item.text.erase(0, out.size());
                if (item.text.empty() && !item.download)
                    queue.pop_front();
                return;
            }
            if (!item.download) {
                queue.pop_front();
                continue;
            }
            if (!inDownload) {
                inDownload = true;
                downloadCount = 0;
                pauseDone = false;
                std::lock_guard lock(mu);
                downloadFaults = model.faults();
            }
            const FaultOptions& f = downloadFaults;
            if (f.hangUpAfterBytes && downloadCount >= *f.hangUpAfterBytes) {
                hangUpCheck = now + std::chrono::milliseconds(20);
                hangUpDeadline = now + std::chrono::seconds(2);
                return;
            }
            if (f.silentAfterBytes && downloadCount >= *f.silentAfterBytes) {
                if (options.verbose)
                    std::fprintf(stderr, "xrq-unit-sim: falling silent after %zu bytes\n",
                                 downloadCount);
                queue.pop_front();
                inDownload = false;
                continue;
            }
            if (f.pauseAtByte && !pauseDone && downloadCount >= *f.pauseAtByte) {
                pauseDone = true;
                nextSend = std::max(nextSend, now) + std::chrono::milliseconds(f.pauseMs);
                return;
            }
            std::size_t n = chunk();
            for (auto limit : {f.hangUpAfterBytes, f.silentAfterBytes,
                               pauseDone ? std::nullopt : f.pauseAtByte}) {
                if (limit && *limit > downloadCount)
                    n = std::min(n, *limit - downloadCount);
            }
            out = item.download->read(n);
            if (out.empty()) {
                queue.pop_front();
                inDownload = false;
                continue;
            }
            downloadCount += out.size();
        }
    }

    // Bytes leave at the line's pace. While sending, a late wake-up (a loaded machine) is
    // made up by the next writes, up to 1 s of it; after the line was idle the pace starts
    // afresh, so an idle line banks no time.
    void pace(Steady::time_point now, std::size_t bytes) {
        if (options.baud == 0)
            return;
        auto base = lineWasIdle ? std::max(nextSend, now)
                                : std::max(nextSend, now - std::chrono::seconds(1));
        lineWasIdle = false;
        nextSend = base + std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) *
                                                   10'000'000'000LL / options.baud);
    }

    void writeOut(Steady::time_point now) {
        ssize_t w = ::write(master, out.data(), out.size());
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                writeBlocked = errno == EAGAIN;
                return;
            }
            if (errno == EIO) {
                // Nobody has the port open: the bytes go nowhere, as on a cable nobody listens
                // to, at the line's pace all the same (the unit does not know).
                pace(now, out.size());
                out.clear();
                clientGone();
                return;
            }
            std::fprintf(stderr, "xrq-unit-sim: write to pty: %s\n", std::strerror(errno));
            hangUp();
            return;
        }
        writeBlocked = false;
        if (options.verbose)
            std::fprintf(stderr, "xrq-unit-sim: -> %s\n",
                         escaped(std::string_view(out).substr(0, w)).c_str());
        out.erase(0, static_cast<std::size_t>(w));
        pace(now, static_cast<std::size_t>(w));
        std::lock_guard lock(mu);
        sent += static_cast<std::uint64_t>(w);
    }

    void readIn() {
        char buf[4096];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0 && errno == EIO)
            clientGone(); // the program closed the port
        if (n <= 0)
            return;
        Steady::time_point now = Steady::now();
        bool changed = false;
        {
            std::lock_guard lock(mu);
            for (ssize_t i = 0; i < n; ++i) {
                received += buf[i];
                Reply reply = model.receive(buf[i], now);
                if (options.verbose)
                    std::fprintf(stderr, "xrq-unit-sim: <- %s\n",
                                 escaped(std::string_view(buf + i, 1)).c_str());
                if (reply.download)
                    sentAtDownload = sent;
                if (!reply.empty())
                    queue.push_back({std::move(reply.text), std::move(reply.download)});
            }
            changed = model.takeChanged();
            idle = false;
        }
        cv.notify_all();
        if (changed)
            saveState();
    }

    void run() {
        for (;;) {
            Steady::time_point now = Steady::now();
            if (hangUpCheck && now >= *hangUpCheck) {
                // A look at the slave's queue for the moment of the check only. Under the
                // program's exclusive open only root may look; others wait for the deadline.
                int unread = -1;
                int peek = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                if (peek >= 0) {
                    if (::ioctl(peek, TIOCINQ, &unread) != 0)
                        unread = 0;
                    ::close(peek);
                }
                if (unread == 0 || now >= hangUpDeadline)
                    hangUp();
                else
                    hangUpCheck = now + std::chrono::milliseconds(10);
            }
            if (!hangUpCheck && (!out.empty() || !queue.empty())) {
                if (now >= nextSend && out.empty())
                    fill(now);
                if (!out.empty() && now >= nextSend && !writeBlocked)
                    writeOut(now);
            }
            if (master < 0)
                break; // hung up
            bool pending = !out.empty() || !queue.empty();
            {
                std::lock_guard lock(mu);
                idle = !pending;
                if (!pending)
                    lineWasIdle = true;
                if (stopRequested)
                    break;
            }
            cv.notify_all();

            int timeout = -1;
            now = Steady::now();
            if (hangUpCheck) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(*hangUpCheck - now);
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            } else if (pending && !writeBlocked) {
                if (now < nextSend) {
                    auto left = std::chrono::ceil<std::chrono::milliseconds>(nextSend - now);
                    timeout = static_cast<int>(left.count());
                } else {
                    timeout = 0;
                }
            }
            pollfd fds[3] = {
                {detached ? -1 : master, POLLIN, 0}, {wake, POLLIN, 0}, {openWatch, POLLIN, 0}};
            if (!out.empty() && writeBlocked)
                fds[0].events |= POLLOUT;
            int r = ::poll(fds, 3, timeout);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                std::fprintf(stderr, "xrq-unit-sim: poll: %s\n", std::strerror(errno));
                break;
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] ssize_t ignored = ::read(wake, &v, sizeof v);
            }
            if (fds[0].revents & POLLOUT)
                writeBlocked = false;
            if (fds[0].revents & POLLIN)
                readIn();
            else if (fds[0].revents & POLLNVAL) {
                std::fprintf(stderr, "xrq-unit-sim: the pty closed\n");
                hangUp();
                break;
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                clientGone(); // no program has the port open
            }
            if (fds[2].revents & POLLIN) {
                // Read after the master: an open that came after a hang-up wins.
                alignas(inotify_event) char events[1024];
                while (::read(openWatch, events, sizeof events) > 0) {
                }
                detached = false;
            }
        }
        {
            std::lock_guard lock(mu);
            running = false;
            idle = true;
        }
        cv.notify_all();
        if (hungUp)
            saveState();
    }
};

PtyUnit::PtyUnit(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

PtyUnit::~PtyUnit() {
    stop();
}

std::unique_ptr<PtyUnit> PtyUnit::start(const SimOptions& options) {
    for (char c : options.serialNumber) {
        if (c == '>' || c == '\r' || c == '\n')
            throw std::runtime_error("the serial number may not hold '>' or a line end");
    }
    auto impl = std::make_unique<Impl>(options);
    if (!options.stateFile.empty()) {
        if (auto state = loadStateFile(options.stateFile)) {
            impl->model.setSerialNumber(state->serialNumber);
            impl->model.setClockOffset(state->clockOffset);
            impl->model.setMemory(std::move(state->memory));
            impl->model.setLoggedUntil(state->loggedUntil);
            impl->model.takeChanged();
        }
    }

    std::tie(impl->master, impl->slavePath) = Impl::openPty();
    impl->openWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (impl->openWatch < 0 ||
        ::inotify_add_watch(impl->openWatch, impl->slavePath.c_str(), IN_OPEN) < 0)
        throw sysError("cannot watch " + impl->slavePath);
    impl->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wake < 0)
        throw sysError("cannot create an eventfd");
    if (!options.stateFile.empty()) {
        // A state file that cannot be written would lose every change silently: refuse now.
        impl->model.logUntil(std::chrono::system_clock::now()); // starts the logging clock
        saveStateFile(options.stateFile, {impl->model.serialNumber(), impl->model.clockOffset(),
                                          impl->model.memory(), impl->model.loggedUntil()});
    }
    if (!options.linkPath.empty())
        impl->makeLink();

    impl->running = true;
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->run(); });
    return std::unique_ptr<PtyUnit>(new PtyUnit(std::move(impl)));
}

void PtyUnit::stop() {
    Impl& d = *m_impl;
    {
        std::lock_guard lock(d.mu);
        if (d.stopped)
            return;
        d.stopped = true;
        d.stopRequested = true;
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(d.wake, &one, sizeof one);
    if (d.thread.joinable())
        d.thread.join();
    closeFd(d.master);
    d.removeLink();
    if (!d.hungUp)
        d.saveState();
}

std::string PtyUnit::slavePath() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->slavePath;
}
const std::string& PtyUnit::linkPath() const {
    return m_impl->options.linkPath;
}

std::string PtyUnit::serialNumber() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.serialNumber();
}

std::chrono::system_clock::time_point PtyUnit::unitClock() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.clock();
}

std::string PtyUnit::unitClockText() const {
    return formatClockText(unitClock());
}

int PtyUnit::clockSetCount() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.clockSetCount();
}

std::string PtyUnit::lastClockText() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.lastClockText();
}

std::vector<DataSet> PtyUnit::memory() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.memory();
}

int PtyUnit::clearCount() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->model.clearCount();
}

void PtyUnit::setMemory(std::vector<DataSet> sets) {
    {
        std::lock_guard lock(m_impl->mu);
        m_impl->model.setMemory(std::move(sets));
        m_impl->model.takeChanged();
    }
    m_impl->saveState();
}

void PtyUnit::becomeUnit(const std::string& serialNumber, std::vector<DataSet> sets) {
    for (char c : serialNumber) {
        if (c == '>' || c == '\r' || c == '\n')
            throw std::runtime_error("the serial number may not hold '>' or a line end");
    }
    {
        std::lock_guard lock(m_impl->mu);
        m_impl->model.setSerialNumber(serialNumber);
        m_impl->model.setMemory(std::move(sets));
        m_impl->model.takeChanged();
    }
    m_impl->saveState();
}

void PtyUnit::setFaults(const FaultOptions& faults) {
    std::lock_guard lock(m_impl->mu);
    m_impl->model.setFaults(faults);
}

std::string PtyUnit::received() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->received;
}

bool PtyUnit::waitForReceived(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_impl->mu);
    return m_impl->cv.wait_for(lock, timeout,
                               [&] { return m_impl->received.find(text) != std::string::npos; });
}

std::uint64_t PtyUnit::bytesSent() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->sent;
}

std::uint64_t PtyUnit::bytesSentSinceDownload() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->sent - m_impl->sentAtDownload;
}

bool PtyUnit::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_impl->mu);
    return m_impl->cv.wait_for(lock, timeout, [&] { return m_impl->idle; });
}

bool PtyUnit::waitForNewPty(const std::string& old, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_impl->mu);
    return m_impl->cv.wait_for(lock, timeout, [&] { return m_impl->slavePath != old; });
}

bool PtyUnit::running() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->running;
}

bool PtyUnit::hungUp() const {
    std::lock_guard lock(m_impl->mu);
    return m_impl->hungUp;
}

bool PtyUnit::waitUntilStopped(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_impl->mu);
    return m_impl->cv.wait_for(lock, timeout, [&] { return !m_impl->running; });
}

} // namespace sim
