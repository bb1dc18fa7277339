// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the data file reader: any bytes must come back as a data set or an
// error, within the reader's bounds, with no fault the sanitizers see. Small limits make
// the cut lines and the memory refusal reachable with small inputs.
#include "viewer_reader/data_file.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    viewer::ReadLimits limits;
    limits.maxCells = 64;
    limits.maxLineBytes = 4096;
    limits.memoryBudget = 16 << 20;
    viewer::DataSet set =
        viewer::parseDataFile(bytes, QStringLiteral("/fuzz.txt"), nullptr, {}, limits);
    if (set.error.isEmpty()) {
        for (std::size_t r = 0; r < set.rowCount() && r < 8; ++r)
            (void)set.rowCells(r);
        if (set.dateOrderOpen())
            viewer::chooseDateOrder(set, set.otherOrders.front());
        (void)set.summary();
        (void)viewer::toCsv(set);
    }
    return 0;
}
