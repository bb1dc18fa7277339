#include "platform/hotplug_watcher.h"

#include "platform/dos_devices.h"
#include "platform/exception_guard.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <linux/netlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

HotplugWatcher::HotplugWatcher(PortTable table, QObject* parent)
    : QObject(parent), m_table(std::move(table)) {
    openNetlink();
    openInotify();
    armFolderWatch(false);
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
    armFolderWatch(false);
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
    connect(m_netlinkNotifier, &QSocketNotifier::activated, this, [this] { readNetlink(); });
}

void HotplugWatcher::openInotify() {
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0)
        return;
    m_inotifyNotifier = new QSocketNotifier(m_inotifyFd, QSocketNotifier::Read);
    connect(m_inotifyNotifier, &QSocketNotifier::activated, this, [this] { readInotify(); });
}

void HotplugWatcher::armFolderWatch(bool announceExisting) {
    if (m_inotifyFd < 0)
        return;
    if (m_folderWatch >= 0)
        ::inotify_rm_watch(m_inotifyFd, m_folderWatch);
    if (m_parentWatch >= 0)
        ::inotify_rm_watch(m_inotifyFd, m_parentWatch);
    m_folderWatch = m_parentWatch = -1;
    m_folder = withoutTrailingSlash(m_table.portFolder());
    if (m_folder.empty())
        return;

    m_folderWatch = ::inotify_add_watch(m_inotifyFd, m_folder.c_str(), kFolderMask);
    if (m_folderWatch < 0) {
        auto slash = m_folder.find_last_of('/');
        // Chosen in one expression: assigning "/" afterwards trips g++ 12's -Wrestrict at -O3.
        const std::string parent = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : m_folder.substr(0, slash);
        m_parentWatch = ::inotify_add_watch(m_inotifyFd, parent.c_str(), kParentMask);
        return;
    }
    if (!announceExisting)
        return;
    // The folder has just appeared: entries made before our watch took hold are arrivals too.
    if (DIR* dir = ::opendir(m_folder.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (auto n = PortTable::portNumberFromName(entry->d_name))
                enqueue(true, *n);
        ::closedir(dir);
    }
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
    const bool add = ev->action == "add";
    if (!add && ev->action != "remove")
        return;
    if (auto n = comNumberForTtyName(m_table, ev->devName))
        enqueue(add, *n);
    drain();
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
            break; // EAGAIN: drained; ENOBUFS: lost some, the rest still comes
        }
        // Only the kernel (port id 0) speaks for devices; anyone else could forge a datagram.
        if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC))
            continue;
        handleKernelDatagram(buf, static_cast<std::size_t>(got));
    }
}

void HotplugWatcher::readInotify() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
        ssize_t got = ::read(m_inotifyFd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bool rearm = false, announce = false;
        for (char* p = buf; p < buf + got;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            const std::string name = ev->len ? std::string(ev->name) : std::string();
            if (ev->wd == m_folderWatch && m_folderWatch >= 0) {
                if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    rearm = true; // folder gone: wait for it from the parent again
                    continue;
                }
                auto n = PortTable::portNumberFromName(name);
                if (!n)
                    continue;
                if (ev->mask & (IN_CREATE | IN_MOVED_TO))
                    enqueue(true, *n);
                else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                    enqueue(false, *n);
            } else if (ev->wd == m_parentWatch && m_parentWatch >= 0) {
                const auto slash = m_folder.find_last_of('/');
                const std::string leaf =
                    slash == std::string::npos ? m_folder : m_folder.substr(slash + 1);
                if ((ev->mask & IN_ISDIR) && name == leaf) {
                    rearm = true;
                    announce = true;
                }
            }
        }
        if (rearm)
            armFolderWatch(announce);
    }
    drain();
}

void HotplugWatcher::enqueue(bool arrival, int portNumber) {
    m_pending.emplace_back(arrival, portNumber);
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
