// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The COM port list without a window: the text of each entry, which entry the session takes,
// the port number an entry or a device-change name stands for. The serial form fills its
// combo box from these and keeps nothing else; the entry text is the only record of a port's
// state.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace com_port_list {

constexpr int FirstPort = 1;
constexpr int LastPort = 256;

// What the device-name query says about one port number.
enum class PortState {
    Present, // the query succeeded
    Held,    // refused with access denied: some open holds the port
    Missing, // any other failure: no such port
};

// "COMn", "COMn (connected)" for the session's own open port, "COMn *" for a port held by
// another program; empty for a missing port (no entry).
std::string entryText(int n, PortState state, bool portOpen, int comPortNumber);

// One entry per port 1..256 that is not missing, in ascending order. A query that throws is
// taken as a missing port so that one bad number does not end the scan.
std::vector<std::string> buildList(const std::function<PortState(int)>& query, bool portOpen,
                                   int comPortNumber);

// The entry text the session's current port would have.
std::string wantedEntry(int comPortNumber, bool portOpen);

// Index of the entry to select: the wanted one if listed, else the first without "*", else
// the first. -1 only for an empty list.
int chooseEntry(const std::vector<std::string>& entries, const std::string& wanted);

// The port number an entry stands for ("COM10 *" -> 10, "COM3 (connected)" -> 3), or
// nullopt for text that is no entry of ours (typed text, for instance).
std::optional<int> portNumberFromEntry(const std::string& text);

// The port number of a device-change name: the name must begin with "COM" (case-sensitive)
// and the rest is read like "%i" (decimal, 0-prefixed octal, 0x-prefixed hex).
std::optional<int> portNumberFromDeviceName(const std::string& name);

// A device-change record's UTF-16 name in the 8-bit code page (Latin-1; other characters
// become '?'), cut at the first zero and to at most maxBytes - 1 characters.
std::string narrowDeviceName(const std::u16string& wide, std::size_t maxBytes = 50);

} // namespace com_port_list
