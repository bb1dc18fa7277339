// SPDX-License-Identifier: GPL-3.0-or-later
#include "unit/unit_status.h"

namespace unit_status {

namespace {

std::string portName(int port) {
    return port > 0 ? "COM" + std::to_string(port) : std::string("No COM port");
}

std::string unitName(const Unit& unit) {
    // The serial number as the unit gave it ("QK7Z04M1", "XRQ10472"), as --json and the
    // register have it: nothing put before it that the unit never sent.
    std::string text = printableSerial(unit.serial) + " on " + portName(unit.port);
    if (!unit.device.empty())
        text += " (" + unit.device + ")";
    return text;
}

} // namespace

void UnitRecord::connected(const Unit& unit) {
    ++m_connects;
    m_current = unit;
    m_downloaded.erase(unit.serial);
}

void UnitRecord::identified(const Unit& unit) {
    m_current = unit;
}

bool UnitRecord::follow(bool portOpen, int port) {
    if (!m_current || (portOpen && m_current->port == port))
        return false;
    // Whatever is on the line now may be another unit: it has to answer again to be named.
    m_current.reset();
    return true;
}

void UnitRecord::downloaded() {
    if (m_current)
        downloaded(m_current->serial);
}

void UnitRecord::downloaded(const std::string& serial) {
    m_downloaded.insert(serial);
    m_lastDownloadUnidentified = false;
    m_incomplete.erase(serial);
}

void UnitRecord::downloadIncomplete(const std::string& why) {
    if (m_current)
        downloadIncomplete(m_current->serial, why);
}

void UnitRecord::downloadIncomplete(const std::string& serial, const std::string& why) {
    // An earlier whole download does not cover what the unit may have logged since.
    m_downloaded.erase(serial);
    m_incomplete[serial] = why;
}

std::string UnitRecord::lastDownloadIncomplete(const std::string& serial) const {
    const auto it = m_incomplete.find(serial);
    return it == m_incomplete.end() ? std::string() : it->second;
}

bool UnitRecord::downloadedSinceConnect(const std::string& serial) const {
    return m_downloaded.count(serial) != 0;
}

std::string printableSerial(const std::string& serial) {
    std::string out;
    for (const char c : serial)
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

std::string identityText(const UnitRecord& record, bool portOpen, int port) {
    const auto& unit = record.current();
    if (portOpen && unit && unit->port == port)
        return unitName(*unit);
    if (portOpen && port > 0)
        return "unit not identified on " + portName(port);
    return portName(port) + " - not connected";
}

std::optional<std::string> clearMemoryQuestion(const UnitRecord& record, int port,
                                               const std::string& device, bool answered) {
    const auto& unit = record.current();
    if (!answered || !unit || unit->port != port) {
        std::string text = "The XRQ unit on " + portName(port);
        if (!device.empty())
            text += " (" + device + ")";
        return text + " did not give its serial number: it cannot be told whether its data "
                      "has been downloaded.\nClear its memory anyway?";
    }
    if (record.lastDownloadUnidentified())
        return "The last download came from an XRQ unit that did not give its serial number: "
               "it cannot be told whether the data of " +
               unitName(*unit) + " has been downloaded.\nClear its memory anyway?";
    if (record.downloadedSinceConnect(unit->serial))
        return std::nullopt;
    const std::string why = record.lastDownloadIncomplete(unit->serial);
    if (!why.empty()) {
        return "The last download of " + printableSerial(unit->serial) + " was incomplete: " + why +
               ".\nClear its memory anyway?";
    }
    return unitName(*unit) +
           " has not been downloaded since it was connected: its data would be lost.\n"
           "Clear its memory anyway?";
}

Trouble diagnose(const PortFacts& facts) {
    if (!facts.anyPort && !facts.portPresent)
        return Trouble::NoSerialPort;
    if (!facts.portPresent)
        return Trouble::PortMissing;
    if (facts.permissionDenied)
        return Trouble::NoPermission;
    if (facts.portOpened)
        return Trouble::NoAnswer;
    return Trouble::None;
}

std::string guidanceText(Trouble trouble, const PortFacts& facts) {
    switch (trouble) {
    case Trouble::None:
        return {};
    case Trouble::NoSerialPort:
        return "No serial port found on this computer: plug in the RS-232 adapter, then "
               "choose its port in Setup.";
    case Trouble::PortMissing:
        return portName(facts.port) +
               " is not present: plug in its adapter, or choose another port in Setup.";
    case Trouble::NoPermission: {
        const std::string group = facts.group.empty() ? std::string("dialout") : facts.group;
        return "No permission to open " +
               (facts.device.empty() ? portName(facts.port) : facts.device) + ": join the group " +
               group + " (sudo adduser $USER " + group + "), then log out and in again.";
    }
    case Trouble::NoAnswer:
        return "No answer from the XRQ unit on " + portName(facts.port) +
               ": is it switched on and its cable plugged in? Wait 10 seconds after "
               "switching it on, then press Connect.";
    }
    return {};
}

} // namespace unit_status
