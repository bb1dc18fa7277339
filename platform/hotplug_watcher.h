// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Notices COM ports that come and go and hands each change to the serial form as the
// device-change message it would get on Windows. Kernel names mean nothing to the form: it
// hears of COM numbers only, as the port table maps them.
//
// Anything that may have changed the set of ports is only a hint:
//   - the kernel's uevents (NETLINK_KOBJECT_UEVENT; no udev daemon or root needed) for tty
//     devices;
//   - inotify on the port folder (watched for from its parent while it does not exist), on
//     the device folder and on <device folder>/serial/by-id when it exists;
//   - requestRescan(), for what makes no uevent: the session's own port that reports its
//     device gone (a pty that closes, a port-folder link whose target vanished).
// After each hint the watcher waits a short settle (udev makes and removes its by-id links
// after the kernel's event), works out which COM numbers have a device by the table, and
// announces one removal per number that left, then one arrival per number that appeared.
// So a port-folder link to a by-id link is announced under its own COMn, and a link left
// dangling is announced as removed. Nothing is opened to find this out. Everything runs on
// the UI thread through QSocketNotifier and a timer; a source that cannot be opened (no
// netlink in a container, say) is left out and the others keep working.

#include "platform/device_change.h"
#include "platform/port_table.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>

class QSocketNotifier;

namespace platform {

struct Uevent {
    std::string action;    // "add", "remove", "change", ...
    std::string subsystem; // "tty", "usb", ...
    std::string devName;   // "ttyUSB0" (DEVNAME without any leading folder)
};

class HotplugWatcher : public QObject {
    Q_OBJECT
public:
    // Called on the UI thread with each message; may run nested event loops (message boxes),
    // during which further messages can be delivered, still in order.
    using Handler = std::function<void(win::TMessage&)>;

    static constexpr int kSettleMs = 300;

    // Takes the ports present now as already announced.
    explicit HotplugWatcher(PortTable table = PortTable::current(), QObject* parent = nullptr,
                            int settleMs = kSettleMs);
    ~HotplugWatcher() override;

    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Re-aims the watches, e.g. once the program has installed its table; the ports present
    // under the new table count as announced.
    void setPortTable(const PortTable& table);

    // Something may have changed: rescan after the settle (a running settle starts afresh).
    void requestRescan();
    // Rescans now and announces the differences (the settle's end; open to tests).
    void rescan();

    bool kernelEventsAvailable() const { return m_netlinkFd >= 0; }
    bool watchingPortFolder() const { return m_folderWatch >= 0; }
    const std::set<int>& announcedPorts() const { return m_announced; }

    // One netlink datagram ("add@/devices/...\0ACTION=add\0SUBSYSTEM=tty\0DEVNAME=...\0").
    static std::optional<Uevent> parseUevent(const char* data, std::size_t size);
    // The netlink reader's path, open to tests since they cannot make the kernel announce a
    // device: a tty's add or remove asks for a rescan.
    void handleKernelDatagram(const char* data, std::size_t size);

signals:
    // Emitted after the handler has run, for observers other than the serial form.
    void portChanged(int portNumber, bool arrived);

private:
    void openNetlink();
    void openInotify();
    void armWatches();
    int addWatch(const std::string& path, std::uint32_t mask);
    void readNetlink();
    void readInotify();
    void drain();

    PortTable m_table;
    Handler m_handler;
    QTimer m_settle;
    std::set<int> m_announced;
    std::string m_folder; // port folder without trailing '/'
    int m_netlinkFd = -1;
    int m_inotifyFd = -1;
    int m_folderWatch = -1;
    int m_parentWatch = -1;
    int m_deviceWatch = -1;
    int m_byIdWatch = -1;
    QSocketNotifier* m_netlinkNotifier = nullptr;
    QSocketNotifier* m_inotifyNotifier = nullptr;
    std::deque<std::pair<bool, int>> m_pending;
};

} // namespace platform
