// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/checked_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Integers: the whole text, a '-' and digits, within the range the caller gives.
TEST(CheckedNumber, IntegersAreTheWholeTextWithinTheirRange) {
    struct Case {
        std::string text;
        std::int64_t least, most;
        std::optional<std::int64_t> value;
    };
    const Case cases[] = {
        {"0", 0, 10, 0},
        {"-50400", -50400, 50400, -50400},
        {"50400", -50400, 50400, 50400},
        {"50401", -50400, 50400, std::nullopt}, // just out of range
        {"9223372036854775807", kMin, kMax, kMax},
        {"9223372036854775808", kMin, kMax, std::nullopt}, // overflows: refused, not wrapped
        {"-9223372036854775809", kMin, kMax, std::nullopt},
        {"x", kMin, kMax, std::nullopt}, // what std::stoi threw on, ending a worker
        {"", kMin, kMax, std::nullopt},
        {"+1", kMin, kMax, std::nullopt},
        {" 1", kMin, kMax, std::nullopt},
        {"1 ", kMin, kMax, std::nullopt},
        {"12abc", kMin, kMax, std::nullopt}, // a prefix is not the number (atoi took it)
        {"1.0", kMin, kMax, std::nullopt},
        {"1e3", kMin, kMax, std::nullopt},
        {"0x10", kMin, kMax, std::nullopt},
        {std::string(65, '1'), kMin, kMax, std::nullopt}, // longer than any number read
        {std::string("1\0", 2), kMin, kMax, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::parseInteger(c.text, c.least, c.most), c.value) << '"' << c.text << '"';
}

// Decimals: finite, in range; what a payload of 1e400 or NaN holds is nothing.
TEST(CheckedNumber, DecimalsAreFiniteAndWithinTheirRange) {
    struct Case {
        std::string text;
        std::optional<double> value;
    };
    const Case cases[] = {
        {"12.4", 12.4},
        {"0", 0.0},
        {"1e1", 10.0},
        {"100", 100.0},
        {"100.0001", std::nullopt}, // above the range given below
        {"-0.5", std::nullopt},     // below it
        {"1e400", std::nullopt},    // what std::stod threw on for a battery's volts
        {"-1e400", std::nullopt},
        {"1e-400", std::nullopt}, // underflows: no reading a laptop sends
        {"NaN", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"Infinity", std::nullopt},
        {"0x1p3", std::nullopt},
        {"12,4", std::nullopt}, // no locale's comma
        {"+12", std::nullopt},
        {" 12", std::nullopt},
        {"", std::nullopt},
        {"\"12\"", std::nullopt}, // a JSON string's quotes
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::parseFinite(c.text, 0, 100), c.value) << '"' << c.text << '"';
}

// Times: ms as the server writes them, its infinities and what no timestamp holds refused.
TEST(CheckedNumber, TimesAreFiniteAndWithinWhatATimestampHolds) {
    struct Case {
        std::string text;
        std::optional<std::int64_t> value;
        bool infinite = false;
    };
    const Case cases[] = {
        {"1796079600000", 1796079600000},
        {"-62135596800000", -62135596800000}, // year 1
        {"253402300799000", 253402300799000}, // 9999-12-31 23:59:59: read, a clock ahead
        {"1796079600000.5", 1796079600000},   // a fraction of a ms: the ms it is in
        {"-1.5", -2},
        {"9224318015999999", platform::kMostEpochMs},
        {"9224318016000000", std::nullopt},
        {"-210866803200001", std::nullopt},
        {"Infinity", std::nullopt, true},
        {"-Infinity", std::nullopt, true},
        {"infinity", std::nullopt, true},
        {"-infinity", std::nullopt, true},
        {"NaN", std::nullopt},
        {"", std::nullopt},
        {"2026-12-01", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::parseEpochMs(c.text), c.value) << '"' << c.text << '"';
        EXPECT_EQ(platform::isInfinityText(c.text), c.infinite) << '"' << c.text << '"';
    }
}

} // namespace
