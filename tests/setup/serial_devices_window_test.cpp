// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup/fSerialDevices.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <gtest/gtest.h>

#include <vector>

using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

QString cell(int row, int column) {
    auto* item = SerialDevicesWindow()->Table()->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

TEST(SerialDevicesWindow, ShowsTheDevicesModelessAndRefreshesOnDemand) {
    FakeDeviceTree tree;
    PtyPair first, second;
    ASSERT_TRUE(first.ok() && second.ok());

    ShowSerialDevicesWindow();
    TFormSerialDevices* w = SerialDevicesWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(w->windowTitle(), "Serial devices");
    EXPECT_EQ(w->Table()->rowCount(), 0);
    EXPECT_TRUE(w->Advice()->text().contains("No serial devices")) << "an empty list says so";

    first.linkAs(tree.ports(), 97);
    EXPECT_EQ(w->Table()->rowCount(), 0) << "the list is a snapshot";
    w->RefreshButton()->click();
    ASSERT_EQ(w->Table()->rowCount(), 1);
    EXPECT_EQ(cell(0, TFormSerialDevices::colDevice).toStdString(), first.slavePath());
    EXPECT_EQ(cell(0, TFormSerialDevices::colComPort), "COM97");
    EXPECT_EQ(cell(0, TFormSerialDevices::colState), "free");
    EXPECT_TRUE(w->Advice()->text().isEmpty());

    // Showing it again refreshes the one window instead of opening another.
    second.linkAs(tree.ports(), 98);
    ShowSerialDevicesWindow();
    EXPECT_EQ(SerialDevicesWindow(), w);
    EXPECT_EQ(w->Table()->rowCount(), 2);
    w->close();
    EXPECT_FALSE(w->isVisible());
}

TEST(SerialDevicesWindow, ADeviceIsChosenByDoubleClickOrButtonAndLongTextsStayInBounds) {
    FakeDeviceTree tree;
    PtyPair first, second;
    ASSERT_TRUE(first.ok() && second.ok());
    first.linkAs(tree.ports(), 97);
    second.linkAs(tree.ports(), 98);

    std::vector<int> chosen;
    ShowSerialDevicesWindow(nullptr, [&](int n) { chosen.push_back(n); });
    TFormSerialDevices* w = SerialDevicesWindow();
    ASSERT_EQ(w->Table()->rowCount(), 2);
    EXPECT_TRUE(w->UseButton()->isVisible());
    EXPECT_FALSE(w->UseButton()->isEnabled()) << "nothing selected yet";

    int row98 = cell(0, TFormSerialDevices::colComPort) == "COM98" ? 0 : 1;
    w->Table()->selectRow(row98);
    ASSERT_TRUE(w->UseButton()->isEnabled());
    w->UseButton()->click();
    emit w->Table()->cellDoubleClicked(1 - row98, TFormSerialDevices::colDevice);
    EXPECT_EQ(chosen, (std::vector<int>{98, 97}));

    // Every cell carries its whole text as a tooltip; no column pushes COM port and State
    // out of sight.
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < TFormSerialDevices::colCount; ++c) {
            const auto* item = w->Table()->item(r, c);
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->toolTip(), item->text());
        }
    for (int c = 0; c < TFormSerialDevices::colState; ++c) // the last one takes the rest
        EXPECT_LE(w->Table()->columnWidth(c), TFormSerialDevices::kMaxColumnWidth);

    // Opened without a chooser (only to look): no button, and a double-click chooses nothing.
    ShowSerialDevicesWindow();
    EXPECT_FALSE(w->UseButton()->isVisible());
    w->Table()->selectRow(0);
    EXPECT_FALSE(w->UseSelected());
    EXPECT_EQ(chosen.size(), 2u);
    w->close();
}
