// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Texts the serial session writes to the run log and shows to the operator. They are part of
// what support staff and the operator read, so they are built here once, byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

namespace session_text {

// Start lines of the primitives. A character of 0 leaves its pair of quotes empty.
std::string captureStart(char termination, std::string_view command, std::uint32_t delay);
std::string waitForCharStart(char char1, char char2, std::string_view command, std::uint32_t delay);
std::string untilTerminationStart(char termination, std::string_view command, std::uint32_t delay);
// The between-chars primitive logs under the single-char primitive's name.
std::string betweenCharsStart(char startChar, char endChar, std::string_view command,
                              std::uint32_t delay);

std::string closeLine(bool portOpen, int comPortNumber, int baudRate);

// The component closed the session's port because its device went ("Comm GONE COM5: the
// device has gone; the port is closed").
std::string deviceGoneLine(int comPortNumber, bool sessionWasOpen);

// "Unable to open COMn." plus, for a port in use, the explanation of what may hold it.
std::string unableToOpen(int comPortNumber, bool inUse);

// Appended on a line of its own when the device exists but this user may not open it.
std::string permissionHint(std::string_view devicePath, std::string_view group);

} // namespace session_text
