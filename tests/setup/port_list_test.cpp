// SPDX-License-Identifier: GPL-3.0-or-later
// The serial form's port list over pty links in a temporary port folder: free, held and
// missing ports, the session's own port, the choice of the selected entry.
#include "port_folder_fixture.h"

#include <QComboBox>

using setuptest::PortFolderTest;

namespace {

std::vector<std::string> entries(const QComboBox& combo) {
    std::vector<std::string> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.itemText(i).toStdString());
    return out;
}

class PortListTest : public PortFolderTest {
protected:
    void SetUp() override {
        PortFolderTest::SetUp();
        combo.setEditable(true);
    }
    QComboBox combo;
};

} // namespace

TEST_F(PortListTest, ListsFreeHeldAndMissingPorts) {
    addPort(1);
    addPort(4);
    addPort(10);
    addPort(256);
    holdPort(10);
    addDanglingLink(7);
    serial->PortOpen = false;
    serial->ComPortNumber = 10;

    serial->ListComPorts(&combo);
    EXPECT_EQ(entries(combo), (std::vector<std::string>{"COM1", "COM4", "COM10 *", "COM256"}));
    // The scan changes nothing but the box.
    EXPECT_EQ(serial->ComPortNumber, 10);
    EXPECT_TRUE(boxes().empty());

    // A second scan replaces the entries instead of adding to them.
    serial->ListComPorts(&combo);
    EXPECT_EQ(combo.count(), 4);
}

TEST_F(PortListTest, RefreshSelectsWantedOrFirstFreePort) {
    struct Case {
        const char* what;
        int comPortNumber;
        bool portOpen;
        std::vector<int> held;
        std::string selected;
        int takenNumber;
    };
    const Case cases[] = {
        {"wanted and free", 4, false, {}, "COM4", 4},
        {"wanted held by another program", 4, false, {4}, "COM1", 1},
        {"session open on its port", 4, true, {4}, "COM4 (connected)", 4},
        {"wanted missing", 9, false, {1}, "COM4", 4},
        {"every port held", 9, false, {1, 4, 12, 123}, "COM1 *", 1},
        {"three digits", 123, false, {1, 4}, "COM123", 123},
        {"two digits wanted", 12, false, {1}, "COM12", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetPorts();
        for (int n : {1, 4, 12, 123})
            addPort(n);
        for (int n : c.held)
            holdPort(n);
        serial->ComPortNumber = c.comPortNumber;
        serial->PortOpen = c.portOpen;

        EXPECT_EQ(serial->iRefreshComPorts(&combo), 0);
        EXPECT_EQ(combo.currentText().toStdString(), c.selected);
        EXPECT_EQ(serial->ComPortNumber, c.takenNumber);
        EXPECT_TRUE(boxes().empty());
    }
}

TEST_F(PortListTest, NoPortAtAllIsReportedAndKeepsThePort) {
    addDanglingLink(3);
    serial->ComPortNumber = 3;
    combo.addItem("COM5"); // left over from an earlier scan

    EXPECT_EQ(serial->iRefreshComPorts(&combo), 1);
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(serial->ComPortNumber, 3);
    EXPECT_EQ(texts(dialogs::BoxKind::InternalError),
              (std::vector<std::string>{"No Comports available - abort (fSerial.cpp:933)"}));
}

TEST_F(PortListTest, SelectedEntryGivesNumberAndDevice) {
    auto& pty2 = addPort(2);
    addPort(10);
    holdPort(10);
    serial->ComPortNumber = 2;
    serial->ListComPorts(&combo);

    std::string device = "stale";
    combo.setCurrentIndex(1); // "COM10 *"
    serial->UseSelectedComPort(&combo, device);
    EXPECT_EQ(serial->ComPortNumber, 10);
    EXPECT_EQ(device, ""); // a held port tells no target

    combo.setCurrentIndex(0);
    serial->UseSelectedComPort(&combo, device);
    EXPECT_EQ(serial->ComPortNumber, 2);
    EXPECT_EQ(device, pty2.slavePath());

    // Typed text that names no entry selects nothing: the port stays, the device is unknown.
    for (const char* typed : {"COM", "COM1", "hello", ""}) {
        combo.setEditText(typed);
        device = "stale";
        serial->UseSelectedComPort(&combo, device);
        EXPECT_EQ(serial->ComPortNumber, 2) << typed;
        EXPECT_EQ(device, "") << typed;
    }
    // Typing an entry's exact text picks that entry.
    combo.setEditText("COM10 *");
    serial->UseSelectedComPort(&combo, device);
    EXPECT_EQ(serial->ComPortNumber, 10);
}
