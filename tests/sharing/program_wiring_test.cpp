// SPDX-License-Identifier: GPL-3.0-or-later
// The windowed program and xrq-collect hand sharing the whole of what it reads from the series
// and the register, from their start: no part is left to what the linker happens to keep.
#include "app/sharing_start.h"

#include <gtest/gtest.h>

#include <QString>

namespace {

TEST(ProgramWiring, TheProgramsHandSharingEveryPartItReads) {
    const fleet::SharingSources sources = programSharingSources();
    EXPECT_EQ(sources.missing(true), "");
    // The register's files and the series' each have their owner's requeuer.
    for (const char* table : {"visits", "segments"}) {
        SCOPED_TRACE(table);
        const auto it = sources.requeuers.find(QString::fromLatin1(table));
        ASSERT_NE(it, sources.requeuers.end());
        EXPECT_TRUE(it->second);
    }
}

} // namespace
