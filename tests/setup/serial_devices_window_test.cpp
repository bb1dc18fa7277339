#include "setup/fSerialDevices.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <gtest/gtest.h>

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
