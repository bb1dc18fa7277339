// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The time stamps that units write, in the layouts met in the field: the unit's own
// "YY-MM-DD HH:MM:SS", "YY/MM/DD", "DD/MM/YY", "MM/DD/YY", "DD.MM.YYYY", ISO 8601 with "T" or
// a blank, each with or without seconds, and a date and a time in cells of their own. The
// order of day, month and year cannot always be told from one stamp ("01/02/26"), so a
// stamp is split into its fields first and read in each order it allows; the reader keeps
// the orders that every row allows and lets the data, or the operator, choose among them.
// Plain functions on bytes; no window, no Qt.

#include <cstdint>
#include <string_view>

namespace viewer {

enum class DateOrder : std::uint8_t { YMD = 1, DMY = 2, MDY = 4 };
using DateOrders = std::uint8_t; // a set of DateOrder bits

// How a column of stamps is written: the date's separator and field widths, and whether a
// clock follows in the same cell.
struct StampShape {
    char separator = 0;      // '-', '/' or '.'
    bool yearFirst4 = false; // "YYYY-..." (ISO)
    bool yearLast4 = false;  // "...-YYYY"
    bool operator==(const StampShape&) const = default;
};

// The fields of a date "a<sep>b<sep>c" (1 to 4 digits each) and the clock after it, if any.
struct StampFields {
    StampShape shape;
    int field[3] = {0, 0, 0};
    bool hasClock = false;
    double clockSeconds = 0; // seconds into the day
};

// Splits a cell holding a date and optionally a clock ("T" or blanks between them).
bool splitStamp(std::string_view cell, StampFields& out);
// A clock "H:MM", "HH:MM:SS", with an optional fraction of a second and a final "Z".
bool parseClock(std::string_view text, double& seconds);
// The orders a shape allows, the unit's own first.
DateOrders ordersOf(const StampShape& shape);
// Seconds since 1970-01-01 of the date read in `order` (a two-digit year is 2000 + YY),
// plus the clock; false when that reading names no real date.
bool stampSeconds(const StampFields& fields, DateOrder order, double& seconds);
// "year/month/day" etc., for the status line and the question to the operator.
const char* orderName(DateOrder order);

// Days from 1970-01-01 of a proleptic Gregorian date; false for no such date.
bool civilDays(int year, int month, int day, std::int64_t& days);
void civilFromDays(std::int64_t days, int& year, int& month, int& day);

} // namespace viewer
