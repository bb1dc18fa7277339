// SPDX-License-Identifier: GPL-3.0-or-later
// The histories (series/histories.h) in memory: 200 of them and 300 of short memories, each
// laptop's series and the series derived from their shared records against the truth. A failure
// prints its seed: XRQ_HISTORY_SEED=n runs that one alone, XRQ_HISTORIES=n runs that many.
#include "series/histories.h"

#include <QTemporaryDir>

#include <functional>

using namespace histories;

namespace {

void runHistory(unsigned seed, const std::string& base, std::size_t memory) {
    History h(seed, memory);
    playHistory(h, base);
    if (::testing::Test::HasFatalFailure())
        return;
    checkDerived(deriveSeries(serverRows(h.laptops)), sharedLines(h.laptops));
}

// Runs the histories of the seeds asked for (XRQ_HISTORY_SEED, XRQ_HISTORIES, else `count`
// from `first`), each unit's memory as `memory` says for its seed.
void runHistories(unsigned first, unsigned count,
                  const std::function<std::size_t(unsigned)>& memory) {
    // On tmpfs where there is one: the stores' syncs cost nothing there.
    QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/xrq-histories-XXXXXX")
                                                : QDir::tempPath() + "/xrq-histories-XXXXXX");
    ASSERT_TRUE(dir.isValid());
    const char* one = std::getenv("XRQ_HISTORY_SEED");
    const char* many = std::getenv("XRQ_HISTORIES");
    if (one)
        first = unsigned(std::stoul(one));
    count = one ? 1 : many ? unsigned(std::stoul(many)) : count;
    for (unsigned seed = first; seed < first + count; ++seed) {
        SCOPED_TRACE("history seed " + std::to_string(seed) + ", a memory of " +
                     std::to_string(memory(seed)) +
                     " records (XRQ_HISTORY_SEED=" + std::to_string(seed) + " runs it alone)");
        const std::string base = dir.path().toStdString() + "/" + std::to_string(seed);
        runHistory(seed, base, memory(seed));
        QDir(QString::fromStdString(base)).removeRecursively();
        if (::testing::Test::HasFailure())
            break; // the first failing history is enough to read
    }
}

} // namespace

TEST(SeriesHistories, EveryLaptopsSeriesAndTheServersEqualTheTruth) {
    runHistories(1, 200, [](unsigned) { return kCapacity; });
}

// Units that hold few records (a daily logger, a week of an hourly one): memories of 5 to 150
// records, a changed record wherever a laptop can tell it, wraps and clears as they come.
TEST(SeriesHistories, ShortMemoriesToo) {
    runHistories(100'001, 300, [](unsigned seed) { return std::size_t(5 + seed * 7919u % 146); });
}
