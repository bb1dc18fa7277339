// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recovery marker of a conversion under way.

#include <string>

namespace collection {

// A conversion under way, recorded in <files folder>conversion-pending.txt (the path of the
// download it converts) and removed when it has ended, so that a crash or kill in between
// is found at the next start.
std::string pendingConversionMarker(const std::string& filesFolder);
bool markConversionPending(const std::string& filesFolder, const std::string& source);
void clearConversionPending(const std::string& filesFolder);
// The download named by a marker left behind; empty when there is none.
std::string pendingConversion(const std::string& filesFolder);

} // namespace collection
