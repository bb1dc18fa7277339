// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/hotplug_watcher.h"

#include "platform/dos_devices.h"
#include "platform/exception_guard.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::uint32_t kChangeMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR;
constexpr std::uint32_t kFolderMask = kChangeMask | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

HotplugWatcher::HotplugWatcher(PortTable table, QObject* parent, int settleMs)
    : QObject(parent), m_table(std::move(table)) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(settleMs);
    connect(&m_settle, &QTimer::timeout, this, [this] { runGuarded([this] { rescan(); }); });
    openNetlink();
    openInotify();
    armWatches();
    m_announced = presentComPorts(m_table);
}

HotplugWatcher::~HotplugWatcher() {
    delete m_netlinkNotifier;
    delete m_inotifyNotifier;
    if (m_netlinkFd >= 0)
        ::close(m_netlinkFd);
    if (m_inotifyFd >= 0)
        ::close(m_inotifyFd);
}

void HotplugWatcher::setPortTable(const PortTable& table) {
    m_table = table;
    armWatches();
    m_announced = presentComPorts(m_table);
}

void HotplugWatcher::openNetlink() {
    int fd =
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1; // the kernel's own broadcasts, not udev's re-sent ones
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    m_netlinkFd = fd;
    m_netlinkNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(m_netlinkNotifier, &QSocketNotifier::activated, this,
            [this] { runGuarded([this] { readNetlink(); }); });
}

void HotplugWatcher::openInotify() {
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0)
        return;
    m_inotifyNotifier = new QSocketNotifier(m_inotifyFd, QSocketNotifier::Read);
    connect(m_inotifyNotifier, &QSocketNotifier::activated, this,
            [this] { runGuarded([this] { readInotify(); }); });
}

int HotplugWatcher::addWatch(const std::string& path, std::uint32_t mask) {
    if (m_inotifyFd < 0 || path.empty())
        return -1;
    return ::inotify_add_watch(m_inotifyFd, path.c_str(), mask);
}

void HotplugWatcher::armWatches() {
    if (m_inotifyFd < 0)
        return;
    for (int* wd : {&m_folderWatch, &m_parentWatch, &m_deviceWatch, &m_byIdWatch}) {
        if (*wd >= 0)
            ::inotify_rm_watch(m_inotifyFd, *wd);
        *wd = -1;
    }
    m_folder = withoutTrailingSlash(m_table.portFolder());
    if (!m_folder.empty()) {
        m_folderWatch = addWatch(m_folder, kFolderMask);
        // Not there yet: its parent tells when it is made.
        if (m_folderWatch < 0)
            m_parentWatch = addWatch(parentOf(m_folder), kParentMask);
    }
    const std::string dev = withoutTrailingSlash(m_table.deviceDir());
    m_deviceWatch = addWatch(dev, kChangeMask);
    m_byIdWatch = addWatch(dev + "/serial/by-id", kChangeMask);
}

void HotplugWatcher::requestRescan() {
    m_settle.start(); // a running settle starts afresh: one rescan for a burst of hints
}

void HotplugWatcher::rescan() {
    m_settle.stop();
    // A folder that appeared (or went) since the last scan is watched from now on; its
    // entries are compared below like any others.
    if (m_inotifyFd >= 0 && (m_folderWatch < 0 || m_byIdWatch < 0)) {
        if (m_folderWatch < 0 && !m_folder.empty()) {
            m_folderWatch = addWatch(m_folder, kFolderMask);
            if (m_folderWatch >= 0 && m_parentWatch >= 0) {
                ::inotify_rm_watch(m_inotifyFd, m_parentWatch);
                m_parentWatch = -1;
            }
        }
        if (m_byIdWatch < 0)
            m_byIdWatch =
                addWatch(withoutTrailingSlash(m_table.deviceDir()) + "/serial/by-id", kChangeMask);
    }
    const std::set<int> present = presentComPorts(m_table);
    for (int n : m_announced)
        if (!present.count(n))
            m_pending.emplace_back(false, n);
    for (int n : present)
        if (!m_announced.count(n))
            m_pending.emplace_back(true, n);
    // Taken before anything is delivered: a handler's nested loop may run the next rescan.
    m_announced = present;
    drain();
}

std::optional<Uevent> HotplugWatcher::parseUevent(const char* data, std::size_t size) {
    if (data == nullptr || size == 0)
        return std::nullopt;
    std::string_view all(data, size);
    // The first run is "action@devpath"; udev's own datagrams start with "libudev" instead.
    auto firstEnd = all.find('\0');
    std::string_view head = all.substr(0, firstEnd);
    if (head.find('@') == std::string_view::npos)
        return std::nullopt;
    Uevent ev;
    std::size_t pos = firstEnd == std::string_view::npos ? all.size() : firstEnd + 1;
    while (pos < all.size()) {
        auto end = all.find('\0', pos);
        if (end == std::string_view::npos)
            end = all.size();
        std::string_view kv = all.substr(pos, end - pos);
        if (kv.starts_with("ACTION="))
            ev.action = kv.substr(7);
        else if (kv.starts_with("SUBSYSTEM="))
            ev.subsystem = kv.substr(10);
        else if (kv.starts_with("DEVNAME=")) {
            std::string_view name = kv.substr(8);
            auto slash = name.find_last_of('/');
            ev.devName = slash == std::string_view::npos ? name : name.substr(slash + 1);
        }
        pos = end + 1;
    }
    if (ev.action.empty())
        return std::nullopt;
    return ev;
}

void HotplugWatcher::handleKernelDatagram(const char* data, std::size_t size) {
    auto ev = parseUevent(data, size);
    if (!ev || ev->subsystem != "tty" || ev->devName.empty())
        return;
    if (ev->action == "add" || ev->action == "remove")
        requestRescan();
}

void HotplugWatcher::readNetlink() {
    char buf[8192];
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t got = ::recvmsg(m_netlinkFd, &msg, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // EAGAIN: drained. ENOBUFS: some were lost; a rescan finds out what they said.
            if (errno == ENOBUFS)
                requestRescan();
            break;
        }
        // Only the kernel (port id 0) speaks for devices; anyone else could forge a datagram.
        if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC))
            continue;
        handleKernelDatagram(buf, static_cast<std::size_t>(got));
    }
}

void HotplugWatcher::readInotify() {
    alignas(inotify_event) char buf[8192];
    bool hinted = false;
    for (;;) {
        ssize_t got = ::read(m_inotifyFd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (char* p = buf; p < buf + got;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                hinted = true;
                continue;
            }
            if (ev->wd == m_folderWatch && (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
                // The folder went: wait for it from its parent again.
                ::inotify_rm_watch(m_inotifyFd, m_folderWatch);
                m_folderWatch = -1;
                if (m_parentWatch < 0)
                    m_parentWatch = addWatch(parentOf(m_folder), kParentMask);
            }
            if (ev->wd == m_byIdWatch && (ev->mask & IN_IGNORED))
                m_byIdWatch = -1; // udev removed the folder; the next rescan looks again
            hinted = true;
        }
    }
    if (hinted)
        requestRescan();
}

void HotplugWatcher::drain() {
    // Pops one at a time so that a nested loop run by the handler (a message box) that
    // delivers further messages keeps the overall order.
    while (!m_pending.empty()) {
        auto [arrival, n] = m_pending.front();
        m_pending.pop_front();
        win::PortChangeMessage change(arrival ? win::DBT_DEVICEARRIVAL
                                              : win::DBT_DEVICEREMOVECOMPLETE,
                                      "COM" + std::to_string(n));
        if (m_handler)
            runGuarded([&] { m_handler(change.message()); });
        emit portChanged(n, arrival);
    }
}

} // namespace platform
