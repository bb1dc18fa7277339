// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How the program writes the unit's figures and its clock: the captions' rounding, which the
// register's texts and the Units window show too, and the clock text sent to the unit.

#include <ctime>
#include <string>

// The pattern "0.0": one decimal, a value exactly halfway (at 15 significant digits, the
// precision the display works to) rounded away from zero, at least one digit before the point.
std::string formatOneDecimal(double value);

// "%y-%m-%d %H:%M:%S", 17 characters.
std::string formatClockText(const std::tm& local);
std::string currentClockText();
