// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/com_port_list.h"
#include "platform/decimal_digits.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace com_port_list {

std::string entryText(int n, PortState state, bool portOpen, int comPortNumber) {
    const std::string name = "COM" + std::to_string(n);
    switch (state) {
    case PortState::Present:
        return name;
    case PortState::Held:
        return name + (portOpen && comPortNumber == n ? " (connected)" : " *");
    case PortState::Missing:
        break;
    }
    return {};
}

std::vector<std::string> buildList(const std::function<PortState(int)>& query, bool portOpen,
                                   int comPortNumber) {
    std::vector<std::string> entries;
    for (int n = FirstPort; n <= LastPort; ++n) {
        PortState state = PortState::Missing;
        try {
            state = query(n);
        } catch (...) {
            continue;
        }
        std::string text = entryText(n, state, portOpen, comPortNumber);
        if (!text.empty())
            entries.push_back(std::move(text));
    }
    return entries;
}

std::string wantedEntry(int comPortNumber, bool portOpen) {
    return "COM" + std::to_string(comPortNumber) + (portOpen ? " (connected)" : "");
}

int chooseEntry(const std::vector<std::string>& entries, const std::string& wanted) {
    if (entries.empty())
        return -1;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == wanted)
            return static_cast<int>(i);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].find('*') == std::string::npos)
            return static_cast<int>(i);
    return 0;
}

std::optional<int> portNumberFromEntry(const std::string& text) {
    if (text.size() <= 3 || text.compare(0, 3, "COM") != 0)
        return std::nullopt;
    std::string rest = text.substr(3);
    // Each mark is preceded by one space, which goes with it.
    if (auto star = rest.find('*'); star != std::string::npos)
        rest.resize(star == 0 ? 0 : star - 1);
    if (auto paren = rest.find('('); paren != std::string::npos)
        rest.resize(paren == 0 ? 0 : paren - 1);
    return platform::parseDecimalDigits(rest);
}

std::optional<int> portNumberFromDeviceName(const std::string& name) {
    if (name.compare(0, 3, "COM") != 0)
        return std::nullopt;
    const char* start = name.c_str() + 3;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 0);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

std::string narrowDeviceName(const std::u16string& wide, std::size_t maxBytes) {
    std::string out;
    if (maxBytes == 0)
        return out;
    for (char16_t c : wide) {
        if (c == 0 || out.size() + 1 >= maxBytes)
            break;
        out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace com_port_list
