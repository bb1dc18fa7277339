// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one rule for a number given as text by someone else (a server's column, a fact's
// payload value, a file): the whole text is the number, in the C locale, within the range
// the caller states, and finite; anything else is nothing, never an exception and never an
// abort. std::stoi and std::stod throw on bad text and on overflow, atoi and strtod read a
// prefix and saturate silently: none of them is used on such text.
//
// std::from_chars does the digits (no locale, no allocation); what it accepts beyond the
// whole-text rule (a leading '+', spaces) is refused here.
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// A decimal integer: an optional '-' and digits, nothing else, within [least, most].
std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t least,
                                         std::int64_t most);

// A finite decimal number ("12.4", "-3", "1e2") within [least, most]; "NaN", "Infinity",
// hexadecimal and numbers too large for a double are refused.
std::optional<double> parseFinite(std::string_view text, double least, double most);

// A time as milliseconds since 1970 UTC, as the server gives it (a whole or decimal number of
// ms, rounded toward the past): PostgreSQL's 'infinity' and '-infinity' (in any spelling of
// case), a time outside what a timestamp can hold (4713 BC to AD 294276), or anything that is
// not a number, is nothing.
std::optional<std::int64_t> parseEpochMs(std::string_view text);

// What a timestamp holds at most and least, in ms since 1970.
inline constexpr std::int64_t kLeastEpochMs = -210866803200000; // 4714-11-24 BC
inline constexpr std::int64_t kMostEpochMs = 9224318015999999;  // 294276-12-31

// Whether `text` spells an infinite time ('infinity', '-infinity', 'Infinity'...): what a
// reader says instead of "not a number".
bool isInfinityText(std::string_view text);

} // namespace platform
