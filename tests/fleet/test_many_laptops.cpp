// SPDX-License-Identifier: GPL-3.0-or-later
// Many laptops pushing to one server at once: the benchmark's own check (the server's record
// equals the union of the laptops', nothing left waiting, no conflict), at a size for a test.
#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

TEST(FleetManyLaptops, PushingAtOnceKeepsTheUnionOfTheirFactsOnce) {
    QProcess bench;
    bench.setProcessChannelMode(QProcess::MergedChannels);
    // 30 laptops, 5 events each, every unit's 300 records held by three of them.
    bench.start(QStringLiteral(XRQ_BIN_DIR "/bench-fleet-laptops"), {"30", "5", "300"});
    ASSERT_TRUE(bench.waitForStarted(20000));
    ASSERT_TRUE(bench.waitForFinished(240000));
    const QString out = QString::fromUtf8(bench.readAll());
    EXPECT_EQ(bench.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bench.exitCode(), 0) << out.toStdString();
    EXPECT_EQ(out.count(QStringLiteral(" equal")), 2) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("left waiting 0, conflicts 0"))) << out.toStdString();
}
