// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the operator is told about the unit and its port outside the message boxes: the
// status bar's identity field, the guidance for a port or unit that cannot be reached, and
// the knowledge of which units have been downloaded since they were connected (asked before
// their memory is cleared). Plain logic: the main window feeds it the session's events and
// shows its texts; tests drive it without a window.

#include <map>
#include <optional>
#include <set>
#include <string>

namespace unit_status {

// A unit that answered with its serial number, and where.
struct Unit {
    std::string serial;
    int port = -1;
    std::string device; // the port's device path, empty when unknown
};

class UnitRecord {
public:
    // A successful Connect: the identity holds until the session closes or moves, and the
    // unit counts as not downloaded until its data has been collected.
    void connected(const Unit& unit);
    // The serial number read without a Connect (before a clearing): the identity holds, and
    // what was downloaded since the unit's last Connect stays known.
    void identified(const Unit& unit);
    // The session's state now. A closed session, or one on another port, ends the identity.
    // True when that changed what is shown.
    bool follow(bool portOpen, int port);
    // The current unit's data has been collected, all of it safely on the disk.
    void downloaded();
    // The same for the unit `serial` that answered just before the download, whether or not
    // it is still the current one (its port may have gone during the download).
    void downloaded(const std::string& serial);
    // A download ended whose unit did not give its serial number just before it: which
    // unit's data it holds is not known, so the next clearing asks.
    void downloadedUnidentified() { m_lastDownloadUnidentified = true; }
    bool lastDownloadUnidentified() const { return m_lastDownloadUnidentified; }
    // A Connect that got no answer: the unit known before may no longer be on the cable.
    void forget() { m_current.reset(); }
    // How many Connects have succeeded (a caller tells success by the count moving).
    unsigned connects() const { return m_connects; }
    // A download of the current unit that cannot be relied on: `why` completes "The last
    // download of <serial> was incomplete: ". The unit no longer counts as downloaded.
    void downloadIncomplete(const std::string& why);
    // The same for the unit `serial` that answered just before the download, whether or not
    // it is still the current one: the mark follows the last download whatever the port did.
    void downloadIncomplete(const std::string& serial, const std::string& why);

    const std::optional<Unit>& current() const { return m_current; }
    bool downloadedSinceConnect(const std::string& serial) const;
    // Why the unit's last download was incomplete; empty when it was not (or none was made).
    std::string lastDownloadIncomplete(const std::string& serial) const;

private:
    std::optional<Unit> m_current;
    std::set<std::string> m_downloaded;
    bool m_lastDownloadUnidentified = false;
    unsigned m_connects = 0;
    std::map<std::string, std::string> m_incomplete;
};

// "<serial> on COMn (<device>)", the serial number as the unit gave it, while a unit is
// known on the session's open port;
// "unit not identified on COMn" while the port is open but no unit has named itself on it
// (a download or the terminal opened it); otherwise "COMn - not connected" ("No COM port -
// not connected" without a number).
std::string identityText(const UnitRecord& record, bool portOpen, int port);

// The question asked before the usual ones of a clearing when the unit has not been
// downloaded since it was connected, could not be named just now (`answered` false), or the
// last download came from a unit that could not be named; none otherwise.
std::optional<std::string> clearMemoryQuestion(const UnitRecord& record, int port,
                                               const std::string& device, bool answered = true);

// Printable form of a serial number as the unit sent it (control bytes and non-ASCII as '?').
std::string printableSerial(const std::string& serial);

// Why the unit cannot be reached, in the order they are checked.
enum class Trouble { None, NoSerialPort, PortMissing, NoPermission, NoAnswer };

struct PortFacts {
    bool anyPort = false;     // the machine has at least one COM port
    int port = -1;            // the session's COM number
    bool portPresent = false; // its device exists
    bool permissionDenied = false;
    std::string device;      // its device path (as resolved), for the permission text
    std::string group;       // the group that owns it
    bool portOpened = false; // the session opened it (and the unit did not answer)
};

Trouble diagnose(const PortFacts& facts);
// Plain words for the status bar: what is wrong and what to do. Empty for Trouble::None.
std::string guidanceText(Trouble trouble, const PortFacts& facts);

} // namespace unit_status
