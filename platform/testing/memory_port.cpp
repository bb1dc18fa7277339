// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/testing/memory_port.h"

#include "platform/named_ports.h"
#include "platform/termios_dcb.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

namespace platform {

using namespace win;

namespace {

// How much one side buffers for its peer before a writer has to wait.
constexpr std::size_t kCableBuffer = 1 << 20;

} // namespace

// The cable: both ends' state under one lock.
struct MemoryCable {
    std::mutex mutex;
    struct End {
        std::string name;
        std::string rx; // bytes on their way to this side
        std::size_t rxHead = 0;
        bool open = false;
        bool gone = false;
        bool dtr = false, rts = false, ring = false, breakOn = false, suspended = false;
        DWORD events = 0, errors = 0;
        DCB dcb;
        std::function<void()> wake;
    } end[2];

    void wake(int side) {
        if (end[side].wake)
            end[side].wake();
    }
    std::size_t pending(int side) const { return end[side].rx.size() - end[side].rxHead; }
};

struct MemoryNullModem::Impl : MemoryCable {};

namespace {

std::mutex g_registryLock;
std::map<std::string, std::pair<std::weak_ptr<MemoryCable>, int>>& registry() {
    static std::map<std::string, std::pair<std::weak_ptr<MemoryCable>, int>> r;
    return r;
}
std::atomic<unsigned> g_cableCount{0};

// One side of the cable as a SerialTransport. Called under the driver's lock; takes the
// cable's lock (never the other way round), and wakes drivers only through their eventfd.
class MemoryTransport : public SerialTransport {
public:
    MemoryTransport(std::shared_ptr<MemoryCable> cable, int side)
        : m_cable(std::move(cable)), m_side(side) {}
    ~MemoryTransport() override { close(); }

    void setWake(std::function<void()> wake) override {
        std::lock_guard lock(m_cable->mutex);
        m_cable->end[m_side].wake = std::move(wake);
    }

    Io read(char* buf, std::size_t size, std::size_t& got, int& err) override {
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        // What had arrived before the device went is still read first, as a tty's input
        // before its hang-up is.
        if (me.gone && m_cable->pending(m_side) == 0) {
            err = ENODEV; // what a read of an unplugged USB adapter says
            return Io::Gone;
        }
        std::size_t n = std::min(size, m_cable->pending(m_side));
        if (n == 0)
            return Io::WouldBlock;
        bool wasFull = m_cable->pending(m_side) >= kCableBuffer;
        std::copy_n(me.rx.data() + me.rxHead, n, buf);
        me.rxHead += n;
        if (me.rxHead == me.rx.size()) {
            me.rx.clear();
            me.rxHead = 0;
        } else if (me.rxHead > 65536 && me.rxHead * 2 > me.rx.size()) {
            me.rx.erase(0, me.rxHead);
            me.rxHead = 0;
        }
        got = n;
        if (wasFull)
            m_cable->wake(1 - m_side); // the peer may write again
        if (me.gone && m_cable->pending(m_side) == 0)
            m_cable->wake(m_side); // the driver reads no further after a short read: look again
        return Io::Ok;
    }

    Io write(const char* buf, std::size_t size, std::size_t& put, int& err) override {
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        if (me.gone) {
            err = ENODEV; // what a read of an unplugged USB adapter says
            return Io::Gone;
        }
        if (me.suspended || me.breakOn)
            return Io::WouldBlock;
        int peer = 1 - m_side;
        std::size_t room = kCableBuffer - std::min(kCableBuffer, m_cable->pending(peer));
        std::size_t n = std::min(size, room);
        if (n == 0)
            return Io::WouldBlock;
        m_cable->end[peer].rx.append(buf, n);
        put = n;
        m_cable->wake(peer);
        return Io::Ok;
    }

    DWORD applyDcb(const DCB& dcb, DCB& readBack, int&) override {
        std::lock_guard lock(m_cable->mutex);
        m_cable->end[m_side].dcb = dcb;
        readBack = dcb;
        return ERROR_SUCCESS;
    }

    DWORD readDcb(DCB& dcb, int&) override {
        std::lock_guard lock(m_cable->mutex);
        const DCB& d = m_cable->end[m_side].dcb;
        dcb.BaudRate = d.BaudRate;
        dcb.ByteSize = d.ByteSize;
        dcb.Parity = d.Parity;
        dcb.StopBits = d.StopBits;
        dcb.XonChar = d.XonChar;
        dcb.XoffChar = d.XoffChar;
        return ERROR_SUCCESS;
    }

    DWORD modemStatus() override {
        std::lock_guard lock(m_cable->mutex);
        const auto& peer = m_cable->end[1 - m_side];
        DWORD s = 0;
        if (peer.rts)
            s |= MS_CTS_ON;
        if (peer.dtr)
            s |= MS_DSR_ON | MS_RLSD_ON;
        if (m_cable->end[m_side].ring)
            s |= MS_RING_ON;
        return s;
    }

    bool setDtr(bool on) override {
        std::lock_guard lock(m_cable->mutex);
        setLine(&MemoryCable::End::dtr, on, EV_DSR | EV_RLSD);
        return true;
    }
    bool setRts(bool on) override {
        std::lock_guard lock(m_cable->mutex);
        setLine(&MemoryCable::End::rts, on, EV_CTS);
        return true;
    }

    bool setBreak(bool on) override {
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        if (on && !me.breakOn) {
            auto& peer = m_cable->end[1 - m_side];
            peer.events |= EV_BREAK;
            peer.errors |= CE_BREAK;
            m_cable->wake(1 - m_side);
        }
        me.breakOn = on;
        if (!on)
            m_cable->wake(m_side); // output may resume
        return true;
    }

    bool suspendOutput(bool suspend) override {
        std::lock_guard lock(m_cable->mutex);
        m_cable->end[m_side].suspended = suspend;
        return true;
    }

    bool canToggleRts() const override { return true; }
    bool canDtrDsrHandshake() const override { return true; }
    bool countsLineErrors() const override { return true; }

    void flushInput() override {
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        bool wasFull = m_cable->pending(m_side) >= kCableBuffer;
        me.rx.clear();
        me.rxHead = 0;
        if (wasFull)
            m_cable->wake(1 - m_side);
    }
    void flushOutput() override {}

    void takeLineEvents(DWORD& events, DWORD& errors) override {
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        events = me.events;
        errors = me.errors;
        me.events = me.errors = 0;
    }

    void close() override {
        if (!m_cable)
            return;
        std::lock_guard lock(m_cable->mutex);
        auto& me = m_cable->end[m_side];
        if (!me.open)
            return;
        // Closing a port drops its DTR and RTS, which the far end sees.
        setLine(&MemoryCable::End::dtr, false, EV_DSR | EV_RLSD);
        setLine(&MemoryCable::End::rts, false, EV_CTS);
        me.open = false;
        me.wake = nullptr;
        me.breakOn = me.suspended = false;
    }

private:
    void setLine(bool MemoryCable::End::*line, bool on, DWORD peerEvents) {
        auto& me = m_cable->end[m_side];
        if (me.*line == on)
            return;
        me.*line = on;
        m_cable->end[1 - m_side].events |= peerEvents;
        m_cable->wake(1 - m_side);
    }

    std::shared_ptr<MemoryCable> m_cable;
    int m_side;
};

// The opener CreateFileA asks about names beginning with "/" once a cable exists.
std::unique_ptr<SerialTransport> openMemoryPort(const std::string& name, DWORD& error) {
    std::shared_ptr<MemoryCable> cable;
    int side = 0;
    {
        std::lock_guard lock(g_registryLock);
        auto it = registry().find(name);
        if (it != registry().end()) {
            cable = it->second.first.lock();
            side = it->second.second;
        }
    }
    if (!cable) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    {
        std::lock_guard lock(cable->mutex);
        auto& me = cable->end[side];
        if (me.gone) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (me.open) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        me.open = true;
        me.events = me.errors = 0;
        // Opening raises DTR and RTS, as the kernel does for a tty.
        me.dtr = me.rts = true;
        cable->end[1 - side].events |= EV_DSR | EV_RLSD | EV_CTS;
        cable->wake(1 - side);
    }
    error = ERROR_SUCCESS;
    return std::make_unique<MemoryTransport>(cable, side);
}

} // namespace

MemoryNullModem::MemoryNullModem() : m_impl(std::make_shared<Impl>()) {
    installNamedPortOpener(openMemoryPort);
    unsigned id = ++g_cableCount;
    std::lock_guard lock(g_registryLock);
    for (int side = 0; side < 2; ++side) {
        auto& e = m_impl->end[side];
        e.name = "/xrq-memory-port/" + std::to_string(id) + (side == A ? "/A" : "/B");
        e.dcb.BaudRate = 9600;
        e.dcb.ByteSize = 8;
        e.dcb.XonChar = 17;
        e.dcb.XoffChar = 19;
        registry()[e.name] = {m_impl, side};
    }
}

MemoryNullModem::~MemoryNullModem() {
    std::lock_guard lock(g_registryLock);
    for (auto& e : m_impl->end)
        registry().erase(e.name);
}

std::string MemoryNullModem::name(Side side) const {
    return m_impl->end[side].name;
}

void MemoryNullModem::injectBreak(Side side) {
    std::lock_guard lock(m_impl->mutex);
    m_impl->end[side].events |= EV_BREAK;
    m_impl->end[side].errors |= CE_BREAK;
    m_impl->wake(side);
}

void MemoryNullModem::injectLineError(Side side, unsigned ceFlags) {
    std::lock_guard lock(m_impl->mutex);
    auto& e = m_impl->end[side];
    e.errors |= ceFlags;
    if (ceFlags & (CE_FRAME | CE_RXPARITY | CE_OVERRUN))
        e.events |= EV_ERR;
    m_impl->wake(side);
}

void MemoryNullModem::setRing(Side side, bool on) {
    std::lock_guard lock(m_impl->mutex);
    auto& e = m_impl->end[side];
    if (e.ring == on)
        return;
    e.ring = on;
    e.events |= EV_RING;
    m_impl->wake(side);
}

void MemoryNullModem::vanish(Side side) {
    std::lock_guard lock(m_impl->mutex);
    m_impl->end[side].gone = true;
    m_impl->wake(side);
}

} // namespace platform
