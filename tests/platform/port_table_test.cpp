// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/port_table.h"
#include "support/pty_pair.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

using platform::PortTable;

TEST(PortTable, DefaultRulesMapRangesOntoDeviceFamilies) {
    PortTable t("/devx", "/sysx", "");
    struct Case {
        int n;
        const char* path;
    } cases[] = {
        {1, "/devx/ttyS0"},
        {32, "/devx/ttyS31"},
        {33, "/devx/ttyUSB0"},
        {64, "/devx/ttyUSB31"},
        {65, "/devx/ttyACM0"},
        {96, "/devx/ttyACM31"},
        {97, ""},
        {256, ""},
        {0, ""},
        {-1, ""},
        {257, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.devicePath(c.n), c.path) << "COM" << c.n;
}

TEST(PortTable, PortFolderEntryWinsAndReachesAboveNinetySix) {
    QTemporaryDir ports;
    ASSERT_TRUE(ports.isValid());
    std::string folder = ports.path().toStdString();
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::string link1 = pty.linkAs(folder, 1);
    std::string link200 = pty.linkAs(folder, 200);
    PortTable t("/devx", "/sysx", folder);
    EXPECT_EQ(t.devicePath(1), link1); // the link's own path, not its target
    EXPECT_EQ(t.devicePath(200), link200);
    EXPECT_EQ(t.devicePath(2), "/devx/ttyS1"); // no entry: default rule
    EXPECT_EQ(t.devicePath(150), "");
    // A folder given with a trailing slash finds the same entries.
    EXPECT_EQ(PortTable("/devx", "/sysx", folder + "/").devicePath(200), folder + "/COM200");
}

TEST(PortTable, PortNumberFromName) {
    struct Case {
        const char* name;
        std::optional<int> n;
    } cases[] = {
        {"\\\\.\\COM1", 1},           {"COM7", 7},
        {"\\\\.\\COM256", 256},       {"COM257", std::nullopt},
        {"COM0", std::nullopt},       {"COM01", std::nullopt},
        {"COM", std::nullopt},        {"com3", std::nullopt},
        {"COM3x", std::nullopt},      {"\\\\.\\COM-1", std::nullopt},
        {"/dev/ttyS0", std::nullopt}, {"COM99999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortTable::portNumberFromName(c.name), c.n) << c.name;
}

TEST(PortTable, CurrentIsSharedAcrossThreads) {
    PortTable saved = PortTable::current();
    PortTable::setCurrent(PortTable("/a", "/b", "/c"));
    std::string seen;
    std::thread([&] { seen = PortTable::current().portFolder(); }).join();
    EXPECT_EQ(seen, "/c");
    PortTable::setCurrent(saved);
}
