// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_registry.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

struct Value {
    std::string name;
    win::DWORD type;
    std::string data;
    bool operator==(const Value&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Value& v) {
    return os << v.name << " (" << v.type << ") " << v.data;
}

std::vector<Value> readAll(win::HKEY key) {
    std::vector<Value> out;
    for (win::DWORD i = 0;; ++i) {
        char name[256];
        win::BYTE data[256];
        win::DWORD nameLen = sizeof name, dataLen = sizeof data, type = 99;
        win::LONG rc = win::RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data, &dataLen);
        if (rc == win::ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(rc, 0);
        if (rc != 0)
            break;
        EXPECT_EQ(std::string(name).size(), nameLen);
        std::string text(reinterpret_cast<char*>(data), dataLen);
        if (type == win::REG_SZ) {
            EXPECT_TRUE(!text.empty() && text.back() == '\0') << "string data keeps its NUL";
            text = text.c_str();
        }
        out.push_back({name, type, text});
    }
    return out;
}

} // namespace

TEST(RegistrySerialComm, ListsRealSerialPortsByComNameOrPath) {
    FakeDeviceTree tree;
    PtyPair s0, s1, usb, ama;
    ASSERT_TRUE(s0.ok() && s1.ok() && usb.ok() && ama.ok());
    tree.linkDevice("ttyS0", s0.slavePath());
    tree.addSysfsTty("ttyS0", true, 0);
    tree.linkDevice("ttyS1", s1.slavePath());
    tree.addSysfsTty("ttyS1", true, 4);
    std::string usbNode = tree.linkDevice("ttyUSB0", usb.slavePath());
    tree.addSysfsTty("ttyUSB0", true);
    tree.linkDevice("ttyAMA0", ama.slavePath());
    tree.addSysfsTty("ttyAMA0", true);
    tree.addSysfsTty("tty1", false);
    ::symlink(usbNode.c_str(), (tree.ports() + "/COM97").c_str());

    for (const char* keyName :
         {"HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
          "hardware\\devicemap\\serialcomm"}) {
        win::HKEY key = nullptr;
        ASSERT_EQ(win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, keyName, 0, win::KEY_READ, &key), 0)
            << keyName;
        std::vector<Value> expected{
            {tree.dev() + "/ttyAMA0", win::REG_SZ, tree.dev() + "/ttyAMA0"},
            {tree.dev() + "/ttyS1", win::REG_SZ, "COM2"},
            {tree.dev() + "/ttyUSB0", win::REG_SZ, "COM97"},
        };
        EXPECT_EQ(readAll(key), expected);
        win::DWORD count = 0, maxName = 0, maxData = 0;
        ASSERT_EQ(win::RegQueryInfoKeyA(key, &count, &maxName, &maxData), 0);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(maxName, (tree.dev() + "/ttyUSB0").size());
        EXPECT_EQ(maxData, (tree.dev() + "/ttyAMA0").size() + 1);
        EXPECT_EQ(win::RegCloseKey(key), 0);
        EXPECT_EQ(win::RegCloseKey(key), win::LONG(win::ERROR_INVALID_HANDLE));
    }
}

TEST(RegistrySerialComm, OtherKeysAndRootsDoNotOpen) {
    FakeDeviceTree tree;
    win::HKEY key = reinterpret_cast<win::HKEY>(1);
    struct Case {
        win::HKEY root;
        const char* name;
    } cases[] = {{win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP"},
                 {win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMMX"},
                 {win::HKEY_LOCAL_MACHINE, "SOFTWARE"},
                 {win::HKEY_LOCAL_MACHINE, nullptr},
                 {nullptr, "HARDWARE\\DEVICEMAP\\SERIALCOMM"}};
    for (const auto& c : cases) {
        EXPECT_EQ(win::RegOpenKeyExA(c.root, c.name, 0, win::KEY_READ, &key),
                  win::LONG(win::ERROR_FILE_NOT_FOUND))
            << (c.name ? c.name : "(null)");
        EXPECT_EQ(key, nullptr);
    }
    char name[8];
    win::DWORD len = sizeof name;
    EXPECT_EQ(win::RegEnumValueA(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
              win::LONG(win::ERROR_INVALID_HANDLE));
}

TEST(RegistrySerialComm, SmallBuffersReportNeededSizesAndSourceSeamCarriesAnyType) {
    platform::RegistryValue dword{"Flags", win::REG_DWORD, {1, 0, 0, 0}};
    auto previous = platform::setSerialCommSource([&] {
        return std::vector<platform::RegistryValue>{
            platform::stringValue("\\Device\\Serial0", "COM1"), dword};
    });
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                 win::KEY_READ, &key),
              0);
    char name[4];
    win::BYTE data[2];
    win::DWORD nameLen = sizeof name, dataLen = sizeof data, type = 0;
    EXPECT_EQ(win::RegEnumValueA(key, 0, name, &nameLen, nullptr, &type, data, &dataLen),
              win::ERROR_MORE_DATA);
    EXPECT_EQ(nameLen, 15u);
    EXPECT_EQ(dataLen, 5u);

    std::vector<Value> expected{{"\\Device\\Serial0", win::REG_SZ, "COM1"},
                                {"Flags", win::REG_DWORD, std::string("\1\0\0\0", 4)}};
    EXPECT_EQ(readAll(key), expected);
    win::RegCloseKey(key);

    platform::setSerialCommSource([] { return std::nullopt; });
    EXPECT_EQ(win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                 win::KEY_READ, &key),
              win::LONG(win::ERROR_FILE_NOT_FOUND));
    platform::setSerialCommSource(previous);
}
