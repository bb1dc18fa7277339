// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The kinds of line a download holds and the rule that takes a data set's name from its
// header line, as the download room names them. The rule is written once, in the series
// room (series/download_lines.h), which lies below this one: the conversion, the progress
// shown while the capture runs, the verdict and the series all read lines through it.

#include "series/download_lines.h"

namespace download {

using series::classifyLine;
using series::HeaderName;
using series::headerName;
using series::LineKind;

} // namespace download
