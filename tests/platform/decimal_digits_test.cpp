// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/decimal_digits.h"

#include <gtest/gtest.h>

namespace {

// The port and device names' numbers: the whole text, digits only, within the width given.
TEST(DecimalDigits, WholeTextOfDigitsWithinItsWidthOnly) {
    struct Case {
        const char* text;
        std::size_t maxDigits;
        std::optional<int> value;
    };
    const Case cases[] = {
        {"0", 9, 0},
        {"7", 1, 7},
        {"256", 3, 256},
        {"123456789", 9, 123456789},
        {"", 9, std::nullopt},     // nothing is not zero
        {"1234", 3, std::nullopt}, // wider than allowed
        {"+1", 9, std::nullopt},
        {"-1", 9, std::nullopt},
        {" 1", 9, std::nullopt},
        {"1 ", 9, std::nullopt},
        {"1a", 9, std::nullopt},
        {"0x1", 9, std::nullopt},
        {"\xd9\xa3", 9, std::nullopt},    // a digit of another script
        {"1234567890", 10, std::nullopt}, // would not fit an int: refused, not wrapped
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::parseDecimalDigits(c.text, c.maxDigits), c.value)
            << '"' << c.text << "\" within " << c.maxDigits;
}

} // namespace
