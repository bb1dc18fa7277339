// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The reader of a download's lines, as the download room names it. It is written once, in
// the series room (series/line_reader.h), which lies below this one: the conversion, the
// verdict and the series read a download's file through the same reader.

#include "series/line_reader.h"

namespace download {

using series::FileIdentity;
using series::fileIdentity;
using series::LineReader;
using series::preadAll;

} // namespace download
