// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hooks the serial form to the platform's announcements of COM ports that come and go.

namespace platform {
class HotplugWatcher;
}

// Starts delivering device-change messages for the port table in force to FormSerial's
// WMDeviceChange; called once by the main window after it has installed the table. The
// watcher belongs to FormSerial. UI thread.
platform::HotplugWatcher* startComPortWatch();
