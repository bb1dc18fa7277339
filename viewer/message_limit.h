// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Qt's own warnings, each text written to standard error a few times at most and all of
// them together a bounded number of times: a chart that complains at every redraw must not
// fill a log (it once wrote about 1 MB in 45 s).

#include <cstddef>

namespace viewer {

struct MessageLimit {
    int perText = 3;
    int total = 100;
};
void installMessageLimit(MessageLimit limit = {});
// How many messages were held back so far.
std::size_t messagesHeldBack();

} // namespace viewer
