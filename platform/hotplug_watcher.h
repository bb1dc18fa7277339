#pragma once
// Notices COM ports that come and go and hands each change to the serial form as the
// device-change message it would get on Windows. Two sources, both read on the UI thread
// through QSocketNotifier:
//   - the kernel's uevents (NETLINK_KOBJECT_UEVENT; no udev daemon or root needed) for tty
//     devices, mapped to a port number by the port table (a port-folder link naming the tty
//     first, else ttyS/ttyUSB/ttyACM's default numbers);
//   - inotify on the port folder: an entry "COMn" created or moved in is an arrival, one
//     deleted or moved out a removal. A port folder that does not exist yet is watched for
//     from its parent and picked up when it appears.
// A source that cannot be opened (no netlink in a container, say) is left out; the other
// keeps working.

#include "platform/device_change.h"
#include "platform/port_table.h"

#include <QObject>

#include <deque>
#include <functional>
#include <optional>
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

    explicit HotplugWatcher(PortTable table = PortTable::current(), QObject* parent = nullptr);
    ~HotplugWatcher() override;

    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Re-aims the port-folder watch, e.g. once the program has installed its table.
    void setPortTable(const PortTable& table);

    bool kernelEventsAvailable() const { return m_netlinkFd >= 0; }
    bool watchingPortFolder() const { return m_folderWatch >= 0; }

    // One netlink datagram ("add@/devices/...\0ACTION=add\0SUBSYSTEM=tty\0DEVNAME=...\0").
    static std::optional<Uevent> parseUevent(const char* data, std::size_t size);
    // Maps a kernel datagram to a message and delivers it; the netlink reader's path, open to
    // tests since they cannot make the kernel announce a device.
    void handleKernelDatagram(const char* data, std::size_t size);

signals:
    // Emitted after the handler has run, for observers other than the serial form.
    void portChanged(int portNumber, bool arrived);

private:
    void openNetlink();
    void openInotify();
    void armFolderWatch(bool announceExisting);
    void readNetlink();
    void readInotify();
    void enqueue(bool arrival, int portNumber);
    void drain();

    PortTable m_table;
    Handler m_handler;
    std::string m_folder; // port folder without trailing '/'
    int m_netlinkFd = -1;
    int m_inotifyFd = -1;
    int m_folderWatch = -1;
    int m_parentWatch = -1;
    QSocketNotifier* m_netlinkNotifier = nullptr;
    QSocketNotifier* m_inotifyNotifier = nullptr;
    std::deque<std::pair<bool, int>> m_pending;
};

} // namespace platform
