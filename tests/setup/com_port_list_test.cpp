// SPDX-License-Identifier: GPL-3.0-or-later
// The port list's entry texts, selection and number parsing, without a window.
#include "session/com_port_list.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

using namespace com_port_list;

namespace {

std::function<PortState(int)> ports(std::map<int, PortState> known) {
    return [known](int n) {
        auto it = known.find(n);
        return it == known.end() ? PortState::Missing : it->second;
    };
}

} // namespace

TEST(ComPortList, EntriesAreAscendingAndMarkHeldPorts) {
    const auto query = ports({{4, PortState::Held},
                              {1, PortState::Present},
                              {3, PortState::Held},
                              {10, PortState::Held},
                              {256, PortState::Present}});
    // Session closed: every held port is someone else's.
    EXPECT_EQ(buildList(query, false, 3),
              (std::vector<std::string>{"COM1", "COM3 *", "COM4 *", "COM10 *", "COM256"}));
    // Session open on 3: only 3 is ours.
    EXPECT_EQ(buildList(query, true, 3), (std::vector<std::string>{"COM1", "COM3 (connected)",
                                                                   "COM4 *", "COM10 *", "COM256"}));
    // Open on a port that is free to the query (nobody holds it): no "(connected)" mark.
    EXPECT_EQ(buildList(query, true, 1)[0], "COM1");
}

TEST(ComPortList, ScanCoversOneTo256AndSurvivesAThrowingQuery) {
    std::vector<int> asked;
    const auto list = buildList(
        [&](int n) {
            asked.push_back(n);
            if (n == 2)
                throw std::runtime_error("query failed");
            return n == 1 || n == 3 || n == 257 ? PortState::Present : PortState::Missing;
        },
        false, 1);
    EXPECT_EQ(list, (std::vector<std::string>{"COM1", "COM3"}));
    ASSERT_EQ(asked.size(), 256u);
    EXPECT_EQ(asked.front(), 1);
    EXPECT_EQ(asked.back(), 256);
}

TEST(ComPortList, SelectionRules) {
    struct Case {
        const char* what;
        std::vector<std::string> entries;
        int comPortNumber;
        bool portOpen;
        int expected;
    };
    const Case cases[] = {
        {"wanted entry listed", {"COM1", "COM2", "COM5"}, 5, false, 2},
        {"wanted held by another program", {"COM1", "COM4 *"}, 4, false, 0},
        {"own open port", {"COM1", "COM3 (connected)"}, 3, true, 1},
        {"open but listed plainly", {"COM2 *", "COM3", "COM4"}, 3, true, 1},
        {"first without a mark", {"COM1 *", "COM2 *", "COM7", "COM8"}, 9, false, 2},
        {"all marked", {"COM1 *", "COM2 *"}, 5, false, 0},
        {"none selected yet", {"COM6 *", "COM9"}, -1, false, 1},
        {"empty list", {}, 1, false, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chooseEntry(c.entries, wantedEntry(c.comPortNumber, c.portOpen)), c.expected)
            << c.what;
}

TEST(ComPortList, NumberFromEntry) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"COM1", 1},
        {"COM10 *", 10},
        {"COM256", 256},
        {"COM123 (connected)", 123},
        {"COM7 *", 7},
        // not entries: typed text and leftovers
        {"", std::nullopt},
        {"COM", std::nullopt},
        {"COM *", std::nullopt},
        {"- SELECT COM PORT -", std::nullopt},
        {"COMx", std::nullopt},
        {"COM3x", std::nullopt},
        {"com3", std::nullopt},
        {"COM99999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(portNumberFromEntry(text), expected) << text;
}

TEST(ComPortList, NumberFromDeviceName) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"COM7", 7},
        {"COM97", 97},
        {"COM010", 8}, // octal like "%i"
        {"COM0x1A", 26},
        {"COM12abc", 12},
        {"COM", std::nullopt},
        {"COMx", std::nullopt},
        {"com7", std::nullopt},
        {"LPT1", std::nullopt},
        {"", std::nullopt},
        {"COM99999999999999999999", std::nullopt},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(portNumberFromDeviceName(name), expected) << name;
}

TEST(ComPortList, DeviceNameNarrowing) {
    EXPECT_EQ(narrowDeviceName(u"COM7"), "COM7");
    EXPECT_EQ(narrowDeviceName(u"COM\u00e97"), "COM\xe9"
                                               "7");
    EXPECT_EQ(narrowDeviceName(u"COM\u20ac"), "COM?");
    EXPECT_EQ(narrowDeviceName(std::u16string(u"COM3\0junk", 9)), "COM3");
    EXPECT_EQ(narrowDeviceName(std::u16string(80, u'C')).size(), 49u);
}
