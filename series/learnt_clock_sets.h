// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The organisation's clock sets of a unit, learnt from its server when this laptop shares
// with one (fleet.ini): a unit set by another laptop is then put in UTC by that set here too.
// What is learnt is kept in the series store, so a laptop away from the network still knows
// it; each read of the series works its records' UTC out again from every set known.

#include "series/record_time.h"

#include <chrono>
#include <string>

namespace fleet {
struct ServerClockSet;
}

namespace series {

ClockFact clockFactOf(const fleet::ServerClockSet& set);

struct ClockSetsLearnt {
    bool shared = false;   // the folder shares with a server
    bool reached = false;  // the server told its sets, and they are kept
    std::size_t added = 0; // sets not kept as learnt before
    // Shared but not reached or not kept, or reached with clock sets skipped as unreadable
    // ("1 fact not read: ..."), for the operator.
    std::string why;
};

// Asks the server of the files folder `folder` (ending in "/") for the clock sets of unit
// `serial` and keeps them in the folder's series store; nothing is asked when the folder
// does not share.
ClockSetsLearnt learnClockSets(const std::string& folder, const std::string& serial,
                               std::chrono::milliseconds timeout);

} // namespace series
