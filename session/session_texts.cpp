// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/session_texts.h"

namespace session_text {
namespace {

std::string quoted(char c) {
    std::string s = "\"";
    if (c != 0)
        s += c;
    s += '"';
    return s;
}

std::string tail(std::string_view command, std::uint32_t delay) {
    std::string s = "; Command: ";
    s += command;
    s += " (delay " + std::to_string(delay) + ")";
    return s;
}

std::string twoChars(char a, char b, std::string_view command, std::uint32_t delay) {
    return "iWaitForChar to " + quoted(a) + " or " + quoted(b) + tail(command, delay);
}

} // namespace

std::string captureStart(char termination, std::string_view command, std::uint32_t delay) {
    return "iCaptureTo to " + quoted(termination) + tail(command, delay);
}

std::string waitForCharStart(char char1, char char2, std::string_view command,
                             std::uint32_t delay) {
    return twoChars(char1, char2, command, delay);
}

std::string untilTerminationStart(char termination, std::string_view command, std::uint32_t delay) {
    return "iWaitForStringNUntilTermination to " + quoted(termination) + tail(command, delay);
}

std::string betweenCharsStart(char startChar, char endChar, std::string_view command,
                              std::uint32_t delay) {
    return twoChars(startChar, endChar, command, delay);
}

std::string closeLine(bool portOpen, int comPortNumber, int baudRate) {
    if (!portOpen)
        return "Comm CLOSE inactive";
    return "Comm CLOSE active (" + std::to_string(comPortNumber) + ":" + std::to_string(baudRate) +
           ")";
}

std::string deviceGoneLine(int comPortNumber, bool sessionWasOpen) {
    return "Comm GONE COM" + std::to_string(comPortNumber) + ": the device has gone; the port is " +
           (sessionWasOpen ? "closed" : "released");
}

std::string unableToOpen(int comPortNumber, bool inUse) {
    std::string s = "Unable to open COM" + std::to_string(comPortNumber) + ".";
    if (inUse) {
        s += " Port in use. Other applications (e.g., Palm HotSync Manager) can claim all\n"
             "serial ports on a computer, even if assigned one different from the one you "
             "are requesting.\n"
             "If such an application is running, try closing it (for HotSync Manager, "
             "right-click on the HotSync\n"
             "icon in the system tray and select \"Exit\").";
    }
    return s;
}

std::string permissionHint(std::string_view devicePath, std::string_view group) {
    std::string g = group.empty() ? std::string("dialout") : std::string(group);
    std::string s = "You have no permission to use ";
    s += devicePath;
    s += ". Ask your administrator to add you to the group \"" + g + "\" (sudo usermod -aG " + g +
         " <user>), then log out and in again.";
    return s;
}

} // namespace session_text
