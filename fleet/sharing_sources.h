// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What sharing reads from the rooms above it, handed in by each program's start: fleet/ knows
// the outbox, not the series or the register, so the series' span reader, its record lookup
// and each file owner's requeuer come in as one object. A program builds it once where it
// starts its services (app/sharing_start.cpp's programSharingSources for the windowed
// program and xrq-collect; the tests and benchmarks through the same function) and gives it
// to the Pusher and to Sharing; nothing is registered behind the linker's back, so a program
// that leaves something out is told at once (missing()), never pushes without its spans.

#include "fleet/other_laptops.h"
#include "fleet/outbox.h"

#include <QString>

#include <map>
#include <string>

namespace fleet {

struct SharingSources {
    // The series' chunks read as the records of an outbox span (Outbox::Span).
    Outbox::SpanReader spanReader;
    // Which of another laptop's records this laptop's series holds (Clear Memory's note).
    RecordLookup recordLookup;
    // By the table only its owner's files have ("visits": the register, "segments": the
    // series): who puts back the facts an older program noted as refused
    // (Outbox::queueRefusalsAgain).
    std::map<QString, Outbox::Requeuer> requeuers;

    // What is not there, in a developer's words ("the series' span reader"); empty when every
    // part is. The pusher needs the span reader and a requeuer; Sharing the lookup as well.
    std::string missing(bool withLookup) const {
        std::string out;
        auto add = [&](const char* what) { out += (out.empty() ? "" : ", ") + std::string(what); };
        if (!spanReader)
            add("the series' span reader");
        if (requeuers.empty())
            add("a requeuer of refused facts");
        for (const auto& [table, requeuer] : requeuers)
            if (!requeuer)
                add("a requeuer of refused facts");
        if (withLookup && !recordLookup)
            add("the series' record lookup");
        return out;
    }
};

} // namespace fleet
