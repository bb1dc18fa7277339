// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's benchmarks share to fill their server as laptops do: an outbox file pushed
// by the real pusher as the login role bench_laptop, with the sources the windowed program
// wires (the series' and the register's), in batches of 5,000.

#include "bench/bench_timing.h"
#include "fleet/pusher.h"
#include "register/register_outbox.h"
#include "series/span_reader.h"

#include <QString>

#include <chrono>
#include <string>

namespace bench {

// Every fact of `outboxFile` pushed within `wait`, or the benchmark `name` ends.
inline void pushOutbox(const char* name, const QString& outboxFile, std::chrono::seconds wait) {
    fleet::PusherConfig c;
    c.sources = series::sharingSources();
    unitreg::addSharingSources(c.sources);
    c.conninfo = fleet::serviceConninfo("bench_laptop");
    c.outboxFiles = {outboxFile.toStdString()};
    c.batchSize = 5000;
    c.statementTimeout = std::chrono::seconds(300);
    fleet::Pusher pusher(c);
    pusher.start();
    if (!pusher.pushAndWait(wait))
        fail(name, "the records were not pushed");
    pusher.stop();
}

} // namespace bench
