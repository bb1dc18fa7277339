// SPDX-License-Identifier: GPL-3.0-or-later
// The histories (series/histories.h) in memory: 200 of them, each laptop's series and the
// series derived from their shared records against the truth. A failure prints its seed:
// XRQ_HISTORY_SEED=n runs that one alone, XRQ_HISTORIES=n runs that many.
#include "series/histories.h"

#include <QTemporaryDir>

using namespace histories;

namespace {

void runHistory(unsigned seed, const std::string& base) {
    History h(seed);
    playHistory(h, base);
    if (::testing::Test::HasFatalFailure())
        return;
    checkDerived(deriveSeries(serverRows(h.laptops)), sharedLines(h.laptops));
}

} // namespace

TEST(SeriesHistories, EveryLaptopsSeriesAndTheServersEqualTheTruth) {
    // On tmpfs where there is one: the stores' syncs cost nothing there.
    QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/xrq-histories-XXXXXX")
                                                : QDir::tempPath() + "/xrq-histories-XXXXXX");
    ASSERT_TRUE(dir.isValid());
    const char* one = std::getenv("XRQ_HISTORY_SEED");
    const char* many = std::getenv("XRQ_HISTORIES");
    const unsigned first = one ? unsigned(std::stoul(one)) : 1;
    const unsigned count = one ? 1 : many ? unsigned(std::stoul(many)) : 200;
    for (unsigned seed = first; seed < first + count; ++seed) {
        SCOPED_TRACE("history seed " + std::to_string(seed) +
                     " (XRQ_HISTORY_SEED=" + std::to_string(seed) + " runs it alone)");
        const std::string base = dir.path().toStdString() + "/" + std::to_string(seed);
        runHistory(seed, base);
        QDir(QString::fromStdString(base)).removeRecursively();
        if (::testing::Test::HasFailure())
            break; // the first failing history is enough to read
    }
}
